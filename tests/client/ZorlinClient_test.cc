#include "ZorlinClient.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CountingListeners.h"
#include "FakeService.h"
#include "IPCChannel.h"
#include "Platform.h"
#include "TestRuntimeDir.h"
#include "UILoop.h"
#include "UIPump.h"
#include "ZorlinClientRef.h"

namespace {

using zr::test::CountingProgressListener;
using zr::test::CountingResultListener;
using zr::test::FakeService;
using zr::test::Fields;
using zr::test::ListenerRecord;
using zr::test::NotReleased;
using zr::test::PumpUntil;
using zr::test::ReceivedMessage;
using zr::test::ReleasedOnceOnUIThread;
using zr::test::Responder;
using Record = std::shared_ptr<ListenerRecord>;

const char kFailed[] = "OnFailure(zorlinClient.writeMessageFailed)";

// What the client's own callbacks saw, in order; "!" marks a call off the UI thread.
std::vector<std::string> gEvents;
std::function<void()> gOnDisconnect;

std::string Tag(IPCMessage* msg) {
  const char* tag = IPC_MessageGetValue(msg, "tag");
  return tag ? tag : "-";
}

class TestClient : public ZorlinClient {
 public:
  TestClient() : ZorlinClient("kv_test") {}
  using ZorlinClient::WriteMessage;

  void Write(Fields fields, ZorlinMessageListener* reply, ResultListener* result,
             ProgressListener* progress) {
    IPCMessage* msg = zr::test::NewMessage(fields);
    WriteMessage(msg, reply, result, progress);
    IPC_DestroyMessage(msg);
  }

 protected:
  void OnMessage(IPCMessage* msg) override { Log("OnMessage(" + Tag(msg) + ")"); }
  void OnConnect() override { Log("OnConnect"); }
  void OnDisconnect() override {
    Log("OnDisconnect");
    if (gOnDisconnect) gOnDisconnect();
  }

 private:
  friend class ZorlinClientRef<TestClient>;
  static TestClient* theInstance;
  static void Log(const std::string& event) {
    gEvents.push_back(zr::UILoop::IsUIThread() ? event : "!" + event);
  }
};

TestClient* TestClient::theInstance = nullptr;

class CountingReply : public zr::test::Counting<ZorlinMessageListener> {
 public:
  void OnMessage(IPCMessage* msg) override { Record("OnMessage(" + Tag(msg) + ")"); }
};

std::vector<long> gWindows;
void RecordWindow(long window) { gWindows.push_back(window); }

template <typename L>
L* Make(Record* record) {
  L* listener = new L;
  *record = listener->record();
  return listener;
}

bool AllReleased(const std::vector<Record>& records) {
  for (const Record& r : records)
    if (!r->Released()) return false;
  return true;
}

int CountEvents(const std::string& event) {
  int n = 0;
  for (const std::string& e : gEvents) n += e == event;
  return n;
}

class ZorlinClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gEvents.clear();
    gOnDisconnect = nullptr;
    gWindows.clear();
    zr::Platform::SetForegroundWindowHook(RecordWindow);
  }
  void TearDown() override {
    ZorlinClient::SetClientName(nullptr);
    zr::Platform::SetForegroundWindowHook(nullptr);
    IPC_SetMaxMessageSize(16u * 1024u * 1024u);
    zr::test::PumpPending();
  }
  zr::test::TestRuntimeDir mDir;
};

TEST_F(ZorlinClientTest, CookiesCountFromOneForRequestsWithAReplyOrProgressListener) {
  FakeService service("kv_test");
  std::unique_ptr<TestClient> client(new TestClient);
  Record reply1, result2, progress3, reply4, progress4;

  IPCMessage* msg = zr::test::NewMessage({{"zr_command", "one"}});
  client->WriteMessage(msg, Make<CountingReply>(&reply1), nullptr, nullptr);
  EXPECT_STREQ("1", IPC_MessageGetValue(msg, "zr_cookie"));  // set on the caller's own message
  IPC_DestroyMessage(msg);
  client->Write({{"zr_command", "two"}}, nullptr, Make<CountingResultListener>(&result2), nullptr);
  client->Write({{"zr_command", "three"}}, nullptr, nullptr, Make<CountingProgressListener>(&progress3));
  client->Write({{"zr_command", "four"}}, Make<CountingReply>(&reply4), nullptr,
                Make<CountingProgressListener>(&progress4));
  client->Write({{"zr_command", "five"}}, nullptr, nullptr, nullptr);

  ASSERT_TRUE(service.WaitForMessages(5));
  std::vector<ReceivedMessage> got = service.Messages();
  ASSERT_EQ(5u, got.size());
  EXPECT_EQ("one", got[0].Command());
  EXPECT_EQ("1", got[0].Value("zr_cookie"));
  EXPECT_EQ("two", got[1].Command());
  EXPECT_FALSE(got[1].Has("zr_cookie"));
  EXPECT_EQ("2", got[2].Value("zr_cookie"));
  EXPECT_EQ("3", got[3].Value("zr_cookie"));  // one cookie shared by reply and progress
  EXPECT_EQ("five", got[4].Command());
  EXPECT_FALSE(got[4].Has("zr_cookie"));
  for (const ReceivedMessage& m : got) EXPECT_EQ(1, m.Connection());

  ASSERT_TRUE(PumpUntil([&] { return result2->Released(); }));
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, result2->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*result2));
  for (const Record& r : {reply1, progress3, reply4, progress4}) EXPECT_TRUE(NotReleased(*r));

  // Nobody answered: destruction releases the waiting listeners, each once, without a call.
  client.reset();
  for (const Record& r : {reply1, progress3, reply4, progress4}) {
    EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
    EXPECT_EQ(0, r->CallCount());
  }
  EXPECT_EQ(std::vector<std::string>{"OnConnect"}, gEvents);
}

TEST_F(ZorlinClientTest, AFreshClientAfterTheLastReferenceCountsFromOneAgain) {
  FakeService service("kv_test");
  Record r1, r2, r3;
  {
    ZorlinClientRef<TestClient> ref;
    ref->Write({{"zr_command", "a"}}, Make<CountingReply>(&r1), nullptr, nullptr);
    ref->Write({{"zr_command", "b"}}, Make<CountingReply>(&r2), nullptr, nullptr);
    ASSERT_TRUE(service.WaitForCommand("b"));
  }
  EXPECT_TRUE(ReleasedOnceOnUIThread(*r1));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*r2));
  ASSERT_TRUE(service.WaitForOpenConnections(0));
  {
    ZorlinClientRef<TestClient> ref;
    ref->Write({{"zr_command", "c"}}, Make<CountingReply>(&r3), nullptr, nullptr);
    auto c = service.WaitForCommand("c");
    ASSERT_TRUE(c);
    EXPECT_EQ("1", c->Value("zr_cookie"));
    EXPECT_EQ(2, c->Connection());  // its own, new channel
  }
  EXPECT_TRUE(ReleasedOnceOnUIThread(*r3));
}

TEST_F(ZorlinClientTest, RepliesMatchTheirCookieAndEverythingElseReachesOnMessage) {
  FakeService service("kv_test");
  std::unique_ptr<TestClient> client(new TestClient);
  Record r1, r2, p3, r4;
  client->Write({{"zr_command", "ask"}}, Make<CountingReply>(&r1), nullptr, nullptr);
  client->Write({{"zr_command", "ask"}}, Make<CountingReply>(&r2), nullptr, nullptr);
  client->Write({{"zr_command", "ask"}}, nullptr, nullptr, Make<CountingProgressListener>(&p3));
  client->Write({{"zr_command", "ask"}}, Make<CountingReply>(&r4), nullptr, nullptr);
  ASSERT_TRUE(service.WaitForMessages(4));

  // Out of order, then again, then strangers.
  service.Send({{"zr_cookie", "2"}, {"tag", "second"}});
  service.Send({{"zr_cookie", "1"}, {"tag", "first"}});
  service.Send({{"zr_cookie", "1"}, {"tag", "first-again"}});
  service.Send({{"zr_cookie", "99"}, {"tag", "unknown-cookie"}});
  service.Send({{"zr_event", "something"}, {"tag", "event"}});
  // Progress: a method outside the table, a cookie with no progress entry (though a reply waits on it),
  // no method, no cookie.
  service.Send({{"zr_command", "zr_progress"},
                {"zr_cookie", "3"},
                {"zr_progress_method", "zr_progress_dance"},
                {"tag", "bad-method"}});
  service.Send({{"zr_command", "zr_progress"},
                {"zr_cookie", "4"},
                {"zr_progress_method", "zr_progress_success"},
                {"tag", "reply-cookie"}});
  service.Send({{"zr_command", "zr_progress"}, {"zr_cookie", "3"}, {"tag", "no-method"}});
  service.Send(
      {{"zr_command", "zr_progress"}, {"zr_progress_method", "zr_progress_success"}, {"tag", "no-cookie"}});
  service.Send({{"zr_cookie", "3"}, {"tag", "progress-only-cookie"}});

  std::vector<std::string> expected = {"OnConnect",
                                       "OnMessage(first-again)",
                                       "OnMessage(unknown-cookie)",
                                       "OnMessage(event)",
                                       "OnMessage(bad-method)",
                                       "OnMessage(reply-cookie)",
                                       "OnMessage(no-method)",
                                       "OnMessage(no-cookie)",
                                       "OnMessage(progress-only-cookie)"};
  ASSERT_TRUE(PumpUntil([&] { return gEvents.size() >= expected.size(); }));
  EXPECT_EQ(expected, gEvents);
  EXPECT_EQ(std::vector<std::string>{"OnMessage(first)"}, r1->Calls());
  EXPECT_EQ(std::vector<std::string>{"OnMessage(second)"}, r2->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*r1));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*r2));
  EXPECT_EQ(0, p3->CallCount());
  EXPECT_TRUE(NotReleased(*r4));
  EXPECT_EQ(0, r4->CallCount());

  client.reset();
  EXPECT_TRUE(ReleasedOnceOnUIThread(*r4));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*p3));
}

TEST_F(ZorlinClientTest, ProgressReportsCallTheListenerUntilReleased) {
  FakeService service("kv_test");
  std::unique_ptr<TestClient> client(new TestClient);
  Record reply, progress;
  client->Write({{"zr_command", "long"}}, Make<CountingReply>(&reply), nullptr,
                Make<CountingProgressListener>(&progress));
  ASSERT_TRUE(service.WaitForCommand("long"));
  auto report = [&](const char* method, const char* arg) {
    IPCMessage* msg = zr::test::NewMessage(
        {{"zr_command", "zr_progress"}, {"zr_cookie", "1"}, {"zr_progress_method", method}});
    if (arg) IPC_MessageSetValue(msg, "zr_progress_arg", arg);
    service.Send(msg);
    IPC_DestroyMessage(msg);
  };
  report("zr_progress_set_progress", "0.25");
  report("zr_progress_set_status_text", "copying");
  report("zr_progress_append_to_log", "a line");
  report("zr_progress_success", nullptr);
  report("zr_progress_failure", "progress.failed");
  report("zr_progress_set_progress", nullptr);
  report("zr_progress_release", nullptr);
  report("zr_progress_success", nullptr);  // the entry is gone: OnMessage
  service.Send({{"zr_cookie", "1"}, {"tag", "answer"}});

  ASSERT_TRUE(PumpUntil([&] { return reply->Released() && progress->Released(); }));
  std::vector<std::string> expected = {"SetProgress(0.25)",          "SetStatusText(copying)",
                                       "AppendToLog(a line)",        "OnSuccess",
                                       "OnFailure(progress.failed)", "SetProgress(0)"};
  EXPECT_EQ(expected, progress->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*progress));
  EXPECT_EQ(std::vector<std::string>{"OnMessage(answer)"}, reply->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*reply));
  EXPECT_EQ(1, CountEvents("OnMessage(-)"));
  client.reset();
  EXPECT_EQ(1, progress->Releases());
}

TEST_F(ZorlinClientTest, WindowRepliesBringTheServerWindowForward) {
  auto reply = [](const char* hwnd) {
    IPCMessage* msg = zr::test::NewMessage({{"zr_command", "x"}});
    if (hwnd) IPC_MessageSetValue(msg, "zr_hwnd", hwnd);
    ZorlinClient::HandleWindowReply(msg);
    IPC_DestroyMessage(msg);
  };
  reply("42");
  reply("0x1f");
  reply("010");
  reply("0");
  reply(nullptr);
  reply("junk");
  EXPECT_EQ((std::vector<long>{42, 31, 8}), gWindows);
  gWindows.clear();

  FakeService service("kv_test");
  service.OnCommand("zr_launch", [](const ReceivedMessage& request, Responder& r) {
    if (request.Value("zr_cookie") == "1") r.Reply(request, {{"zr_hwnd", "0x2A"}});
    if (request.Value("zr_cookie") == "2") r.Reply(request, {{"zr_hwnd", "0"}});
    if (request.Value("zr_cookie") == "3") r.Reply(request, {});
  });
  service.OnCommand("openWindow", [](const ReceivedMessage& request, Responder& r) {
    r.Reply(request, {{"zr_hwnd", "017"}});
  });
  std::unique_ptr<TestClient> client(new TestClient);
  Record launch1, launch2, launch3, open;
  client->Launch(Make<CountingResultListener>(&launch1));
  client->Launch(Make<CountingResultListener>(&launch2));
  client->Launch(Make<CountingResultListener>(&launch3));
  client->Write({{"zr_command", "openWindow"}}, new ZorlinWindowReplyListener,
                Make<CountingResultListener>(&open), nullptr);
  ASSERT_TRUE(PumpUntil([&] {
    return AllReleased({launch1, launch2, launch3, open}) && gWindows.size() >= 2;
  }));
  EXPECT_EQ((std::vector<long>{42, 15}), gWindows);
  for (const Record& r : {launch1, launch2, launch3, open}) {
    EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, r->Calls());
    EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
  }
  std::vector<ReceivedMessage> launches = service.MessagesWithCommand("zr_launch");
  ASSERT_EQ(3u, launches.size());
  EXPECT_EQ(2, launches[0].Count());  // "zr_command" and "zr_cookie", nothing else
  // Only a launch's window reply counts as an answer; the open-window request's result reports the write.
  EXPECT_EQ((std::vector<std::string>{"OnConnect"}), gEvents);
  client.reset();
}

TEST_F(ZorlinClientTest, ARequestWhileTheServiceIsDownFailsAndTheNextOneTriesAgain) {
  FakeService service("kv_test", /*listen=*/false);
  std::unique_ptr<TestClient> client(new TestClient);
  Record reply, result1, result2, result3;
  client->Write({{"zr_command", "a"}}, Make<CountingReply>(&reply), Make<CountingResultListener>(&result1),
                nullptr);
  client->Write({{"zr_command", "b"}}, nullptr, Make<CountingResultListener>(&result2), nullptr);
  ASSERT_TRUE(PumpUntil([&] { return result1->Released() && result2->Released(); }));
  EXPECT_EQ(std::vector<std::string>{kFailed}, result1->Calls());
  EXPECT_EQ(std::vector<std::string>{kFailed}, result2->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*result1));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*result2));
  EXPECT_TRUE(NotReleased(*reply));  // waits for a later close or the client's end
  EXPECT_TRUE(gEvents.empty());

  ASSERT_TRUE(service.StartListening());
  client->Write({{"zr_command", "c"}}, nullptr, Make<CountingResultListener>(&result3), nullptr);
  ASSERT_TRUE(PumpUntil([&] { return result3->Released(); }));
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, result3->Calls());
  EXPECT_EQ(std::vector<std::string>{"OnConnect"}, gEvents);
  ASSERT_TRUE(service.WaitForMessages(1));
  ASSERT_EQ(1, service.MessageCount());
  EXPECT_EQ("c", service.Messages()[0].Command());
  EXPECT_TRUE(NotReleased(*reply));
  client.reset();
  EXPECT_TRUE(ReleasedOnceOnUIThread(*reply));
  EXPECT_EQ(0, reply->CallCount());
}

TEST_F(ZorlinClientTest, ADroppedConnectionReleasesPendingRepliesAndTheNextRequestReconnects) {
  FakeService service("kv_test");
  ZorlinClient::SetClientName("first name");
  std::unique_ptr<TestClient> client(new TestClient);
  Record a, b, launch, progress, c;
  client->Write({{"zr_command", "a"}}, Make<CountingReply>(&a), nullptr, nullptr);
  client->Launch(Make<CountingResultListener>(&launch));
  client->Write({{"zr_command", "b"}}, Make<CountingReply>(&b), nullptr,
                Make<CountingProgressListener>(&progress));
  ASSERT_TRUE(service.WaitForCommand("b"));
  ASSERT_TRUE(PumpUntil([&] { return !gEvents.empty(); }));

  // Set while the channel is open: announced only on the next channel.
  ZorlinClient::SetClientName("second name");
  bool releasedBeforeDisconnect = false;
  gOnDisconnect = [&] { releasedBeforeDisconnect = AllReleased({a, b, launch}); };
  service.DropConnections();
  ASSERT_TRUE(PumpUntil([&] { return CountEvents("OnDisconnect") == 1; }));
  EXPECT_TRUE(releasedBeforeDisconnect);
  for (const Record& r : {a, b}) {
    EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
    EXPECT_EQ(0, r->CallCount());
  }
  EXPECT_EQ(std::vector<std::string>{kFailed}, launch->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*launch));
  EXPECT_TRUE(NotReleased(*progress));  // progress entries outlive the channel

  client->Write({{"zr_command", "c"}}, Make<CountingReply>(&c), nullptr, nullptr);
  auto cMsg = service.WaitForCommand("c");
  ASSERT_TRUE(cMsg);
  EXPECT_EQ("4", cMsg->Value("zr_cookie"));  // the counter carries on across channels
  ASSERT_TRUE(PumpUntil([&] { return CountEvents("OnConnect") == 2; }));
  EXPECT_EQ((std::vector<std::string>{"OnConnect", "OnDisconnect", "OnConnect"}), gEvents);

  std::vector<ReceivedMessage> got = service.Messages();
  ASSERT_EQ(6u, got.size());
  EXPECT_EQ("zr_setClientName", got[0].Command());
  EXPECT_EQ("first name", got[0].Value("zr_clientName"));
  EXPECT_EQ(1, got[0].Connection());
  EXPECT_EQ("a", got[1].Command());
  EXPECT_EQ("zr_launch", got[2].Command());
  EXPECT_EQ("b", got[3].Command());
  EXPECT_EQ("zr_setClientName", got[4].Command());
  EXPECT_EQ("second name", got[4].Value("zr_clientName"));
  EXPECT_EQ(2, got[4].Connection());
  EXPECT_EQ("c", got[5].Command());
  EXPECT_EQ(2, got[5].Connection());

  client.reset();
  EXPECT_TRUE(ReleasedOnceOnUIThread(*c));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*progress));
}

TEST_F(ZorlinClientTest, AFailedWriteIsRetriedOnceBehindLaterRequests) {
  FakeService service("kv_test");
  std::unique_ptr<TestClient> client(new TestClient);
  Record first, big, later1, later2, bigReply;
  client->Write({{"zr_command", "first"}}, nullptr, Make<CountingResultListener>(&first), nullptr);
  ASSERT_TRUE(service.WaitForCommand("first"));
  ASSERT_TRUE(PumpUntil([&] { return first->Released(); }));

  // Too large for the channel: the write fails on an open channel. Closing it waits for the UI thread
  // (the pending replies are released there), which this thread is not running yet, so the writer holds
  // while two more requests are queued behind it.
  IPC_SetMaxMessageSize(2048);
  client->Write({{"zr_command", "big"}, {"blob", std::string(4096, 'x')}}, Make<CountingReply>(&bigReply),
                Make<CountingResultListener>(&big), nullptr);
  ASSERT_TRUE(service.WaitForOpenConnections(0));
  IPC_SetMaxMessageSize(16u * 1024u * 1024u);
  client->Write({{"zr_command", "later1"}}, nullptr, Make<CountingResultListener>(&later1), nullptr);
  client->Write({{"zr_command", "later2"}}, nullptr, Make<CountingResultListener>(&later2), nullptr);

  ASSERT_TRUE(PumpUntil([&] { return AllReleased({big, later1, later2}); }));
  ASSERT_TRUE(service.WaitForCommand("big"));
  std::vector<ReceivedMessage> got = service.Messages();
  ASSERT_EQ(4u, got.size());
  EXPECT_EQ("later1", got[1].Command());
  EXPECT_EQ("later2", got[2].Command());
  EXPECT_EQ("big", got[3].Command());
  for (int i = 1; i < 4; ++i) EXPECT_EQ(2, got[i].Connection());
  EXPECT_EQ("1", got[3].Value("zr_cookie"));  // the same request, not a new one
  for (const Record& r : {big, later1, later2}) {
    EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, r->Calls());
    EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
  }
  // Its reply listener went with the first channel.
  EXPECT_TRUE(ReleasedOnceOnUIThread(*bigReply));
  EXPECT_EQ((std::vector<std::string>{"OnConnect", "OnDisconnect", "OnConnect"}), gEvents);
  client.reset();
}

TEST_F(ZorlinClientTest, AWriteFailingOnAFreshChannelIsNotRetried) {
  FakeService service("kv_test");
  std::unique_ptr<TestClient> client(new TestClient);
  Record big, after;
  IPC_SetMaxMessageSize(2048);
  client->Write({{"zr_command", "big"}, {"blob", std::string(4096, 'x')}}, nullptr,
                Make<CountingResultListener>(&big), nullptr);
  ASSERT_TRUE(PumpUntil([&] { return big->Released(); }));
  IPC_SetMaxMessageSize(16u * 1024u * 1024u);
  EXPECT_EQ(std::vector<std::string>{kFailed}, big->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*big));
  client->Write({{"zr_command", "after"}}, nullptr, Make<CountingResultListener>(&after), nullptr);
  ASSERT_TRUE(PumpUntil([&] { return after->Released(); }));
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, after->Calls());
  ASSERT_TRUE(service.WaitForMessages(1));
  ASSERT_EQ(1, service.MessageCount());  // "big" never went out, and was tried only once
  EXPECT_EQ(2, service.Messages()[0].Connection());
  EXPECT_EQ(2, service.ConnectionsAccepted());
  client.reset();
}

// The name may change while a writer is opening a channel: the channel announces the old or the new one.
TEST_F(ZorlinClientTest, TheClientNameMayChangeWhileAChannelOpens) {
  FakeService service("kv_test");
  std::string before = "name0";
  ZorlinClient::SetClientName(before.c_str());
  for (int round = 1; round <= 20; ++round) {
    std::unique_ptr<TestClient> client(new TestClient);
    client->Write({{"zr_command", "x"}}, nullptr, nullptr, nullptr);
    std::string now = "name" + std::to_string(round);
    ZorlinClient::SetClientName(now.c_str());
    auto hello = service.WaitForCommand("zr_setClientName", FakeService::kWait, round);
    ASSERT_TRUE(hello);
    EXPECT_TRUE(hello->Value("zr_clientName") == before || hello->Value("zr_clientName") == now)
        << hello->ToString();
    before = now;
  }
}

// The reader reports the end of a channel that the writer has meanwhile closed itself after a failed
// write, while a later request has already opened the next channel: that report must leave the new
// channel alone. A bare socket plays the service, since it must stop reading and end only its sending side.
TEST_F(ZorlinClientTest, AnEndReportedForAClosedChannelLeavesTheNextOneOpen) {
  int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", mDir.ChannelPath("kv_test").c_str());
  ASSERT_EQ(0, bind(listening, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(listening, 8));
  std::unique_ptr<TestClient> client(new TestClient);
  Record first, big, small;
  client->Write({{"zr_command", "first"}}, nullptr, Make<CountingResultListener>(&first), nullptr);
  int a = accept(listening, nullptr, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return first->Released(); }));

  // "big" stalls the writer (nobody reads), "small" waits behind it. The service ends its sending side:
  // the reader queues its report behind both. Then the stalled write fails, the writer closes the channel
  // itself, and "small" opens the next one before the report's turn. (Should the reader be slower than
  // the pause, the report is never made and the test passes without meeting the case.)
  client->Write({{"zr_command", "big"}, {"blob", std::string(1 << 20, 'x')}}, nullptr,
                Make<CountingResultListener>(&big), nullptr);
  client->Write({{"zr_command", "small"}}, nullptr, Make<CountingResultListener>(&small), nullptr);
  shutdown(a, SHUT_WR);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::atomic<int> accepted{1};
  std::atomic<bool> stop{false};
  std::thread service([&] {  // accepts and reads everything that follows
    std::vector<pollfd> fds = {{listening, POLLIN, 0}};
    char buffer[65536];
    while (!stop) {
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (size_t i = fds.size(); i-- > 1;) {
        if (fds[i].revents && read(fds[i].fd, buffer, sizeof(buffer)) <= 0) {
          close(fds[i].fd);
          fds.erase(fds.begin() + i);
        }
      }
      if (fds[0].revents) {
        fds.push_back({accept(listening, nullptr, nullptr), POLLIN, 0});
        ++accepted;
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) close(fds[i].fd);
  });
  close(a);
  ASSERT_TRUE(PumpUntil([&] { return big->Released() && small->Released(); }));
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, big->Calls());  // retried on the new channel
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, small->Calls());
  EXPECT_EQ((std::vector<std::string>{"OnConnect", "OnDisconnect", "OnConnect"}), gEvents);
  EXPECT_EQ(2, accepted.load());
  client.reset();
  stop = true;
  service.join();
  close(listening);
}

// The last reference goes while requests are still queued for the writer, replies are in flight and the
// service may be dropping the channel: every listener is released exactly once, on the UI thread.
TEST_F(ZorlinClientTest, TheLastReferenceDestroysTheClientWithWorkInFlight) {
  FakeService service("kv_test");
  service.OnCommand("ask", [](const ReceivedMessage& request, Responder& r) {
    r.Reply(request, {{"tag", "answer"}});
    IPCMessage* msg = zr::test::NewMessage({{"zr_command", "zr_progress"},
                                            {"zr_cookie", request.Value("zr_cookie")},
                                            {"zr_progress_method", "zr_progress_release"}});
    r.Send(msg);
    IPC_DestroyMessage(msg);
    if (request.Value("zr_cookie") == "150") r.Close();
  });
  std::vector<Record> replies, results, progresses;
  for (int round = 0; round < 8; ++round) {
    // The last rounds meet a service that hangs up on every connection at once.
    service.SetRefuse(round >= 6);
    {
      ZorlinClientRef<TestClient> ref;
      for (int i = 0; i < 300; ++i) {
        Record reply, result, progress;
        ref->Write({{"zr_command", "ask"}}, Make<CountingReply>(&reply),
                   Make<CountingResultListener>(&result), Make<CountingProgressListener>(&progress));
        replies.push_back(reply);
        results.push_back(result);
        progresses.push_back(progress);
        if (round % 3 == 1 && i == 100) zr::test::PumpPending();
      }
      if (round % 3 == 2) {
        service.WaitForMessages(static_cast<int>(service.MessageCount()) + 50,
                                std::chrono::milliseconds(500));
        zr::test::PumpPending();
      }
    }
    // Releases of listeners whose commands were dropped arrive through the UI queue.
    ASSERT_TRUE(PumpUntil([&] { return AllReleased(results); })) << "round " << round;
  }
  for (const std::vector<Record>* group : {&replies, &results, &progresses}) {
    for (const Record& r : *group) {
      EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
      EXPECT_LE(r->CallCount(), 1);
    }
  }
  for (const Record& r : replies) {
    if (r->CallCount() == 1) {
      EXPECT_EQ(std::vector<std::string>{"OnMessage(answer)"}, r->Calls());
    }
  }
  for (const std::string& e : gEvents) EXPECT_NE('!', e[0]) << e;
}

}  // namespace

namespace {

// Requests belong to the UI thread; debug builds stop a request made from any other.
TEST(ZorlinClientDeathTest, ARequestOffTheUIThreadStopsADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  zr::test::TestRuntimeDir dir;
  std::unique_ptr<TestClient> client(new TestClient);
  EXPECT_DEBUG_DEATH(
      {
        std::thread other([&] { client->Write({{"zr_command", "x"}}, nullptr, nullptr, nullptr); });
        other.join();
      },
      "IsUIThread");
}

}  // namespace
