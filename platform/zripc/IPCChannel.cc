#include "IPCChannel.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "IPCChannelInternal.h"
#include "IPCFrame.h"

struct IPCChannel {
  int fd = -1;
  std::atomic<int> refs{0};
  std::mutex writeLock;  // also guards fd against the final close
  std::string scratch;   // under writeLock: the text of the frame being written
  std::string batch;     // under writeLock: the frames of one IPC_WriteMessages
};

namespace {

std::mutex gDirectoryLock;
// Built on first use, so that a static initialiser elsewhere may already set the directory.
std::string& DirectoryOverride() {
  static std::string* directory = new std::string();  // empty: the default; never destroyed
  return *directory;
}
std::atomic<unsigned int> gMaxMessageSize{16u * 1024u * 1024u};

std::string RuntimeDirectory() {
  {
    std::lock_guard<std::mutex> lock(gDirectoryLock);
    if (!DirectoryOverride().empty()) return DirectoryOverride();
  }
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/zorlin";
  return "/tmp/zorlin-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

bool PeerIsOurUser(int fd) {
  ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == geteuid();
}

// How long a connect waits for a service whose queue of unaccepted connections is full. A service that
// accepts nobody for this long is not answering; the thread opening the channel (which a destructor may
// be waiting for) must not stay with it.
constexpr std::chrono::milliseconds kConnectWait{250};

// Connects fd (non-blocking) to addr, retrying while the service's accept queue is full, for at most
// kConnectWait. True when connected.
bool ConnectBounded(int fd, const sockaddr_un& addr) {
  const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
  std::chrono::milliseconds pause{1};
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (errno == EINTR) continue;
    const auto now = std::chrono::steady_clock::now();
    if (errno == EINPROGRESS) {
      // Not what Unix sockets do today, but bounded all the same.
      pollfd p{fd, POLLOUT, 0};
      int wait =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
      if (wait <= 0 || poll(&p, 1, wait) <= 0) return false;
      int error = 0;
      socklen_t len = sizeof error;
      return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    if (errno != EAGAIN || now + pause > deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(32));
  }
}

// A connected socket to the named channel's service, or -1. Writes on it block (a writer blocked on a
// service that stopped reading is woken by IPC_CloseChannel); reads are the reader's, non-blocking.
int ConnectSocket(const char* name) {
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr) return -1;
  std::string directory;
  std::string path;
  if (!zr::ipc::PrepareRuntimeDirectory(false, &directory)) return -1;
  if (!zr::ipc::MakeSocketPath(directory, name, &path)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // A service running as another user is not ours to talk to.
  const int flags = fcntl(fd, F_GETFL);
  if (!ConnectBounded(fd, addr) || !PeerIsOurUser(fd) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

IPCChannel* NewChannel(const char* name) {
  int fd = ConnectSocket(name);
  if (fd < 0) return nullptr;
  IPCChannel* channel = new IPCChannel();
  channel->fd = fd;
  return channel;
}

void DestroyChannel(IPCChannel* channel) {
  {
    std::lock_guard<std::mutex> lock(channel->writeLock);
    if (channel->fd >= 0) close(channel->fd);
    channel->fd = -1;
  }
  delete channel;
}

}  // namespace

namespace zr {
namespace ipc {

bool PrepareRuntimeDirectory(bool create, std::string* directory) {
  std::string dir = RuntimeDirectory();
  if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errno = EACCES;
    return false;
  }
  *directory = dir;
  return true;
}

bool MakeSocketPath(const std::string& directory, const char* name, std::string* path) {
  std::string p = directory + "/" + name;
  if (p.size() >= sizeof(sockaddr_un{}.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  *path = p;
  return true;
}

int ChannelSocket(IPCChannel* channel) { return channel->fd; }

void ShutdownChannel(IPCChannel* channel) {
  // Not under writeLock: a writer blocked on a full socket must be woken, not waited for.
  if (channel->fd >= 0) shutdown(channel->fd, SHUT_RDWR);
}

void WakeEventFd(int fd) {
  uint64_t one = 1;
  ssize_t rc;
  do {
    rc = write(fd, &one, sizeof one);
  } while (rc < 0 && errno == EINTR);
}

void DrainEventFd(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof value) > 0) {
  }
}

}  // namespace ipc
}  // namespace zr

extern "C" {

void IPC_SetRuntimeDirectory(const char* directory) {
  std::lock_guard<std::mutex> lock(gDirectoryLock);
  DirectoryOverride() = directory == nullptr ? std::string() : std::string(directory);
}

PRStatus IPC_GetRuntimeDirectory(char* buffer, int size) {
  std::string dir = RuntimeDirectory();
  if (buffer == nullptr || size <= 0 || dir.size() >= static_cast<size_t>(size)) return PR_FAILURE;
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return PR_SUCCESS;
}

PRStatus IPC_GetChannelPath(const char* name, char* buffer, int size) {
  std::string path;
  if (name == nullptr || !zr::ipc::MakeSocketPath(RuntimeDirectory(), name, &path)) return PR_FAILURE;
  if (buffer == nullptr || size <= 0 || path.size() >= static_cast<size_t>(size)) return PR_FAILURE;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return PR_SUCCESS;
}

void IPC_SetMaxMessageSize(unsigned int bytes) { gMaxMessageSize.store(bytes); }

unsigned int IPC_GetMaxMessageSize(void) { return gMaxMessageSize.load(std::memory_order_relaxed); }

IPCChannel* IPC_OpenChannel(const char* name) { return NewChannel(name); }

void IPC_ChannelAddRef(IPCChannel* channel) {
  if (channel != nullptr) channel->refs.fetch_add(1, std::memory_order_relaxed);
}

void IPC_ChannelRelease(IPCChannel* channel) {
  if (channel == nullptr) return;
  // A release of a handle nobody took frees it as well.
  if (channel->refs.fetch_sub(1, std::memory_order_acq_rel) <= 1) DestroyChannel(channel);
}

PRStatus IPC_WriteMessage(IPCChannel* channel, IPCMessage* msg) {
  if (channel == nullptr || msg == nullptr) return PR_FAILURE;
  return zr::ipc::WriteFrame(channel->fd, channel->writeLock, &channel->scratch, msg);
}

PRStatus IPC_WriteMessages(IPCChannel* channel, IPCMessage* const* msgs, int count, int* written) {
  int done = 0;
  PRStatus status = PR_FAILURE;
  if (channel != nullptr && msgs != nullptr && count >= 0) {
    status = zr::ipc::WriteFrames(channel->fd, channel->writeLock, &channel->scratch, &channel->batch, msgs,
                                  count, &done);
  }
  if (written != nullptr) *written = done;
  return status;
}

PRStatus IPC_WriteSerialized(IPCChannel* channel, const char* const* texts, const size_t* sizes, int count,
                             int* written) {
  int done = 0;
  PRStatus status = PR_FAILURE;
  if (channel != nullptr && texts != nullptr && sizes != nullptr && count >= 0) {
    status =
        zr::ipc::WriteTexts(channel->fd, channel->writeLock, &channel->batch, texts, sizes, count, &done);
  }
  if (written != nullptr) *written = done;
  return status;
}

PRStatus IPC_TryWriteSerialized(IPCChannel* channel, const char* text, size_t size) {
  if (channel == nullptr || text == nullptr) return PR_FAILURE;
  return zr::ipc::TryWriteText(channel->fd, channel->writeLock, text, size);
}

IPCChannel* IPC_Connect(const char* name) { return NewChannel(name); }

void IPC_CloseChannel(IPCChannel* channel) {
  if (channel == nullptr) return;
  if (channel->refs.load(std::memory_order_acquire) <= 0) {
    DestroyChannel(channel);
  } else {
    zr::ipc::ShutdownChannel(channel);
  }
}

}  // extern "C"
