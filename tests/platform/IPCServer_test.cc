// The service end under peers that misbehave: one that stops reading, one that stalls in the middle of a
// frame, many threads sending at once, closes with output still queued, and what a child process inherits.
// Every step that could hang runs with a deadline; when it passes, the test ends the stall itself so that
// a failure is reported rather than a hung test program.
#include "IPCServer.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IPCFrame.h"
#include "IPCMessage.h"
#include "TestRuntimeDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using zr::ipc::FrameReader;
using zr::ipc::IPCServer;
using zr::ipc::IPCServerListener;
using zr::ipc::ServerConnection;

constexpr milliseconds kBound{3000};
constexpr size_t kMiB = 1024 * 1024;

IPCMessage* Msg(std::initializer_list<std::pair<const char*, std::string>> fields) {
  IPCMessage* m = IPC_NewMessage();
  for (const auto& f : fields) IPC_MessageSetValue(m, f.first, f.second.c_str());
  return m;
}

std::string Frame(std::initializer_list<std::pair<const char*, std::string>> fields) {
  IPCMessage* m = Msg(fields);
  std::string text = IPC_Serialize(m);
  IPC_DestroyMessage(m);
  size_t n = text.size();
  char header[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
  return std::string(header, 4) + text;
}

// Records what the server reports; echoes every message unless told not to.
class Record : public IPCServerListener {
 public:
  explicit Record(bool echo = true) : mEcho(echo) {}
  void OnConnectionOpened(const std::shared_ptr<ServerConnection>& c) override {
    std::lock_guard<std::mutex> lock(mMutex);
    opened.push_back(c);
    mChanged.notify_all();
  }
  void OnMessage(const std::shared_ptr<ServerConnection>& c, IPCMessage* msg) override {
    if (mEcho) c->Send(msg);
    std::lock_guard<std::mutex> lock(mMutex);
    ++received[c->Id()];
    mChanged.notify_all();
  }
  void OnConnectionClosed(const std::shared_ptr<ServerConnection>& c, int error) override {
    std::lock_guard<std::mutex> lock(mMutex);
    closed[c->Id()] = error;
    mChanged.notify_all();
  }
  bool WaitFor(const std::function<bool()>& condition, milliseconds timeout = kBound) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, timeout, condition);
  }
  std::shared_ptr<ServerConnection> Opened(size_t i) {
    std::lock_guard<std::mutex> lock(mMutex);
    return i < opened.size() ? opened[i] : nullptr;
  }
  int ClosedWith(int id) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = closed.find(id);
    return it == closed.end() ? -1 : it->second;
  }

  std::vector<std::shared_ptr<ServerConnection>> opened;
  std::map<int, int> received;  // connection id -> messages
  std::map<int, int> closed;    // connection id -> error

 private:
  bool mEcho;
  std::mutex mMutex;
  std::condition_variable mChanged;
};

// A client end written by hand on a non-blocking socket, so the test decides when it reads and writes.
class Peer {
 public:
  explicit Peer(const std::string& path) {
    mFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    connected = connect(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    mMessage = IPC_NewMessage();
  }
  ~Peer() {
    Close();
    IPC_DestroyMessage(mMessage);
  }
  void Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
  }
  // Writes all of bytes, or gives up at the deadline.
  bool Write(const std::string& bytes, milliseconds timeout = kBound) {
    auto until = Clock::now() + timeout;
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else if (!WaitReady(POLLOUT, until)) {
        return false;
      }
    }
    return true;
  }
  // The next message as serialised text; "" at the deadline, "<end>" at the end of the stream.
  std::string Read(milliseconds timeout = kBound) {
    auto until = Clock::now() + timeout;
    for (;;) {
      FrameReader::Status next = mFrames.Next(mMessage);
      if (next == FrameReader::Status::kMessage) return IPC_Serialize(mMessage);
      if (next == FrameReader::Status::kFailed) return "<bad frame>";
      FrameReader::Status filled = mFrames.Fill(mFd);
      if (filled == FrameReader::Status::kClosed) return "<end>";
      if (filled == FrameReader::Status::kFailed) return "<error " + std::to_string(mFrames.error()) + ">";
      if (mFrames.Next(mMessage) == FrameReader::Status::kMessage) return IPC_Serialize(mMessage);
      if (!WaitReady(POLLIN, until)) return "";
    }
  }
  bool connected = false;

 private:
  bool WaitReady(short events, Clock::time_point until) {
    auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{mFd, events, 0};
    return poll(&p, 1, static_cast<int>(left)) > 0;
  }

  int mFd = -1;
  FrameReader mFrames;
  IPCMessage* mMessage = nullptr;
};

// Runs fn on a thread of its own; Finished() waits for it up to a deadline. Join() waits for good: call it
// only once whatever fn waits on has been ended.
class Bounded {
 public:
  explicit Bounded(std::function<void()> fn) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(fn));
    mDone = task->get_future();
    mThread = std::thread([task] { (*task)(); });
  }
  ~Bounded() { Join(); }
  bool Finished(milliseconds timeout = kBound) {
    return mDone.wait_for(timeout) == std::future_status::ready;
  }
  void Join() {
    if (mThread.joinable()) mThread.join();
  }

 private:
  std::future<void> mDone;
  std::thread mThread;
};

class ServerTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) { return mDir.ChannelPath(name); }
  zr::test::TestRuntimeDir mDir;
};

TEST_F(ServerTest, PeerThatStopsReadingHoldsUpNoOneElse) {
  Record rec;
  auto server = std::make_unique<IPCServer>("kv_echo", &rec);
  ASSERT_EQ(server->StartListening(), PR_SUCCESS);
  auto a = std::make_unique<Peer>(Path("kv_echo"));
  ASSERT_TRUE(a->connected);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 1; }));
  // A sends four large requests and never reads the echoes, which the server cannot write through.
  std::string big;
  for (int i = 0; i < 4; ++i) big += Frame({{"i", std::to_string(i)}, {"v", std::string(kMiB, 'a')}});
  EXPECT_TRUE(a->Write(big)) << "the server stopped reading A";
  EXPECT_TRUE(rec.WaitFor([&] { return rec.received[1] == 4; })) << "A's requests were not all taken";

  Peer b(Path("kv_echo"));
  ASSERT_TRUE(b.connected);
  EXPECT_TRUE(b.Write(Frame({{"ping", "1"}})));
  EXPECT_EQ(b.Read(), "@1;4:ping1:1") << "B was not answered while A stalls";

  IPCServer* s = server.get();
  Bounded shutdown([s] { s->Shutdown(); });
  bool prompt = shutdown.Finished();
  EXPECT_TRUE(prompt) << "Shutdown waits on a peer that does not read";
  if (!prompt) a->Close();  // frees a server stuck writing to A
  shutdown.Join();
  EXPECT_EQ(rec.ClosedWith(1), 0);
  EXPECT_EQ(rec.ClosedWith(2), 0);
  EXPECT_EQ(b.Read(), "<end>");
}

}  // namespace
