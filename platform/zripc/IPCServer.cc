#include "IPCServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>

#include "IPCChannelInternal.h"
#include "IPCFrame.h"

namespace zr {
namespace ipc {

ServerConnection::ServerConnection(int fd, int id, pid_t peerPid)
    : mFd(fd), mId(id), mPeerPid(peerPid), mOpen(true), mClosing(false) {}

ServerConnection::~ServerConnection() { close(mFd); }

PRStatus ServerConnection::Send(IPCMessage* msg) {
  if (msg == nullptr || !mOpen.load(std::memory_order_acquire)) return PR_FAILURE;
  return WriteFrame(mFd, mWriteLock, &mScratch, msg);
}

void ServerConnection::Close() {
  if (!mOpen.load(std::memory_order_acquire)) return;
  mClosing.store(true, std::memory_order_release);
  shutdown(mFd, SHUT_RDWR);
}

bool ServerConnection::IsOpen() const { return mOpen.load(std::memory_order_acquire); }

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
  int wakeFd = -1;

  // Server thread only.
  std::unordered_map<ServerConnection*, std::unique_ptr<FrameReader>> readers;
  IPCMessage* message = nullptr;

  void Wake() { WakeEventFd(wakeFd); }

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
      int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
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
        c.reset(new ServerConnection(conn, nextId++, cred.pid));
        connections.push_back(c);
      }
      readers[c.get()].reset(new FrameReader());
      listener->OnConnectionOpened(c);
    }
  }

  void Drop(const std::shared_ptr<ServerConnection>& c, int error) {
    if (!c->mOpen.exchange(false)) return;
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
    listener->OnConnectionClosed(c, c->mClosing.load() ? 0 : error);
  }

  // After Close() nothing more of the connection is reported but its close, even frames already read.
  bool DropIfClosing(const std::shared_ptr<ServerConnection>& c) {
    if (!c->mClosing.load()) return false;
    Drop(c, 0);
    return true;
  }

  void Read(const std::shared_ptr<ServerConnection>& c) {
    auto it = readers.find(c.get());
    if (it == readers.end() || !c->IsOpen() || DropIfClosing(c)) return;
    FrameReader& frames = *it->second;
    FrameReader::Status filled = frames.Fill(c->mFd);
    for (;;) {
      FrameReader::Status next = frames.Next(message);
      if (next == FrameReader::Status::kNeedMore) break;
      if (next == FrameReader::Status::kFailed) {
        Drop(c, frames.error());
        return;
      }
      listener->OnMessage(c, message);
      if (!c->IsOpen() || DropIfClosing(c)) return;
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
    message = IPC_NewMessage();
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<ServerConnection>> polled;
    for (;;) {
      int fd;
      {
        std::lock_guard<std::mutex> guard(lock);
        if (shutdown) break;
        fd = listenFd;
        polled = connections;
      }
      fds.clear();
      fds.push_back(pollfd{wakeFd, POLLIN, 0});
      fds.push_back(pollfd{fd, POLLIN, 0});  // a negative fd is ignored by poll
      for (const auto& c : polled) fds.push_back(pollfd{c->mFd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) {
        DrainEventFd(wakeFd);
        RunTasks();
        continue;  // the sets may have changed
      }
      if (fds[1].revents != 0) Accept(fd);
      for (size_t i = 0; i < polled.size(); ++i) {
        if (fds[i + 2].revents != 0) Read(polled[i]);
      }
    }
    // Shutdown: no more connections, every open one reported closed.
    CloseListener();
    std::vector<std::shared_ptr<ServerConnection>> open;
    {
      std::lock_guard<std::mutex> guard(lock);
      open = connections;
    }
    for (const auto& c : open) {
      c->mClosing.store(true);
      Drop(c, 0);
    }
    RunTasks();
    IPC_DestroyMessage(message);
    message = nullptr;
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
  mImpl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

IPCServer::~IPCServer() {
  Shutdown();
  if (mImpl->wakeFd >= 0) close(mImpl->wakeFd);
}

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
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return PR_FAILURE;
    bool live = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
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
