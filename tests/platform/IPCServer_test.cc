// The service end under peers that misbehave: one that stops reading, one that stalls in the middle of a
// frame, many threads sending at once, closes with output still queued, and what a child process inherits.
// Every step that could hang runs with a deadline; when it passes, the test ends the stall itself so that
// a failure is reported rather than a hung test program.
#include "IPCServer.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "FakeService.h"
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
using zr::test::OpenDescriptors;

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
  int Received(int id) {
    std::lock_guard<std::mutex> lock(mMutex);
    return received[id];
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
  // Writes all of bytes, or gives up at the deadline; *written tells how much went.
  bool Write(const std::string& bytes, milliseconds timeout = kBound, size_t* written = nullptr) {
    auto until = Clock::now() + timeout;
    size_t ignored = 0;
    size_t& done = written != nullptr ? *written : ignored;
    done = 0;
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
  // Within the output limit the silent peer keeps its connection; past it, it is dropped with ENOBUFS.
  for (size_t limit : {size_t{0}, kMiB}) {
    SCOPED_TRACE("output limit " + std::to_string(limit));
    Record rec;
    auto server = std::make_unique<IPCServer>("kv_echo", &rec);
    if (limit != 0) server->SetOutputLimit(limit);
    ASSERT_EQ(server->StartListening(), PR_SUCCESS);
    auto a = std::make_unique<Peer>(Path("kv_echo"));
    ASSERT_TRUE(a->connected);
    ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 1; }));
    // A sends four large requests and never reads the echoes, which the server cannot write through.
    std::string big;
    for (int i = 0; i < 4; ++i) big += Frame({{"i", std::to_string(i)}, {"v", std::string(kMiB, 'a')}});
    bool written = a->Write(big);
    if (limit == 0) {
      EXPECT_TRUE(written) << "the server stopped reading A";
      EXPECT_TRUE(rec.WaitFor([&] { return rec.received[1] == 4; })) << "A's requests were not all taken";
      EXPECT_GT(rec.Opened(0)->QueuedBytes(), 2 * kMiB);
      EXPECT_TRUE(rec.Opened(0)->IsOpen());
    } else {
      EXPECT_TRUE(rec.WaitFor([&] { return rec.closed.count(1) == 1; })) << "A was not dropped";
      EXPECT_EQ(rec.ClosedWith(1), ENOBUFS);
      EXPECT_EQ(rec.Opened(0)->QueuedBytes(), 0u);
      IPCMessage* m = Msg({{"after", "drop"}});
      EXPECT_EQ(rec.Opened(0)->Send(m), PR_FAILURE);
      IPC_DestroyMessage(m);
    }

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
    EXPECT_EQ(rec.ClosedWith(1), limit == 0 ? 0 : ENOBUFS);
    EXPECT_EQ(rec.ClosedWith(2), 0);
    EXPECT_EQ(b.Read(), "<end>");
  }
}

TEST_F(ServerTest, HalfAFrameWaitsWithoutHoldingUpOthers) {
  Record rec;
  IPCServer server("kv_echo", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  Peer a(Path("kv_echo"));
  Peer b(Path("kv_echo"));
  ASSERT_TRUE(a.connected && b.connected);
  // A stalls inside its length, then inside the payload of a large frame; B is answered each time.
  std::string frame = Frame({{"v", std::string(256 * 1024, 'h')}});
  size_t cuts[] = {2, 4 + 8, frame.size() / 2, frame.size()};
  size_t sent = 0;
  int round = 0;
  for (size_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    ASSERT_TRUE(a.Write(frame.substr(sent, cut - sent)));
    sent = cut;
    EXPECT_TRUE(b.Write(Frame({{"n", std::to_string(++round)}})));
    EXPECT_EQ(b.Read(), "@1;1:n1:" + std::to_string(round));
    if (cut < frame.size()) {
      EXPECT_EQ(rec.Received(1), 0);
    }
  }
  EXPECT_TRUE(rec.WaitFor([&] { return rec.received[1] == 1; }));
  EXPECT_EQ(a.Read().size(), frame.size() - 4) << "the completed frame was not echoed";
  // Stalled again in the middle of a frame: Shutdown does not wait for the rest.
  ASSERT_TRUE(a.Write(frame.substr(0, 100)));
  IPCServer* s = &server;
  Bounded shutdown([s] { s->Shutdown(); });
  bool prompt = shutdown.Finished();
  EXPECT_TRUE(prompt);
  if (!prompt) a.Close();
  shutdown.Join();
  EXPECT_EQ(rec.ClosedWith(1), 0);
}

// One peer's burst is served in turns with the others: a frame from B that waits beside 3,000 of A's is
// reported after some of A's, not after all of them. The server is held inside a report while both
// arrive, so that both are there when it next reads.
TEST_F(ServerTest, OnePeersBurstIsServedInTurnsWithTheOthers) {
  class Order : public IPCServerListener {
   public:
    void OnConnectionOpened(const std::shared_ptr<ServerConnection>&) override {
      std::lock_guard<std::mutex> lock(mutex);
      ++opened;
      changed.notify_all();
    }
    void OnMessage(const std::shared_ptr<ServerConnection>& c, IPCMessage* msg) override {
      std::unique_lock<std::mutex> lock(mutex);
      if (IPC_MessageGetValue(msg, "hold") != nullptr) {
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !hold; });
        return;
      }
      ids.push_back(c->Id());
      changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    int opened = 0;
    bool hold = true, held = false;
    std::vector<int> ids;  // connection of each message, in report order
  } order;
  IPCServer server("kv_turns", &order);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  Peer a(Path("kv_turns"));
  Peer b(Path("kv_turns"));
  ASSERT_TRUE(a.connected && b.connected);
  auto waitFor = [&](const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> lock(order.mutex);
    return order.changed.wait_for(lock, kBound, condition);
  };
  ASSERT_TRUE(waitFor([&] { return order.opened == 2; }));
  ASSERT_TRUE(a.Write(Frame({{"hold", "1"}})));
  ASSERT_TRUE(waitFor([&] { return order.held; }));
  const int burst = 3000;
  std::string frames;
  for (int i = 0; i < burst; ++i) frames += Frame({{"n", std::to_string(i)}});
  ASSERT_TRUE(a.Write(frames));
  ASSERT_TRUE(b.Write(Frame({{"n", "b"}})));
  {
    std::lock_guard<std::mutex> lock(order.mutex);
    order.hold = false;
  }
  order.changed.notify_all();
  ASSERT_TRUE(waitFor([&] { return order.ids.size() == burst + 1u; }));
  std::lock_guard<std::mutex> lock(order.mutex);
  size_t atB = 0;  // how many of A's came first
  while (atB < order.ids.size() && order.ids[atB] == order.ids.front()) ++atB;
  EXPECT_GT(atB, 0u);
  EXPECT_LT(atB, 500u) << "B waited for " << atB << " of A's frames";
}

// The value of key in a message given as serialised text.
std::string Field(const std::string& text, const char* key) {
  IPCMessage* m = IPC_NewMessage();
  std::string value;
  if (IPC_Deserialize(m, text.c_str()) == PR_SUCCESS && IPC_MessageGetValue(m, key) != nullptr) {
    value = IPC_MessageGetValue(m, key);
  }
  IPC_DestroyMessage(m);
  return value;
}

TEST_F(ServerTest, SendsFromManyThreadsKeepEachThreadsOrderWhileTheServerAnswers) {
  constexpr int kThreads = 4;
  constexpr int kEach = 300;
  Record rec;
  IPCServer server("kv_echo", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  Peer peer(Path("kv_echo"));
  ASSERT_TRUE(peer.connected);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 1; }));
  std::shared_ptr<ServerConnection> c = rec.Opened(0);
  // Senders of several sizes, so that some frames go straight out and others queue behind them, while
  // the server thread echoes the peer's pings onto the same connection.
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        IPCMessage* m =
            Msg({{"t", std::to_string(t)},
                 {"i", std::to_string(i)},
                 {"pad", std::string(static_cast<size_t>((i * 7919 + t * 104729) % 20000), 'p')}});
        if (c->Send(m) != PR_SUCCESS) failures.fetch_add(1);
        IPC_DestroyMessage(m);
      }
    });
  }
  std::string pings;
  for (int i = 0; i < kEach; ++i) pings += Frame({{"t", "echo"}, {"i", std::to_string(i)}});
  EXPECT_TRUE(peer.Write(pings));
  std::map<std::string, int> next;
  int total = 0;
  bool ordered = true;
  for (; ordered && total < kThreads * kEach + kEach; ++total) {
    std::string text = peer.Read();
    if (text.empty() || text[0] == '<') break;
    std::string t = Field(text, "t");
    ordered = Field(text, "i") == std::to_string(next[t]++);
    EXPECT_TRUE(ordered) << "out of order from sender " << t << ": " << text.substr(0, 40);
  }
  if (total < kThreads * kEach + kEach) peer.Close();  // a sender stuck on the peer gets out
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(total, kThreads * kEach + kEach);
  EXPECT_EQ(c->QueuedBytes(), 0u);
}

// Records every message the server reports, as text, per connection.
class Transcript : public IPCServerListener {
 public:
  void OnConnectionOpened(const std::shared_ptr<ServerConnection>& c) override {
    std::lock_guard<std::mutex> lock(mMutex);
    opened.push_back(c);
    mChanged.notify_all();
  }
  void OnMessage(const std::shared_ptr<ServerConnection>& c, IPCMessage* msg) override {
    std::lock_guard<std::mutex> lock(mMutex);
    received[c->Id()].push_back(IPC_Serialize(msg));
    mChanged.notify_all();
  }
  bool WaitFor(const std::function<bool()>& condition, milliseconds timeout = kBound) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, timeout, condition);
  }
  std::vector<std::shared_ptr<ServerConnection>> opened;
  std::map<int, std::vector<std::string>> received;

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
};

// Random interleavings of sends of many sizes, peers that write in arbitrary pieces and read when they
// like, and pauses of reading, against the plain model: each side gets the other's frames whole and in
// order.
TEST_F(ServerTest, ModelOfFramesBothWaysUnderPartialWritesAndPauses) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    Transcript rec;
    IPCServer server("kv_model", &rec);
    server.SetOutputLimit(256 * kMiB);
    ASSERT_EQ(server.StartListening(), PR_SUCCESS);
    constexpr int kPeers = 3;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < kPeers; ++i) {
      peers.push_back(std::make_unique<Peer>(Path("kv_model")));
      ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == static_cast<size_t>(i + 1); }));
    }
    std::vector<std::vector<std::string>> toPeer(kPeers), fromPeer(kPeers);
    std::vector<size_t> readByPeer(kPeers, 0);
    std::vector<std::string> unsent(kPeers);  // bytes a peer has yet to write
    std::vector<bool> reading(kPeers, true);
    for (int step = 0; step < 600; ++step) {
      size_t p = pick(kPeers);
      std::string pad(pick(4) == 0 ? pick(300000) : pick(200), 'a' + static_cast<char>(step % 26));
      switch (pick(5)) {
        case 0: {  // the server sends
          IPCMessage* m = Msg({{"to", std::to_string(step)}, {"pad", pad}});
          toPeer[p].push_back(IPC_Serialize(m));
          ASSERT_EQ(rec.opened[p]->Send(m), PR_SUCCESS);
          IPC_DestroyMessage(m);
          break;
        }
        case 1: {  // the peer has a request, written in a later piece
          std::string frame = Frame({{"from", std::to_string(step)}, {"pad", pad}});
          fromPeer[p].push_back(frame.substr(4));
          unsent[p] += frame;
          break;
        }
        case 2: {  // the peer writes a piece of what it has, as much as its socket takes
          size_t written = 0;
          peers[p]->Write(unsent[p].substr(0, 1 + pick(unsent[p].size() + 1)), milliseconds(0), &written);
          unsent[p].erase(0, written);
          break;
        }
        case 3: {  // the peer reads what has arrived
          for (std::string text; !(text = peers[p]->Read(milliseconds(0))).empty();) {
            ASSERT_LT(readByPeer[p], toPeer[p].size()) << text.substr(0, 40);
            ASSERT_EQ(text, toPeer[p][readByPeer[p]++]);
          }
          break;
        }
        case 4:
          reading[p] = !reading[p];
          rec.opened[p]->SetReading(reading[p]);
          break;
      }
    }
    for (int p = 0; p < kPeers; ++p) {
      rec.opened[p]->SetReading(true);
      Bounded writer([&, p] { EXPECT_TRUE(peers[p]->Write(unsent[p])); });
      while (readByPeer[p] < toPeer[p].size()) {
        std::string text = peers[p]->Read();
        ASSERT_EQ(text, toPeer[p][readByPeer[p]++]);
      }
      ASSERT_TRUE(writer.Finished());
      ASSERT_TRUE(rec.WaitFor([&] { return rec.received[p + 1].size() == fromPeer[p].size(); }));
      rec.WaitFor([&] {
        EXPECT_EQ(rec.received[p + 1], fromPeer[p]);
        return true;
      });
      EXPECT_EQ(rec.opened[p]->QueuedBytes(), 0u);
    }
  }
}

TEST_F(ServerTest, CloseWritesQueuedOutputWithinItsLinger) {
  enum class Then { kPeerReads, kPeerNeverReads, kPeerGoes, kShutdown };
  struct Case {
    const char* name;
    Then then;
    int expected;
  };
  const Case cases[] = {{"peer reads", Then::kPeerReads, 0},
                        {"peer never reads", Then::kPeerNeverReads, ETIMEDOUT},
                        {"peer goes", Then::kPeerGoes, EPIPE},
                        {"shutdown", Then::kShutdown, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Record rec(/*echo=*/false);
    auto server = std::make_unique<IPCServer>("kv_out", &rec);
    server->SetCloseLinger(k.then == Then::kPeerNeverReads ? milliseconds(300) : milliseconds(30000));
    ASSERT_EQ(server->StartListening(), PR_SUCCESS);
    auto peer = std::make_unique<Peer>(Path("kv_out"));
    ASSERT_TRUE(peer->connected);
    ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 1; }));
    std::shared_ptr<ServerConnection> c = rec.Opened(0);
    Bounded sends([c] {
      for (int i = 0; i < 3; ++i) {
        IPCMessage* m = Msg({{"i", std::to_string(i)}, {"v", std::string(kMiB, 'q')}});
        EXPECT_EQ(c->Send(m), PR_SUCCESS);
        IPC_DestroyMessage(m);
      }
    });
    bool queued = sends.Finished();
    EXPECT_TRUE(queued) << "Send waits for a peer that does not read";
    if (!queued) peer->Close();
    sends.Join();
    EXPECT_GT(c->QueuedBytes(), kMiB);
    auto closedAt = Clock::now();
    c->Close();
    IPCMessage* late = Msg({{"late", "1"}});
    EXPECT_EQ(c->Send(late), PR_FAILURE);
    EXPECT_EQ(errno, EPIPE);
    IPC_DestroyMessage(late);
    // The close waits for the output, not for the peer's requests: a frame it sends now is not reported.
    peer->Write(Frame({{"after", "close"}}), milliseconds(0));
    EXPECT_FALSE(rec.WaitFor([&] { return !rec.closed.empty(); }, milliseconds(100)));
    switch (k.then) {
      case Then::kPeerReads:
        for (int i = 0; i < 3; ++i) EXPECT_EQ(Field(peer->Read(), "i"), std::to_string(i));
        EXPECT_EQ(peer->Read(), "<end>");
        break;
      case Then::kPeerNeverReads:
        break;
      case Then::kPeerGoes:
        peer->Close();
        break;
      case Then::kShutdown: {
        IPCServer* s = server.get();
        Bounded shutdown([s] { s->Shutdown(); });
        bool prompt = shutdown.Finished();
        EXPECT_TRUE(prompt);
        if (!prompt) peer->Close();
        break;
      }
    }
    EXPECT_TRUE(rec.WaitFor([&] { return !rec.closed.empty(); }));
    EXPECT_EQ(rec.ClosedWith(1), k.expected);
    if (k.then == Then::kPeerNeverReads) {
      EXPECT_GE(Clock::now() - closedAt, milliseconds(300));
    }
    EXPECT_EQ(rec.Received(1), 0);
    EXPECT_FALSE(c->IsOpen());
    EXPECT_EQ(c->QueuedBytes(), 0u);
  }
}

TEST_F(ServerTest, FakeServiceThatStopsReadingThenReadsAgainLosesNothing) {
  zr::test::FakeService service("kv_fake");
  // Paused from a handler in the middle of frames read together: the rest wait, and come when reading
  // resumes although no new byte arrives.
  service.OnCommand("n", [&](const zr::test::ReceivedMessage& m, zr::test::Responder&) {
    if (m.Value("i") == "5") service.SetReading(false);
  });
  Peer a(Path("kv_fake"));
  ASSERT_TRUE(a.connected);
  std::string together;
  for (int i = 0; i < 20; ++i) together += Frame({{"zr_command", "n"}, {"i", std::to_string(i)}});
  ASSERT_TRUE(a.Write(together));
  ASSERT_TRUE(service.WaitForMessages(6));
  EXPECT_FALSE(service.WaitForMessages(7, milliseconds(50)));
  service.SetReading(true);
  ASSERT_TRUE(service.WaitForMessages(20));
  service.ClearMessages();
  service.SetReading(false);
  // The client's writes back up, the last frame cut somewhere.
  std::string rest;
  int sent = 0;
  while (rest.empty() && sent < 10000) {
    std::string frame =
        Frame({{"zr_command", "m"}, {"i", std::to_string(sent)}, {"pad", std::string(4000, 'b')}});
    size_t written = 0;
    if (!a.Write(frame, milliseconds(100), &written)) rest = frame.substr(written);
    ++sent;
  }
  EXPECT_FALSE(rest.empty()) << "the service kept reading";
  EXPECT_EQ(service.MessageCount(), 0);
  // Once reading resumes, everything arrives in order: what sat in the socket and what was buffered.
  service.SetReading(true);
  EXPECT_TRUE(a.Write(rest));
  ASSERT_TRUE(service.WaitForMessages(sent));
  auto messages = service.Messages();
  for (int i = 0; i < sent; ++i) ASSERT_EQ(messages[i].Value("i"), std::to_string(i));
  // How the connections end is told: the first stops inside a frame, the second is closed.
  Peer b(Path("kv_fake"));
  ASSERT_TRUE(b.connected);
  ASSERT_TRUE(service.WaitForConnections(2));
  EXPECT_TRUE(a.Write(Frame({{"cut", "short"}}).substr(0, 9)));
  a.Close();
  ASSERT_TRUE(service.WaitForOpenConnections(1));
  EXPECT_EQ(service.CloseError(1), EPROTO);
  EXPECT_EQ(service.CloseError(2), -1);
  service.DropConnections();
  EXPECT_EQ(service.CloseError(2), 0);
}

TEST_F(ServerTest, StartListeningDoesNotWaitOnALiveServerThatDoesNotAccept) {
  // Another server holds the name and accepts nobody: its backlog is full.
  const std::string path = Path("kv_busy");
  int other = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(other, 0), 0);
  std::vector<int> waiting;
  for (int i = 0; i < 16; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    waiting.push_back(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == EAGAIN) break;
  }
  ASSERT_LT(waiting.size(), 16u) << "the backlog never filled";
  Record rec;
  IPCServer server("kv_busy", &rec);
  PRStatus status = PR_SUCCESS;
  int error = 0;
  Bounded start([&] {
    status = server.StartListening();
    error = errno;
  });
  bool prompt = start.Finished();
  EXPECT_TRUE(prompt) << "StartListening waits for a server that does not accept";
  close(other);  // ends a probe stuck in connect
  start.Join();
  EXPECT_EQ(status, PR_FAILURE);
  EXPECT_EQ(error, EADDRINUSE);
  for (int fd : waiting) close(fd);
}

// The child of the close-on-exec test is this test program run again with the server's socket path in
// the environment. From a static initialiser, before any test, it looks at every descriptor it was born
// with and exits with its verdict: 1 for a socket of that server, 2 for an eventfd, 0 for neither.
constexpr const char* kInheritVariable = "ZRIPC_TEST_INHERIT_PATH";

bool IsSocketAt(int fd, const std::string& path) {
  sockaddr_un addr;
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sun_family != AF_UNIX)
    return false;
  return len > offsetof(sockaddr_un, sun_path) && path == addr.sun_path;
}

const bool kInheritChecked = [] {
  const char* path = getenv(kInheritVariable);
  if (path == nullptr) return false;
  int verdict = 0;
  for (const auto& d : OpenDescriptors()) {
    if (d.second.rfind("socket:", 0) == 0 && IsSocketAt(d.first, path)) verdict |= 1;
    if (d.second == "anon_inode:[eventfd]") verdict |= 2;
  }
  _exit(verdict);
}();

TEST_F(ServerTest, ChildProcessesInheritNoServerDescriptor) {
  ASSERT_FALSE(kInheritChecked);
  Record rec;
  IPCServer server("kv_exec", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  Peer a(Path("kv_exec"));
  Peer b(Path("kv_exec"));
  ASSERT_TRUE(a.connected && b.connected);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 2; }));
  const std::string path = Path("kv_exec");
  int serverSockets = 0;
  int anyServerSocket = -1;
  for (const auto& d : OpenDescriptors()) {
    if (IsSocketAt(d.first, path)) {
      ++serverSockets;
      anyServerSocket = d.first;
    }
  }
  ASSERT_EQ(serverSockets, 3) << "the listening socket and two accepted ones";

  auto runChild = [&]() -> int {
    std::string var = std::string(kInheritVariable) + "=" + path;
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(const_cast<char*>(var.c_str()));
    env.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t child = fork();
    if (child == 0) {
      execve(self, argv, env.data());
      _exit(127);
    }
    if (child < 0) return -1;
    auto until = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (Clock::now() > until) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -2;
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
  };
  // The check itself sees an inheritable copy of a server socket, and an inheritable eventfd.
  int copy = fcntl(anyServerSocket, F_DUPFD, 0);
  ASSERT_GE(copy, 0);
  EXPECT_EQ(runChild(), 1);
  close(copy);
  int event = eventfd(0, 0);
  ASSERT_GE(event, 0);
  EXPECT_EQ(runChild(), 2);
  close(event);
  EXPECT_EQ(runChild(), 0) << "a server descriptor is not close-on-exec";
}

}  // namespace
