// Channels to named services over Unix-domain stream sockets. A channel name such as "kv_abook" is a
// socket file in the runtime directory: the one set with IPC_SetRuntimeDirectory, else
// $XDG_RUNTIME_DIR/zorlin, else /tmp/zorlin-<uid>. The directory is created 0700; a client refuses a
// directory that is not its user's or that is group- or world-writable.
//
// Each message travels as one frame: a 4-byte big-endian length, then the serialised message. A frame
// above the maximum size fails the channel.
//
// Opening a channel never waits long on a service: a service that accepts nobody (its queue of waiting
// connections full) fails the open after a fraction of a second.
//
// Handles are reference counted. IPC_OpenChannel and IPC_Connect hand out a handle that nobody owns yet
// (count 0): the first IPC_ChannelAddRef takes it, the IPC_ChannelRelease that brings the count back to 0
// closes the socket and frees the handle (as does a release of a handle nobody took). IPC_CloseChannel
// closes the socket at once and frees a handle nobody took; a taken handle stays valid, closed, until its
// last release. Writing is allowed from any thread; frames are never interleaved.
#ifndef ZRIPC_IPCCHANNEL_H
#define ZRIPC_IPCCHANNEL_H

#include <prtypes.h>
#include <stddef.h>

#include "IPCMessage.h"
#include "ZrIpcExport.h"

typedef struct IPCChannel IPCChannel;

extern "C" {

// Null restores the default. The text is copied.
ZRIPC_EXPORT void IPC_SetRuntimeDirectory(const char* directory);
// Writes the runtime directory into buffer; PR_FAILURE when it does not fit.
ZRIPC_EXPORT PRStatus IPC_GetRuntimeDirectory(char* buffer, int size);
// Writes the socket path of a channel name into buffer; PR_FAILURE when it does not fit a socket address.
ZRIPC_EXPORT PRStatus IPC_GetChannelPath(const char* name, char* buffer, int size);
// Largest frame accepted or sent (default 16 MiB).
ZRIPC_EXPORT void IPC_SetMaxMessageSize(unsigned int bytes);
ZRIPC_EXPORT unsigned int IPC_GetMaxMessageSize(void);

// An open channel to the named service, or null (no service, bad runtime directory).
ZRIPC_EXPORT IPCChannel* IPC_OpenChannel(const char* name);
ZRIPC_EXPORT void IPC_ChannelAddRef(IPCChannel* channel);
ZRIPC_EXPORT void IPC_ChannelRelease(IPCChannel* channel);
// Sends msg; the caller keeps it. PR_FAILURE when the channel is closed or failed or the message is too
// large; errno is then EMSGSIZE only for a message refused for its size, which sends nothing and leaves
// the channel as it was. A write blocked on a service that stopped reading ends (failed) when another
// thread calls IPC_CloseChannel on the handle.
ZRIPC_EXPORT PRStatus IPC_WriteMessage(IPCChannel* channel, IPCMessage* msg);
// Sends count messages as consecutive frames, fewer system calls than one IPC_WriteMessage each; the
// caller keeps them. *written (may be null) is how many leading messages went out whole. PR_SUCCESS only
// when all did; a failure is what IPC_WriteMessage would have answered for message *written, and none
// after it was sent.
ZRIPC_EXPORT PRStatus IPC_WriteMessages(IPCChannel* channel, IPCMessage* const* msgs, int count,
                                        int* written);
// IPC_WriteMessages for messages already serialised: texts[i] is sizes[i] bytes of what IPC_Serialize
// gave (no terminating NUL needed). Lets a writer hold a request as its text alone.
ZRIPC_EXPORT PRStatus IPC_WriteSerialized(IPCChannel* channel, const char* const* texts, const size_t* sizes,
                                          int count, int* written);
// Sends one serialised message whole without waiting, or nothing: PR_FAILURE with errno EAGAIN when it
// cannot go out at once (the socket is full, another thread is writing, or the frame is above 16 KiB or
// the maximum size); any other failure sends nothing either. For a thread that must never block.
ZRIPC_EXPORT PRStatus IPC_TryWriteSerialized(IPCChannel* channel, const char* text, size_t size);

// Probe: non-null when the named service is running. Close it at once with IPC_CloseChannel.
ZRIPC_EXPORT IPCChannel* IPC_Connect(const char* name);
ZRIPC_EXPORT void IPC_CloseChannel(IPCChannel* channel);
}

#endif
