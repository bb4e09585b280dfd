#include "IPCServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "IPCChannelInternal.h"
#include "IPCFrame.h"
#include "IPCMessageInternal.h"

namespace zr {
namespace ipc {

using Clock = std::chrono::steady_clock;

// What the server and its connections share: the server thread's wake-up and the output limits. Held by
// every connection, so Send on a connection kept past the server never writes to a reused descriptor.
struct ServerShared {
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<size_t> outputLimit{32 * 1024 * 1024};
  std::atomic<int64_t> lingerMs{2000};
  ServerShared() = default;
  ServerShared(const ServerShared&) = delete;
  ServerShared& operator=(const ServerShared&) = delete;
  ~ServerShared() {
    if (wakeFd >= 0) close(wakeFd);
  }
  void Wake() { WakeEventFd(wakeFd); }
};

namespace {

// The server whose thread this is: its own Sends need no wake-up, the loop looks at every queue anyway.
thread_local const ServerShared* tServing = nullptr;

constexpr int kMaxIov = 64;

}  // namespace

ServerConnection::ServerConnection(int fd, int id, pid_t peerPid, std::shared_ptr<ServerShared> shared)
    : mFd(fd),
      mId(id),
      mPeerPid(peerPid),
      mShared(std::move(shared)),
      mOpen(true),
      mClosing(false),
      mReading(true),
      mResumed(false) {}

ServerConnection::~ServerConnection() { close(mFd); }

void ServerConnection::FailLocked(int error) {
  if (mFailure == 0) mFailure = error;
  mOut.clear();
  mOutHead = 0;
  mQueued = 0;
}

void ServerConnection::FlushLocked() {
  while (mQueued > 0) {
    iovec iov[kMaxIov];
    int count = 0;
    for (auto it = mOut.begin(); it != mOut.end() && count < kMaxIov; ++it, ++count) {
      size_t skip = count == 0 ? mOutHead : 0;
      iov[count].iov_base = const_cast<char*>(it->data()) + skip;
      iov[count].iov_len = it->size() - skip;
    }
    msghdr mh;
    std::memset(&mh, 0, sizeof mh);
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = sendmsg(mFd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) FailLocked(errno);
      return;
    }
    size_t done = static_cast<size_t>(n);
    mQueued -= done;
    while (done > 0) {
      size_t left = mOut.front().size() - mOutHead;
      if (done < left) {
        mOutHead += done;
        break;
      }
      done -= left;
      mOut.pop_front();
      mOutHead = 0;
    }
  }
}

PRStatus ServerConnection::Send(IPCMessage* msg) {
  if (msg == nullptr) {
    errno = EINVAL;
    return PR_FAILURE;
  }
  std::unique_lock<std::mutex> guard(mOutLock);
  if (!mOpen.load(std::memory_order_acquire) || mClosing.load(std::memory_order_acquire) || mFailure != 0) {
    errno = EPIPE;
    return PR_FAILURE;
  }
  size_t size = 0;
  const char* payload = SerializeForWrite(msg, &mScratch, &size);
  if (size > IPC_GetMaxMessageSize()) {
    errno = EMSGSIZE;
    return PR_FAILURE;
  }
  char header[4] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                    static_cast<char>(size >> 8), static_cast<char>(size)};
  size_t sent = 0;
  if (mQueued == 0) {
    // Nothing ahead of it: straight to the socket, as much as it takes now.
    iovec iov[2] = {{header, sizeof header}, {const_cast<char*>(payload), size}};
    msghdr mh;
    std::memset(&mh, 0, sizeof mh);
    mh.msg_iov = iov;
    mh.msg_iovlen = 2;
    for (;;) {
      ssize_t n = sendmsg(mFd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        sent = static_cast<size_t>(n);
        break;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      int error = errno;
      FailLocked(error);
      guard.unlock();
      if (tServing != mShared.get()) mShared->Wake();
      errno = error;
      return PR_FAILURE;
    }
    if (sent == sizeof header + size) return PR_SUCCESS;
  } else if (mQueued + sizeof header + size > mShared->outputLimit.load(std::memory_order_relaxed)) {
    FailLocked(ENOBUFS);
    guard.unlock();
    if (tServing != mShared.get()) mShared->Wake();
    errno = ENOBUFS;
    return PR_FAILURE;
  }
  std::string rest;
  rest.reserve(sizeof header + size - sent);
  if (sent < sizeof header) rest.append(header + sent, sizeof header - sent);
  size_t from = sent > sizeof header ? sent - sizeof header : 0;
  rest.append(payload + from, size - from);
  bool wasEmpty = mQueued == 0;
  mQueued += rest.size();
  mOut.push_back(std::move(rest));
  guard.unlock();
  // The server thread polls for room only for queues it knows are waiting.
  if (wasEmpty && tServing != mShared.get()) mShared->Wake();
  return PR_SUCCESS;
}

void ServerConnection::Close() {
  {
    std::lock_guard<std::mutex> guard(mOutLock);
    if (!mOpen.load(std::memory_order_acquire) || mClosing.load(std::memory_order_acquire)) return;
    mCloseDeadline = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(mShared->lingerMs.load(std::memory_order_relaxed));
    mClosing.store(true, std::memory_order_release);
  }
  // Nothing more is read; a peer still writing learns at once.
  shutdown(mFd, SHUT_RD);
  if (tServing != mShared.get()) mShared->Wake();
}

bool ServerConnection::IsOpen() const { return mOpen.load(std::memory_order_acquire); }

void ServerConnection::SetReading(bool reading) {
  if (mReading.exchange(reading) == reading) return;
  // Frames read before the pause are reported without waiting for more bytes.
  if (reading) mResumed.store(true);
  if (tServing != mShared.get()) mShared->Wake();
}

size_t ServerConnection::QueuedBytes() const {
  std::lock_guard<std::mutex> guard(mOutLock);
  return mQueued;
}

IPCServerListener::~IPCServerListener() {}
void IPCServerListener::OnConnectionOpened(const std::shared_ptr<ServerConnection>&) {}
void IPCServerListener::OnMessage(const std::shared_ptr<ServerConnection>&, IPCMessage*) {}
void IPCServerListener::OnConnectionClosed(const std::shared_ptr<ServerConnection>&, int) {}

struct IPCServer::Impl {
  IPCServerListener* listener;
  std::unique_ptr<IPCServerListener> ownedListener;  // when none was given
  std::mutex startLock;                              // one StartListening at a time

  mutable std::mutex lock;
  std::condition_variable taskDone;
  std::thread thread;
  std::thread::id threadId;
  bool running = false;  // the thread exists and takes tasks
  bool shutdown = false;
  int listenFd = -1;
  std::string socketPath;
  std::vector<std::shared_ptr<ServerConnection>> connections;
  std::deque<std::function<void()>> tasks;
  uint64_t tasksPosted = 0;
  uint64_t tasksDone = 0;
  int nextId = 1;
  std::atomic<int> refused{0};
  std::shared_ptr<ServerShared> shared = std::make_shared<ServerShared>();

  // Server thread only.
  std::unordered_map<ServerConnection*, std::unique_ptr<FrameReader>> readers;
  // Connections with whole frames still buffered after their turn: served again before reading more, so
  // that one peer's burst cannot keep the others waiting for all of it.
  std::unordered_set<ServerConnection*> backlogged;
  static constexpr int kFramesPerTurn = 64;
  IPCMessage* message = nullptr;

  void Wake() { shared->Wake(); }

  // Runs fn on the server thread and waits for it; inline when on that thread or when it is not running.
  void RunOnServerThread(std::function<void()> fn) {
    std::unique_lock<std::mutex> guard(lock);
    if (!running || std::this_thread::get_id() == threadId) {
      guard.unlock();
      fn();
      return;
    }
    tasks.push_back(std::move(fn));
    uint64_t mine = ++tasksPosted;
    Wake();
    taskDone.wait(guard, [&] { return tasksDone >= mine || !running; });
  }

  void CloseListener() {
    int fd;
    std::string path;
    {
      std::lock_guard<std::mutex> guard(lock);
      fd = listenFd;
      listenFd = -1;
      path.swap(socketPath);
    }
    if (fd >= 0) {
      unlink(path.c_str());
      close(fd);
    }
  }

  void Accept(int fd) {
    for (;;) {
      {
        // A listener call may have stopped listening (and the number been reused since).
        std::lock_guard<std::mutex> guard(lock);
        if (listenFd != fd) return;
      }
      int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (conn < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN, or the backlog's failures; poll tells us when to try again
      }
      ucred cred;
      socklen_t len = sizeof cred;
      if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
        close(conn);
        refused.fetch_add(1);
        continue;
      }
      std::shared_ptr<ServerConnection> c;
      {
        std::lock_guard<std::mutex> guard(lock);
        c.reset(new ServerConnection(conn, nextId++, cred.pid, shared));
        connections.push_back(c);
      }
      readers[c.get()].reset(new FrameReader());
      listener->OnConnectionOpened(c);
    }
  }

  void Drop(const std::shared_ptr<ServerConnection>& c, int error) {
    if (!c->mOpen.exchange(false)) return;
    {
      std::lock_guard<std::mutex> guard(c->mOutLock);
      c->mOut.clear();
      c->mOutHead = 0;
      c->mQueued = 0;
    }
    ::shutdown(c->mFd, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (*it == c) {
          connections.erase(it);
          break;
        }
      }
    }
    readers.erase(c.get());
    backlogged.erase(c.get());
    listener->OnConnectionClosed(c, error);
  }

  // Ends a connection whose time has come: a failed write, a Close() whose output is out or whose linger
  // has run out; reports what was read before a pause. Otherwise says what to poll it for, and shortens
  // *timeoutMs to its linger. False when it ended or reports ran.
  bool Tend(const std::shared_ptr<ServerConnection>& c, Clock::time_point now, int* timeoutMs,
            short* events) {
    if (!c->IsOpen()) return false;
    bool closing = c->mClosing.load(std::memory_order_acquire);
    int failure;
    bool queued;
    Clock::time_point deadline;
    {
      std::lock_guard<std::mutex> guard(c->mOutLock);
      failure = c->mFailure;
      queued = c->mQueued > 0;
      deadline = c->mCloseDeadline;
    }
    if (failure != 0) {
      Drop(c, failure);
      return false;
    }
    if (closing && !queued) {
      Drop(c, 0);
      return false;
    }
    if (closing && now >= deadline) {
      Drop(c, ETIMEDOUT);
      return false;
    }
    if (closing) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      if (*timeoutMs < 0 || left < *timeoutMs) *timeoutMs = static_cast<int>(left);
    }
    bool reading = !closing && c->mReading.load(std::memory_order_acquire);
    if (reading && c->mResumed.exchange(false)) {
      Read(c);
      return false;  // reports ran
    }
    *events = static_cast<short>((reading ? POLLIN : 0) | (queued ? POLLOUT : 0));
    if (reading && backlogged.count(c.get()) != 0) *timeoutMs = 0;
    return true;
  }

  void Flush(const std::shared_ptr<ServerConnection>& c) {
    std::lock_guard<std::mutex> guard(c->mOutLock);
    c->FlushLocked();
  }

  // Why output queued for a peer that hung up is lost (0 when none was).
  int GoneError(const std::shared_ptr<ServerConnection>& c) {
    std::lock_guard<std::mutex> guard(c->mOutLock);
    c->FlushLocked();
    if (c->mFailure != 0) return c->mFailure;
    return c->mQueued > 0 ? EPIPE : 0;
  }

  // Takes what the peer has sent and reports each whole frame; a frame still arriving waits in the
  // connection's buffer. After Close() nothing more is reported, even frames already read.
  void Read(const std::shared_ptr<ServerConnection>& c) {
    auto it = readers.find(c.get());
    // Frames left from the last turn come first; the socket is read again once they are done.
    const bool fill = backlogged.erase(c.get()) == 0;
    if (it == readers.end() || !c->IsOpen() || c->mClosing.load() || !c->mReading.load()) return;
    FrameReader& frames = *it->second;
    FrameReader::Status filled = fill ? frames.Fill(c->mFd) : FrameReader::Status::kNeedMore;
    // At the end of the stream everything left is reported at once, then the close.
    const bool ending = filled == FrameReader::Status::kClosed || filled == FrameReader::Status::kFailed;
    for (int handled = 0;; ++handled) {
      if (handled == kFramesPerTurn && !ending) {
        backlogged.insert(c.get());
        return;
      }
      FrameReader::Status next = frames.Next(message);
      if (next == FrameReader::Status::kNeedMore) break;
      if (next == FrameReader::Status::kFailed) {
        Drop(c, frames.error());
        return;
      }
      listener->OnMessage(c, message);
      if (!c->IsOpen() || c->mClosing.load() || !c->mReading.load()) return;
    }
    if (filled == FrameReader::Status::kClosed) {
      Drop(c, 0);
    } else if (filled == FrameReader::Status::kFailed) {
      Drop(c, frames.error());
    }
  }

  void RunTasks() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> guard(lock);
        if (tasks.empty()) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
      {
        std::lock_guard<std::mutex> guard(lock);
        ++tasksDone;
      }
      taskDone.notify_all();
    }
  }

  void Run() {
    tServing = shared.get();
    message = IPC_NewMessage();
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<ServerConnection>> polled;
    std::vector<std::shared_ptr<ServerConnection>> live;
    for (;;) {
      int fd;
      {
        std::lock_guard<std::mutex> guard(lock);
        if (shutdown) break;
        fd = listenFd;
        polled = connections;
      }
      fds.clear();
      fds.push_back(pollfd{shared->wakeFd, POLLIN, 0});
      fds.push_back(pollfd{fd, POLLIN, 0});  // a negative fd is ignored by poll
      live.clear();
      int timeoutMs = -1;
      Clock::time_point now = Clock::now();
      for (const auto& c : polled) {
        short events = 0;
        if (!Tend(c, now, &timeoutMs, &events)) continue;
        live.push_back(c);
        fds.push_back(pollfd{events != 0 ? c->mFd : -1, events, 0});  // -1: nothing awaited of it
      }
      if (live.size() != polled.size()) continue;  // reports ran: the sets may have changed
      int ready = poll(fds.data(), fds.size(), timeoutMs);
      if (ready < 0 || (ready == 0 && backlogged.empty())) continue;
      if (fds[0].revents != 0) {
        DrainEventFd(shared->wakeFd);
        RunTasks();
        continue;  // the sets may have changed
      }
      if (fds[1].revents != 0) Accept(fd);
      for (size_t i = 0; i < live.size(); ++i) {
        short revents = fds[i + 2].revents;
        const auto& c = live[i];
        const bool turn = (fds[i + 2].events & POLLIN) != 0 && backlogged.count(c.get()) != 0;
        if ((revents == 0 && !turn) || !c->IsOpen()) continue;
        if (revents & POLLOUT) Flush(c);
        if ((fds[i + 2].events & POLLIN) == 0) {
          // Only its output is awaited; a peer that has gone will never take it.
          if (revents & (POLLHUP | POLLERR)) Drop(c, GoneError(c));
          continue;
        }
        if (turn || (revents & (POLLIN | POLLHUP | POLLERR))) Read(c);
      }
    }
    // Shutdown: no more connections, every open one reported closed. Whatever the sockets take now still
    // goes out; nothing waits for a peer.
    CloseListener();
    std::vector<std::shared_ptr<ServerConnection>> open;
    {
      std::lock_guard<std::mutex> guard(lock);
      open = connections;
    }
    for (const auto& c : open) {
      Flush(c);
      c->mClosing.store(true);
      Drop(c, 0);
    }
    RunTasks();
    IPC_DestroyMessage(message);
    message = nullptr;
    tServing = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock);
      running = false;
    }
    taskDone.notify_all();
  }
};

IPCServer::IPCServer(const char* channelName, IPCServerListener* listener)
    : mChannelName(channelName != nullptr ? channelName : ""), mImpl(new Impl()) {
  if (listener == nullptr) {
    mImpl->ownedListener.reset(new IPCServerListener());
    listener = mImpl->ownedListener.get();
  }
  mImpl->listener = listener;
}

IPCServer::~IPCServer() { Shutdown(); }

PRStatus IPCServer::StartListening() {
  std::lock_guard<std::mutex> start(mImpl->startLock);
  {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    if (mImpl->shutdown) {
      errno = ESHUTDOWN;
      return PR_FAILURE;
    }
    if (mImpl->listenFd >= 0) return PR_SUCCESS;
  }
  if (mChannelName.empty() || mChannelName.find('/') != std::string::npos) {
    errno = EINVAL;
    return PR_FAILURE;
  }
  std::string directory;
  std::string path;
  if (!PrepareRuntimeDirectory(true, &directory)) return PR_FAILURE;
  if (!MakeSocketPath(directory, mChannelName.c_str(), &path)) return PR_FAILURE;
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  // A socket file left by a server that died is replaced; one with a live server behind it is not.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
      return PR_FAILURE;
    }
    // Non-blocking: a live server that does not accept (its backlog full) answers EAGAIN, not a wait.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) return PR_FAILURE;
    bool live = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN;
    close(probe);
    if (live) {
      errno = EADDRINUSE;
      return PR_FAILURE;
    }
    unlink(path.c_str());
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return PR_FAILURE;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || chmod(path.c_str(), 0600) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    int saved = errno;
    close(fd);
    unlink(path.c_str());
    errno = saved;
    return PR_FAILURE;
  }
  {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->listenFd = fd;
    mImpl->socketPath = path;
    if (!mImpl->running) {
      mImpl->running = true;
      mImpl->thread = std::thread([this] { mImpl->Run(); });
      mImpl->threadId = mImpl->thread.get_id();
    }
  }
  mImpl->Wake();
  return PR_SUCCESS;
}

void IPCServer::StopListening() {
  mImpl->RunOnServerThread([this] { mImpl->CloseListener(); });
}

bool IPCServer::IsListening() const {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  return mImpl->listenFd >= 0;
}

void IPCServer::CloseAllConnections() {
  for (const auto& c : Connections()) c->Close();
}

void IPCServer::Shutdown() {
  {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    if (mImpl->shutdown) return;
    mImpl->shutdown = true;
  }
  mImpl->Wake();
  if (mImpl->thread.joinable()) {
    mImpl->thread.join();
  } else {
    mImpl->CloseListener();
  }
}

void IPCServer::SetOutputLimit(size_t bytes) { mImpl->shared->outputLimit.store(bytes); }

void IPCServer::SetCloseLinger(std::chrono::milliseconds linger) {
  mImpl->shared->lingerMs.store(linger.count() < 0 ? 0 : linger.count());
}

std::vector<std::shared_ptr<ServerConnection>> IPCServer::Connections() const {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  return mImpl->connections;
}

int IPCServer::RefusedCount() const { return mImpl->refused.load(); }

bool IPCServer::IsServerThread() const {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  return mImpl->running && std::this_thread::get_id() == mImpl->threadId;
}

}  // namespace ipc
}  // namespace zr
