// Internals shared by channels, the reader thread and the server: the runtime directory checks, a
// channel's socket and the wake-up of a polling thread.
#ifndef ZRIPC_IPCCHANNELINTERNAL_H
#define ZRIPC_IPCCHANNELINTERNAL_H

#include <string>

#include "IPCChannel.h"

namespace zr {
namespace ipc {

// The runtime directory, checked: a directory owned by the effective user and writable by nobody else.
// With create, a missing directory is made 0700 first. False (errno set) when unusable.
bool PrepareRuntimeDirectory(bool create, std::string* directory);
// The socket path of name inside directory; false when it does not fit a socket address.
bool MakeSocketPath(const std::string& directory, const char* name, std::string* path);

// The channel's socket, valid while a reference is held.
int ChannelSocket(IPCChannel* channel);
// Ends the stream in both directions (a reader fails or closes it); the handle stays valid.
void ShutdownChannel(IPCChannel* channel);

// The eventfd through which other threads wake a reader or server thread waiting in poll.
void WakeEventFd(int fd);
void DrainEventFd(int fd);

}  // namespace ipc
}  // namespace zr

#endif
