// Channels between threads and processes: runtime directory rules, framing, bad peers, the service end
// and the reference counting of handles.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "IPCChannel.h"
#include "IPCChannelInternal.h"
#include "IPCCommandThread.h"
#include "IPCMessage.h"
#include "IPCServer.h"
#include "RecordingChannelListener.h"
#include "TestRuntimeDir.h"

namespace {

using zr::ipc::IPCServer;
using zr::ipc::IPCServerListener;
using zr::ipc::ServerConnection;
using zr::test::ChannelRecord;
using zr::test::Descriptors;
using zr::test::DescriptorsOfAStartedProgram;
using zr::test::Leading;
using zr::test::RecordingChannelListener;

// Records what a server reports; optionally echoes every message back.
class ServerRecord : public IPCServerListener {
 public:
  explicit ServerRecord(bool echo = false) : mEcho(echo) {}
  void OnConnectionOpened(const std::shared_ptr<ServerConnection>& c) override {
    std::lock_guard<std::mutex> lock(mMutex);
    opened.push_back(c);
    mChanged.notify_all();
  }
  void OnMessage(const std::shared_ptr<ServerConnection>& c, IPCMessage* msg) override {
    if (mEcho) c->Send(msg);
    std::lock_guard<std::mutex> lock(mMutex);
    messages.push_back(std::to_string(c->Id()) + "|" + IPC_Serialize(msg));
    mChanged.notify_all();
  }
  void OnConnectionClosed(const std::shared_ptr<ServerConnection>& c, int error) override {
    std::lock_guard<std::mutex> lock(mMutex);
    closed.push_back({c->Id(), error});
    mChanged.notify_all();
  }
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, timeout, condition);
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mMutex);
    return messages;
  }

  std::vector<std::shared_ptr<ServerConnection>> opened;
  std::vector<std::string> messages;
  std::vector<std::pair<int, int>> closed;

 private:
  bool mEcho;
  std::mutex mMutex;
  std::condition_variable mChanged;
};

IPCMessage* Msg(std::initializer_list<std::pair<const char*, std::string>> fields) {
  IPCMessage* m = IPC_NewMessage();
  for (const auto& f : fields) IPC_MessageSetValue(m, f.first, f.second.c_str());
  return m;
}

bool WriteAndDestroy(IPCChannel* ch, IPCMessage* m) {
  PRStatus s = IPC_WriteMessage(ch, m);
  IPC_DestroyMessage(m);
  return s == PR_SUCCESS;
}

// A reader with a recording listener on an already-referenced channel.
struct Reader {
  std::shared_ptr<ChannelRecord> record = std::make_shared<ChannelRecord>();
  IPCCommandThread thread;
  explicit Reader(IPCChannel* ch) {
    thread.SetMessageListener(new RecordingChannelListener(record));
    thread.SetChannel(ch);
  }
};

class ChannelTest : public ::testing::Test {
 protected:
  void TearDown() override { IPC_SetMaxMessageSize(16u * 1024u * 1024u); }
  zr::test::TestRuntimeDir mDir;
};

TEST_F(ChannelTest, RuntimeDirectoryPathsAndNoService) {
  char buffer[200];
  ASSERT_EQ(IPC_GetRuntimeDirectory(buffer, sizeof buffer), PR_SUCCESS);
  EXPECT_EQ(std::string(buffer), mDir.Path());
  ASSERT_EQ(IPC_GetChannelPath("kv_abook", buffer, sizeof buffer), PR_SUCCESS);
  EXPECT_EQ(std::string(buffer), mDir.Path() + "/kv_abook");
  EXPECT_EQ(IPC_GetChannelPath("kv_abook", buffer, 5), PR_FAILURE);
  EXPECT_EQ(IPC_GetChannelPath(std::string(150, 'n').c_str(), buffer, sizeof buffer), PR_FAILURE);

  IPC_SetRuntimeDirectory(nullptr);
  ASSERT_EQ(IPC_GetRuntimeDirectory(buffer, sizeof buffer), PR_SUCCESS);
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  std::string expected = xdg != nullptr && xdg[0] == '/' ? std::string(xdg) + "/zorlin"
                                                         : "/tmp/zorlin-" + std::to_string(geteuid());
  EXPECT_EQ(std::string(buffer), expected);
  IPC_SetRuntimeDirectory(mDir.Path().c_str());

  // No service, or a name that is no channel name: no channel.
  EXPECT_EQ(IPC_OpenChannel("kv_none"), nullptr);
  EXPECT_EQ(IPC_Connect("kv_none"), nullptr);
  EXPECT_EQ(IPC_OpenChannel(""), nullptr);
  EXPECT_EQ(IPC_OpenChannel("../kv_none"), nullptr);
  EXPECT_EQ(IPC_OpenChannel(std::string(150, 'n').c_str()), nullptr);
  EXPECT_EQ(IPC_WriteMessage(nullptr, nullptr), PR_FAILURE);
  IPC_ChannelAddRef(nullptr);
  IPC_ChannelRelease(nullptr);
  IPC_CloseChannel(nullptr);
}

TEST_F(ChannelTest, ServerMakesItsDirectoryAndSocketPrivateAndReplacesStaleSockets) {
  std::string sub = mDir.Path() + "/run";
  IPC_SetRuntimeDirectory(sub.c_str());
  ServerRecord rec;
  {
    IPCServer server("kv_test", &rec);
    ASSERT_EQ(server.StartListening(), PR_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((sub + "/kv_test").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A second server on a live name is refused.
    IPCServer second("kv_test", &rec);
    EXPECT_EQ(second.StartListening(), PR_FAILURE);
    EXPECT_EQ(errno, EADDRINUSE);
    server.StopListening();
    EXPECT_FALSE(server.IsListening());
    EXPECT_NE(access((sub + "/kv_test").c_str(), F_OK), 0);
    EXPECT_EQ(IPC_Connect("kv_test"), nullptr);
    ASSERT_EQ(server.StartListening(), PR_SUCCESS);
    IPCChannel* probe = IPC_Connect("kv_test");
    EXPECT_NE(probe, nullptr);
    IPC_CloseChannel(probe);
  }
  // A socket file left behind by a dead server (bound, never closed cleanly) is replaced.
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = sub + "/kv_stale";
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(stale);
  IPCServer server("kv_stale", &rec);
  EXPECT_EQ(server.StartListening(), PR_SUCCESS);
  IPCChannel* ch = IPC_OpenChannel("kv_stale");
  EXPECT_NE(ch, nullptr);
  IPC_CloseChannel(ch);
  IPC_SetRuntimeDirectory(mDir.Path().c_str());
}

TEST_F(ChannelTest, DirectoryWritableByOthersOrOfAnotherUserIsRefused) {
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  for (mode_t mode : {0777, 0770, 0720, 0702}) {
    ASSERT_EQ(chmod(mDir.Path().c_str(), mode), 0);
    EXPECT_EQ(IPC_OpenChannel("kv_test"), nullptr) << std::oct << mode;
    EXPECT_EQ(IPC_Connect("kv_test"), nullptr) << std::oct << mode;
  }
  ASSERT_EQ(chmod(mDir.Path().c_str(), 0755), 0);
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  EXPECT_NE(ch, nullptr);
  IPC_CloseChannel(ch);
  ASSERT_EQ(chmod(mDir.Path().c_str(), 0700), 0);
  // A server refuses it as well.
  ASSERT_EQ(chmod(mDir.Path().c_str(), 0777), 0);
  IPCServer other("kv_other", &rec);
  EXPECT_EQ(other.StartListening(), PR_FAILURE);
  ASSERT_EQ(chmod(mDir.Path().c_str(), 0700), 0);
  // So is a directory of another user (only root can give one away).
  if (geteuid() == 0) {
    ASSERT_EQ(chown(mDir.Path().c_str(), 65534, 65534), 0);
    EXPECT_EQ(IPC_OpenChannel("kv_test"), nullptr);
    EXPECT_EQ(IPC_Connect("kv_test"), nullptr);
    ASSERT_EQ(chown(mDir.Path().c_str(), 0, 0), 0);
  }
}

TEST_F(ChannelTest, PeerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as another user";
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  // Let the other user reach the socket, so that only the server's own check stands in the way.
  ASSERT_EQ(chmod(mDir.Path().c_str(), 0711), 0);
  ASSERT_EQ(chmod(mDir.ChannelPath("kv_test").c_str(), 0666), 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, mDir.ChannelPath("kv_test").c_str());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe calls here: the parent has threads.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(11);
    const char frame[] = "\0\0\0\x03@0;";
    if (send(fd, frame, 7, MSG_NOSIGNAL) != 7) _exit(0);  // already turned away
    char b;
    // The server closes at once: end of stream (or a reset), never data.
    ssize_t n = recv(fd, &b, 1, 0);
    _exit(n <= 0 ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rec.WaitFor([&] { return server.RefusedCount() == 1; }));
  EXPECT_TRUE(rec.opened.empty());
  EXPECT_TRUE(rec.Messages().empty());
  chmod(mDir.Path().c_str(), 0700);
}

TEST_F(ChannelTest, WritersOnManyThreadsNeverInterleave) {
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  const int threads = 4;
  const int perThread = 400;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([ch, t] {
      for (int i = 0; i < perThread; ++i) {
        // Sizes up to well past a socket buffer, so partial writes happen.
        std::string body(static_cast<size_t>((i * 7919 + t * 104729) % 300000), static_cast<char>('a' + t));
        IPCMessage* m = Msg({{"t", std::to_string(t)}, {"i", std::to_string(i)}, {"body", body}});
        EXPECT_EQ(IPC_WriteMessage(ch, m), PR_SUCCESS);
        IPC_DestroyMessage(m);
      }
    });
  }
  for (auto& w : writers) w.join();
  ASSERT_TRUE(rec.WaitFor([&] { return rec.messages.size() == threads * perThread; }));
  std::vector<int> next(threads, 0);
  for (const std::string& text : rec.Messages()) {
    IPCMessage* m = IPC_NewMessage();
    ASSERT_EQ(IPC_Deserialize(m, text.substr(2).c_str()), PR_SUCCESS);
    int t = std::stoi(IPC_MessageGetValue(m, "t"));
    int i = std::stoi(IPC_MessageGetValue(m, "i"));
    EXPECT_EQ(i, next[t]++);
    std::string body = IPC_MessageGetValue(m, "body");
    EXPECT_EQ(body.size(), static_cast<size_t>((i * 7919 + t * 104729) % 300000));
    EXPECT_EQ(body.find_first_not_of(static_cast<char>('a' + t)), std::string::npos);
    IPC_DestroyMessage(m);
  }
  // And a frame far larger than the reader's first buffer comes back whole, on the reader thread.
  Reader reader(ch);
  IPCMessage* back = Msg({{"zr_cookie", "1"}, {"big", std::string(300000, 'b')}});
  ASSERT_EQ(rec.opened[0]->Send(back), PR_SUCCESS);
  ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->MessageCount() == 1; }));
  EXPECT_EQ(reader.record->messages[0], IPC_Serialize(back));
  EXPECT_EQ(reader.record->threads.count(std::this_thread::get_id()), 0u);
  IPC_DestroyMessage(back);
  reader.thread.SetChannel(nullptr);
  IPC_ChannelRelease(ch);
}

TEST_F(ChannelTest, MaximumFrameSizeHoldsOnSendAndReceive) {
  IPC_SetMaxMessageSize(64 * 1024);
  EXPECT_EQ(IPC_GetMaxMessageSize(), 64u * 1024u);
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  EXPECT_FALSE(WriteAndDestroy(ch, Msg({{"v", std::string(64 * 1024, 'x')}})));
  // Nothing went out, so the channel still works.
  EXPECT_TRUE(WriteAndDestroy(ch, Msg({{"v", std::string(60 * 1024, 'x')}})));
  ASSERT_TRUE(rec.WaitFor([&] { return rec.messages.size() == 1; }));
  IPCMessage* big = Msg({{"v", std::string(70 * 1024, 'y')}});
  EXPECT_EQ(rec.opened[0]->Send(big), PR_FAILURE);
  // A peer with a larger limit sends it anyway, after a small one (no reader yet, so both frames wait in
  // the socket): the reader reports the small one, then fails the channel instead of taking the big one.
  IPCMessage* small = Msg({{"small", "1"}});
  EXPECT_EQ(rec.opened[0]->Send(small), PR_SUCCESS);
  IPC_DestroyMessage(small);
  IPC_SetMaxMessageSize(1024 * 1024);
  EXPECT_EQ(rec.opened[0]->Send(big), PR_SUCCESS);
  IPC_SetMaxMessageSize(64 * 1024);
  IPC_DestroyMessage(big);
  {
    Reader reader(ch);
    ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->GoneCount() == 1; }));
    // The failed channel is ended for writers and for the service too; it is reported once.
    EXPECT_FALSE(WriteAndDestroy(ch, Msg({{"a", "b"}})));
    EXPECT_TRUE(rec.WaitFor([&] { return rec.closed.size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(reader.record->Events(),
              (std::vector<std::string>{"message", "failed:" + std::to_string(EMSGSIZE)}));
    reader.thread.SetChannel(nullptr);
  }
  IPC_ChannelRelease(ch);
}

// A hand-made service end that writes raw bytes.
class RawService {
 public:
  explicit RawService(const std::string& path) {
    mListen = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    EXPECT_EQ(bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(mListen, 4), 0);
  }
  ~RawService() {
    if (mConn >= 0) close(mConn);
    close(mListen);
  }
  void Accept() { mConn = accept(mListen, nullptr, nullptr); }
  void Write(const std::string& bytes) {
    EXPECT_EQ(send(mConn, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  ssize_t Read(char* buffer, size_t size) { return read(mConn, buffer, size); }
  void Close() {
    close(mConn);
    mConn = -1;
  }

 private:
  int mListen = -1;
  int mConn = -1;
};

std::string Frame(const std::string& payload) {
  uint32_t n = static_cast<uint32_t>(payload.size());
  std::string h = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                   static_cast<char>(n)};
  return h + payload;
}

struct BadPeerCase {
  const char* what;
  std::string bytes;
  std::vector<std::string> events;  // after the raw end closes
};

TEST_F(ChannelTest, SeveralMessagesInOneWriteArriveInOrderAndCountWhatWentOut) {
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  IPC_SetMaxMessageSize(64 * 1024);
  IPCMessage* msgs[5] = {Msg({{"n", "1"}}), Msg({{"n", "2"}}), Msg({{"n", std::string(65 * 1024, 'x')}}),
                         Msg({{"n", "4"}}), nullptr};
  int written = -1;
  EXPECT_EQ(IPC_WriteMessages(ch, msgs, 2, &written), PR_SUCCESS);
  EXPECT_EQ(written, 2);
  // An oversized message stops the write before it; the ones ahead of it go out, none after it.
  errno = 0;
  EXPECT_EQ(IPC_WriteMessages(ch, msgs + 1, 3, &written), PR_FAILURE);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(IPC_WriteMessages(ch, msgs + 3, 2, &written), PR_FAILURE);  // a null message
  EXPECT_EQ(written, 1);
  EXPECT_EQ(IPC_WriteMessages(ch, msgs, 0, nullptr), PR_SUCCESS);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.messages.size() == 4; }));
  std::vector<std::string> expected;
  for (int i : {0, 1, 1, 3}) expected.push_back("1|" + std::string(IPC_Serialize(msgs[i])));
  EXPECT_EQ(rec.Messages(), expected);
  for (IPCMessage* m : msgs) IPC_DestroyMessage(m);
  IPC_ChannelRelease(ch);
}

TEST_F(ChannelTest, AWriteOfSeveralCutShortCountsOnlyTheFramesSentWhole) {
  RawService raw(mDir.ChannelPath("kv_raw"));
  IPCChannel* ch = IPC_OpenChannel("kv_raw");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  raw.Accept();
  // Far more than the socket holds: the writer blocks until the service has read two frames and gone.
  const int kCount = 8;
  const size_t kValue = 512 * 1024;
  IPCMessage* msgs[kCount];
  for (int i = 0; i < kCount; ++i) msgs[i] = Msg({{"n", std::string(kValue, static_cast<char>('a' + i))}});
  const size_t frame = 4 + strlen(IPC_Serialize(msgs[0]));
  std::atomic<int> written{-1};
  std::atomic<int> error{0};
  std::thread writer([&] {
    int n = -1;
    if (IPC_WriteMessages(ch, msgs, kCount, &n) != PR_SUCCESS) error = errno;
    written = n;
  });
  std::string got;
  std::vector<char> buffer(64 * 1024);
  while (got.size() < 2 * frame) {
    ssize_t n = raw.Read(buffer.data(), std::min(buffer.size(), 2 * frame - got.size()));
    ASSERT_GT(n, 0);
    got.append(buffer.data(), static_cast<size_t>(n));
  }
  raw.Close();
  writer.join();
  EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
  EXPECT_GE(written, 2);
  EXPECT_LT(written, kCount);
  EXPECT_EQ(got.substr(4, frame - 4), IPC_Serialize(msgs[0]));
  EXPECT_EQ(got.substr(frame + 4), IPC_Serialize(msgs[1]));
  for (IPCMessage* m : msgs) IPC_DestroyMessage(m);
  IPC_ChannelRelease(ch);
}

// A send that must not wait sends a whole frame or nothing: against a service that reads nothing it
// succeeds until the socket is full, then answers EAGAIN at once, and what the service reads afterwards is
// exactly the frames that succeeded, in step. Frames above 16 KiB or the maximum size never go this way.
TEST_F(ChannelTest, ASendThatMustNotWaitSendsWholeFramesOrNothing) {
  RawService raw(mDir.ChannelPath("kv_raw"));
  IPCChannel* ch = IPC_OpenChannel("kv_raw");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  raw.Accept();
  const std::string big(20 * 1024, 'b');
  errno = 0;
  EXPECT_EQ(IPC_TryWriteSerialized(ch, big.data(), big.size()), PR_FAILURE);
  EXPECT_EQ(errno, EAGAIN);
  IPC_SetMaxMessageSize(100);
  const std::string mid(200, 'm');
  errno = 0;
  EXPECT_EQ(IPC_TryWriteSerialized(ch, mid.data(), mid.size()), PR_FAILURE);
  EXPECT_EQ(errno, EAGAIN);
  IPC_SetMaxMessageSize(16u * 1024u * 1024u);
  // Frames of growing, odd sizes until the socket refuses one.
  std::vector<std::string> sent;
  for (int i = 0; i < 100000; ++i) {
    std::string text(static_cast<size_t>(1000 + (i * 37) % 9000), static_cast<char>('a' + i % 26));
    errno = 0;
    if (IPC_TryWriteSerialized(ch, text.data(), text.size()) != PR_SUCCESS) {
      EXPECT_EQ(errno, EAGAIN);
      break;
    }
    sent.push_back(text);
  }
  ASSERT_FALSE(sent.empty());
  ASSERT_LT(sent.size(), 100000u) << "the socket never filled";
  std::string expected;
  for (const std::string& t : sent) expected += Frame(t);
  std::string got;
  std::vector<char> buffer(64 * 1024);
  while (got.size() < expected.size()) {
    ssize_t n = raw.Read(buffer.data(), std::min(buffer.size(), expected.size() - got.size()));
    ASSERT_GT(n, 0);
    got.append(buffer.data(), static_cast<size_t>(n));
  }
  EXPECT_TRUE(got == expected) << "the stream is out of step after " << sent.size() << " frames";
  // With room again the next frame goes out whole.
  EXPECT_EQ(IPC_TryWriteSerialized(ch, "x", 1), PR_SUCCESS);
  char tail[5];
  ASSERT_EQ(raw.Read(tail, sizeof tail), 5);
  EXPECT_EQ(std::string(tail, 5), Frame("x"));
  IPC_ChannelRelease(ch);
}

TEST_F(ChannelTest, BadFramesFailTheChannelWithoutCrashOrHang) {
  const std::string ok = Frame("@1;1:a1:b");
  std::vector<BadPeerCase> cases = {
      {"orderly end", ok, {"message", "closed"}},
      {"end inside the header", ok + std::string("\0\0", 2), {"message", "failed:" + std::to_string(EPROTO)}},
      {"end inside the payload",
       ok + Frame("@1;1:a1:b").substr(0, 9),
       {"message", "failed:" + std::to_string(EPROTO)}},
      {"lying length",
       ok + std::string("\x00\xff\xff\xff", 4) + "@1;",
       {"message", "failed:" + std::to_string(EPROTO)}},
      {"length beyond the maximum",
       ok + std::string("\xff\xff\xff\xff", 4) + ok,
       {"message", "failed:" + std::to_string(EMSGSIZE)}},
      {"malformed payload", ok + Frame("@2;1:a1:b") + ok, {"message", "failed:" + std::to_string(EBADMSG)}},
      {"NUL in payload", Frame(std::string("@1;1:a1:\0", 9)), {"failed:" + std::to_string(EBADMSG)}},
      {"empty payload", Frame(""), {"failed:" + std::to_string(EBADMSG)}},
  };
  for (const BadPeerCase& c : cases) {
    SCOPED_TRACE(c.what);
    RawService raw(mDir.ChannelPath("kv_raw"));
    IPCChannel* ch = IPC_OpenChannel("kv_raw");
    ASSERT_NE(ch, nullptr);
    IPC_ChannelAddRef(ch);
    raw.Accept();
    {
      Reader reader(ch);
      raw.Write(c.bytes);
      // The lying length must not be reported before the peer goes: the reader just waits for bytes.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      raw.Close();
      ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->GoneCount() > 0; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_EQ(reader.record->Events(), c.events);
    }
    IPC_ChannelRelease(ch);
    unlink(mDir.ChannelPath("kv_raw").c_str());
  }
}

TEST_F(ChannelTest, ServerDropsABadClientAndKeepsServingOthers) {
  ServerRecord rec(/*echo=*/true);
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  IPCChannel* good = IPC_OpenChannel("kv_test");
  ASSERT_NE(good, nullptr);
  IPC_ChannelAddRef(good);
  Reader reader(good);

  struct Bad {
    std::string bytes;
    bool closeAfter;
    int error;
  };
  std::vector<Bad> bads = {{std::string("\xff\xff\xff\xff", 4), false, EMSGSIZE},
                           {Frame("garbage"), false, EBADMSG},
                           {Frame("@1;1:a1:b").substr(0, 7), true, EPROTO}};
  for (size_t i = 0; i < bads.size(); ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, mDir.ChannelPath("kv_test").c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(send(fd, bads[i].bytes.data(), bads[i].bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bads[i].bytes.size()));
    if (bads[i].closeAfter) close(fd);
    ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == i + 1; }));
    EXPECT_EQ(rec.closed[i].second, bads[i].error);
    if (!bads[i].closeAfter) {
      char b;
      EXPECT_EQ(recv(fd, &b, 1, 0), 0);  // the server hung up
      close(fd);
    }
  }
  ASSERT_TRUE(WriteAndDestroy(good, Msg({{"still", "here"}})));
  ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->messages.size() == 1; }));
  EXPECT_EQ(reader.record->messages[0], "@1;5:still4:here");
  reader.thread.SetChannel(nullptr);
  IPC_ChannelRelease(good);
}

TEST_F(ChannelTest, CloseFromEitherEnd) {
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  // The service closes: the reader reports an orderly close, writes fail afterwards.
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  {
    Reader reader(ch);
    ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 1; }));
    rec.opened[0]->Close();
    ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->GoneCount() == 1; }));
    EXPECT_EQ(reader.record->Events(), std::vector<std::string>{"closed"});
    ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == 1; }));
    EXPECT_EQ(rec.closed[0].second, 0);
    EXPECT_FALSE(rec.opened[0]->IsOpen());
    IPCMessage* m = Msg({{"a", "b"}});
    EXPECT_EQ(rec.opened[0]->Send(m), PR_FAILURE);
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) failed = IPC_WriteMessage(ch, m) != PR_SUCCESS;
    EXPECT_TRUE(failed);
    IPC_DestroyMessage(m);
  }
  IPC_ChannelRelease(ch);
  // The client closes a taken handle at once: its reader sees the end, and the service too.
  ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  {
    Reader reader(ch);
    IPC_CloseChannel(ch);
    ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->GoneCount() == 1; }));
    ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == 2; }));
    EXPECT_FALSE(WriteAndDestroy(ch, Msg({{"a", "b"}})));
  }
  IPC_ChannelRelease(ch);
  // CloseAllConnections and Shutdown report every close.
  IPCChannel* a = IPC_OpenChannel("kv_test");
  IPCChannel* b = IPC_OpenChannel("kv_test");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 4; }));
  EXPECT_EQ(server.Connections().size(), 2u);
  server.CloseAllConnections();
  ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == 4; }));
  EXPECT_TRUE(server.Connections().empty());
  IPC_CloseChannel(a);
  IPC_CloseChannel(b);
  IPCChannel* c = IPC_OpenChannel("kv_test");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 5; }));
  server.Shutdown();
  EXPECT_EQ(rec.closed.size(), 5u);
  EXPECT_EQ(rec.opened[4]->Id(), 5);
  server.Shutdown();
  IPC_CloseChannel(c);
  EXPECT_EQ(IPC_OpenChannel("kv_test"), nullptr);
}

TEST_F(ChannelTest, ServerMayBeControlledFromInsideItsOwnReports) {
  // A service that stops listening at its first connection and closes it at its first message.
  class OneShot : public ServerRecord {
   public:
    IPCServer* server = nullptr;
    void OnConnectionOpened(const std::shared_ptr<ServerConnection>& c) override {
      server->StopListening();
      ServerRecord::OnConnectionOpened(c);
    }
    void OnMessage(const std::shared_ptr<ServerConnection>& c, IPCMessage* msg) override {
      ServerRecord::OnMessage(c, msg);
      server->CloseAllConnections();
      EXPECT_EQ(server->StartListening(), PR_SUCCESS);
    }
  } rec;
  IPCServer server("kv_test", &rec);
  rec.server = &server;
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  EXPECT_TRUE(server.IsListening());
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 1; }));
  EXPECT_FALSE(server.IsListening());
  EXPECT_EQ(IPC_Connect("kv_test"), nullptr);
  // Two frames in one write reach the server in one read: the second, already received when the first
  // closes the connection, is not reported.
  std::string two = Frame("@1;1:a1:b") + Frame("@1;1:c1:d");
  ASSERT_EQ(send(zr::ipc::ChannelSocket(ch), two.data(), two.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(two.size()));
  ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == 1; }));
  EXPECT_EQ(rec.Messages(), std::vector<std::string>{"1|@1;1:a1:b"});
  EXPECT_TRUE(server.IsListening());
  IPCChannel* again = IPC_Connect("kv_test");
  EXPECT_NE(again, nullptr);
  IPC_CloseChannel(again);
  IPC_CloseChannel(ch);
}

TEST_F(ChannelTest, ClientFramePatternNeitherLeaksNorFreesTwice) {
  // Run under LeakSanitizer (ASan build): a handle left behind is reported as a leak, one freed twice
  // as a double free. The service's close reports show each socket was really closed.
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  IPCCommandThread reader;
  auto record = std::make_shared<ChannelRecord>();
  reader.SetMessageListener(new RecordingChannelListener(record));
  size_t closes = 0;
  for (int round = 0; round < 20; ++round) {
    // Open, one AddRef, the reader's own reference, one Release at close.
    IPCChannel* ch = IPC_OpenChannel("kv_test");
    ASSERT_NE(ch, nullptr);
    IPC_ChannelAddRef(ch);
    reader.SetChannel(ch);
    ASSERT_TRUE(WriteAndDestroy(ch, Msg({{"round", std::to_string(round)}})));
    if (round % 2 == 0) {
      IPC_ChannelRelease(ch);
      reader.SetChannel(nullptr);
    } else {
      reader.SetChannel(nullptr);
      IPC_ChannelRelease(ch);
    }
    ++closes;
    ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == closes; })) << round;
  }
  // The probe: IPC_Connect then IPC_CloseChannel, nobody takes the handle.
  IPCChannel* probe = IPC_Connect("kv_test");
  ASSERT_NE(probe, nullptr);
  IPC_CloseChannel(probe);
  ++closes;
  ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == closes; }));
  // An opened handle nobody took, closed.
  IPC_CloseChannel(IPC_OpenChannel("kv_test"));
  ++closes;
  ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == closes; }));
  // A taken handle closed at once, then released.
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  IPC_ChannelAddRef(ch);
  IPC_CloseChannel(ch);
  ++closes;
  ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == closes; }));
  IPC_ChannelRelease(ch);
  // Destruction with a channel still set: Shutdown gives the reader's reference back.
  ch = IPC_OpenChannel("kv_test");
  IPC_ChannelAddRef(ch);
  {
    IPCCommandThread another;
    another.SetChannel(ch);
    IPC_ChannelRelease(ch);
  }
  ++closes;
  ASSERT_TRUE(rec.WaitFor([&] { return rec.closed.size() == closes; }));
  reader.Shutdown();
  EXPECT_EQ(record->Releases(), 1);
  EXPECT_EQ(record->GoneCount(), 0);
}

// Nothing a client opens is inherited by the programs the application starts: a channel's socket, a
// probe's, and the wake-up of the channel's reader all close on exec.
TEST_F(ChannelTest, AChildProgramInheritsNoChannel) {
  ServerRecord rec;
  IPCServer server("kv_test", &rec);
  ASSERT_EQ(server.StartListening(), PR_SUCCESS);
  IPCChannel* ch = IPC_OpenChannel("kv_test");
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  Reader reader(ch);
  IPCChannel* probe = IPC_Connect("kv_test");
  ASSERT_NE(probe, nullptr);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.opened.size() == 2; }));

  std::optional<Descriptors> listing = DescriptorsOfAStartedProgram();
  ASSERT_TRUE(listing.has_value()) << "the listing program did not run";
  const Descriptors pipes = Leading(*listing, "pipe:");
  ASSERT_TRUE(std::any_of(pipes.begin(), pipes.end(), [](const auto& d) { return d.first == 1; }))
      << "the listing itself is right";
  for (const auto& [fd, target] : *listing) {
    if (fd <= 2) continue;  // the standard descriptors are the test runner's
    EXPECT_EQ(target.find("socket:"), std::string::npos) << fd << " " << target;
    EXPECT_EQ(target.find("eventfd"), std::string::npos) << fd << " " << target;
  }
  IPC_CloseChannel(probe);
  reader.thread.Shutdown();
  IPC_ChannelRelease(ch);
}

// The service of the cross-process test is this test program run again (fork, then exec, so the child
// starts with one thread even under ThreadSanitizer) with the runtime directory in the environment. It
// serves from a static initialiser, before any test, and ends the process with its verdict: 0 once a
// client has sent 100 messages and gone.
constexpr const char* kServiceDirVariable = "ZRIPC_TEST_SERVICE_DIR";

const bool kServiceRan = [] {
  const char* dir = getenv(kServiceDirVariable);
  if (dir == nullptr) return false;
  IPC_SetRuntimeDirectory(dir);
  ServerRecord rec(/*echo=*/true);
  IPCServer server("kv_child", &rec);
  int code = 20;
  if (server.StartListening() == PR_SUCCESS) {
    bool served = rec.WaitFor([&] { return !rec.closed.empty(); }, std::chrono::seconds(30));
    server.Shutdown();
    code = served && rec.messages.size() == 100 ? 0 : 21;
  }
  fflush(nullptr);
  _exit(code);
}();

TEST_F(ChannelTest, BetweenProcesses) {
  ASSERT_FALSE(kServiceRan);
  std::string dirEnv = std::string(kServiceDirVariable) + "=" + mDir.Path();
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back(const_cast<char*>(dirEnv.c_str()));
  env.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t child = fork();
  if (child == 0) {
    execve(self, argv, env.data());
    _exit(127);
  }
  ASSERT_GT(child, 0);
  IPCChannel* ch = nullptr;
  for (int i = 0; i < 1000 && ch == nullptr; ++i) {
    ch = IPC_OpenChannel("kv_child");
    if (ch == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(ch, nullptr);
  IPC_ChannelAddRef(ch);
  {
    Reader reader(ch);
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(WriteAndDestroy(ch, Msg({{"i", std::to_string(i)}, {"pad", std::string(i * 100, 'p')}})));
    }
    ASSERT_TRUE(reader.record->WaitFor([&] { return reader.record->messages.size() == 100; }));
    for (int i = 0; i < 100; ++i) {
      IPCMessage* m = IPC_NewMessage();
      ASSERT_EQ(IPC_Deserialize(m, reader.record->messages[i].c_str()), PR_SUCCESS);
      EXPECT_EQ(std::string(IPC_MessageGetValue(m, "i")), std::to_string(i));
      IPC_DestroyMessage(m);
    }
    reader.thread.SetChannel(nullptr);
  }
  IPC_ChannelRelease(ch);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
