// Messages of the message channel library: an ordered set of keys, each with one NUL-terminated text
// value (any bytes but NUL, in keys and values alike). Setting an existing key replaces its value in
// place. A message may be serialised into one NUL-free text that can travel as the value of another
// message, to any depth.
//
// A message is not locked: one thread at a time.
#ifndef ZRIPC_IPCMESSAGE_H
#define ZRIPC_IPCMESSAGE_H

#include <prtypes.h>

#include "ZrIpcExport.h"

// The type is opaque but visible, so that containers of message pointers can be exported by other
// libraries.
struct ZRIPC_EXPORT IPCMessage;
typedef struct IPCMessage IPCMessage;

extern "C" {

ZRIPC_EXPORT IPCMessage* IPC_NewMessage(void);
ZRIPC_EXPORT void IPC_DestroyMessage(IPCMessage* msg);             // null is ignored
ZRIPC_EXPORT IPCMessage* IPC_CloneMessage(const IPCMessage* msg);  // deep copy; null gives null
// Copies key and value. PR_FAILURE for a null message, key or value.
ZRIPC_EXPORT PRStatus IPC_MessageSetValue(IPCMessage* msg, const char* key, const char* value);
// The value, owned by the message and valid until the key is set again or the message destroyed; null
// when absent.
ZRIPC_EXPORT const char* IPC_MessageGetValue(const IPCMessage* msg, const char* key);
// Stores n as decimal text, whatever the process locale.
ZRIPC_EXPORT PRStatus IPC_MessageSetInt(IPCMessage* msg, const char* key, int n);
// Removes key; PR_FAILURE when absent.
ZRIPC_EXPORT PRStatus IPC_MessageRemoveValue(IPCMessage* msg, const char* key);
ZRIPC_EXPORT int IPC_MessageGetCount(const IPCMessage* msg);
// The index-th key and value in insertion order (0-based); null beyond the end.
ZRIPC_EXPORT const char* IPC_MessageGetKeyAt(const IPCMessage* msg, int index);
ZRIPC_EXPORT const char* IPC_MessageGetValueAt(const IPCMessage* msg, int index);

// One text holding the whole message, owned by the message: valid until the message is changed or
// destroyed. Null for a null message.
ZRIPC_EXPORT const char* IPC_Serialize(IPCMessage* msg);
// Fills msg from a text made by IPC_Serialize (keys msg already holds are set as if by
// IPC_MessageSetValue, in the text's order). Malformed or truncated text gives PR_FAILURE and leaves msg
// as it was.
ZRIPC_EXPORT PRStatus IPC_Deserialize(IPCMessage* msg, const char* text);
}

#endif
