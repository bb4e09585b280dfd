// Internals shared by the channel, the reader and the server: filling a message straight from a frame's
// payload, which is not NUL-terminated.
#ifndef ZRIPC_IPCMESSAGEINTERNAL_H
#define ZRIPC_IPCMESSAGEINTERNAL_H

#include <cstddef>
#include <string>

#include "IPCMessage.h"

namespace zr {
namespace ipc {

// Like IPC_Deserialize, for size bytes at text (any NUL among them is malformed).
PRStatus DeserializeBytes(IPCMessage* msg, const char* text, size_t size);
// The serialised text and its length: the message's cached text when it has one, else written into
// scratch (whose storage is reused from write to write), leaving the message untouched.
const char* SerializeForWrite(const IPCMessage* msg, std::string* scratch, size_t* size);
// Empties msg (keeping its storage) and fills it from a frame's payload, which also becomes its
// serialised text: the text is canonical, so a message passed on is not serialised again.
PRStatus DeserializeFrame(IPCMessage* msg, const char* text, size_t size);

}  // namespace ipc
}  // namespace zr

#endif
