// The reader thread of a channel: what it reports, when it stops, swapping channels, and its listener.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "FakeService.h"
#include "IPCChannel.h"
#include "IPCCommandThread.h"
#include "RecordingChannelListener.h"
#include "TestRuntimeDir.h"

namespace {

using zr::test::ChannelRecord;
using zr::test::FakeService;
using zr::test::RecordingChannelListener;

IPCChannel* OpenTaken(const char* name) {
  IPCChannel* ch = IPC_OpenChannel(name);
  if (ch != nullptr) IPC_ChannelAddRef(ch);
  return ch;
}

class ReaderTest : public ::testing::Test {
 protected:
  zr::test::TestRuntimeDir mDir;
};

TEST_F(ReaderTest, IdleReaderNeedsNoThreadAndReleasesItsListenerOnce) {
  auto first = std::make_shared<ChannelRecord>();
  auto second = std::make_shared<ChannelRecord>();
  {
    IPCCommandThread reader;
    reader.SetMessageListener(new RecordingChannelListener(first));
    reader.SetMessageListener(new RecordingChannelListener(second));
    EXPECT_EQ(first->Releases(), 1);  // replaced
    EXPECT_EQ(second->Releases(), 0);
    reader.Shutdown();
    EXPECT_EQ(second->Releases(), 1);
    reader.Shutdown();  // idempotent; the destructor shuts down again
    // After Shutdown a listener handed over is released at once, a channel's reference given back.
    auto late = std::make_shared<ChannelRecord>();
    reader.SetMessageListener(new RecordingChannelListener(late));
    EXPECT_EQ(late->Releases(), 1);
  }
  EXPECT_EQ(first->Releases(), 1);
  EXPECT_EQ(second->Releases(), 1);
  IPCCommandThread untouched;  // constructed and destroyed without a listener or channel
}

TEST_F(ReaderTest, ReportsMessagesThenTheCloseThenNothingUntilTheNextChannel) {
  FakeService service("kv_test");
  IPCCommandThread reader;
  auto record = std::make_shared<ChannelRecord>();
  reader.SetMessageListener(new RecordingChannelListener(record));
  IPCChannel* ch = OpenTaken("kv_test");
  ASSERT_NE(ch, nullptr);
  reader.SetChannel(ch);
  ASSERT_TRUE(service.WaitForConnections(1));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(service.Send({{"n", std::to_string(i)}}), PR_SUCCESS);
  service.DropConnections();
  ASSERT_TRUE(record->WaitFor([&] { return record->GoneCount() == 1; }));
  std::vector<std::string> events = record->Events();
  ASSERT_EQ(events.size(), 1001u);
  EXPECT_EQ(events.back(), "closed");
  for (int i = 0; i < 1000; ++i) {
    IPCMessage* m = IPC_NewMessage();
    ASSERT_EQ(IPC_Deserialize(m, record->messages[i].c_str()), PR_SUCCESS);
    EXPECT_EQ(std::string(IPC_MessageGetValue(m, "n")), std::to_string(i));
    IPC_DestroyMessage(m);
  }
  EXPECT_EQ(record->threads.size(), 1u);
  EXPECT_EQ(record->threads.count(std::this_thread::get_id()), 0u);
  // Nothing more about the ended channel.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(record->Events().size(), 1001u);

  IPCChannel* next = OpenTaken("kv_test");
  ASSERT_NE(next, nullptr);
  reader.SetChannel(next);
  IPC_ChannelRelease(ch);
  ASSERT_TRUE(service.WaitForConnections(2));
  ASSERT_EQ(service.Send({{"again", "1"}}), PR_SUCCESS);
  ASSERT_TRUE(record->WaitFor([&] { return record->MessageCount() == 1001; }));
  EXPECT_EQ(record->messages.back(), "@1;5:again1:1");
  reader.SetChannel(nullptr);
  IPC_ChannelRelease(next);
  EXPECT_TRUE(service.WaitForOpenConnections(0));
  EXPECT_EQ(record->GoneCount(), 1);
  reader.Shutdown();
  EXPECT_EQ(record->Releases(), 1);
}

TEST_F(ReaderTest, NoReportAboutTheOldChannelAfterSetChannelReturns) {
  FakeService a("kv_a");
  FakeService b("kv_b");
  IPCChannel* chA = OpenTaken("kv_a");
  IPCChannel* chB = OpenTaken("kv_b");
  ASSERT_TRUE(chA && chB);
  ASSERT_TRUE(a.WaitForConnections(1) && b.WaitForConnections(1));

  std::atomic<bool> swapped{false};
  std::atomic<int> afterSwap{0};
  auto record = std::make_shared<ChannelRecord>();
  auto* listener = new RecordingChannelListener(record);
  listener->onMessage = [&](IPCMessage* msg) {
    if (swapped.load() && IPC_MessageGetValue(msg, "from") != nullptr &&
        std::string(IPC_MessageGetValue(msg, "from")) == "a") {
      afterSwap.fetch_add(1);
    }
  };
  IPCCommandThread reader;
  reader.SetMessageListener(listener);
  reader.SetChannel(chA);

  // Service a floods its channel while the reader is swapped to b.
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    while (!stop.load()) {
      if (a.Send({{"from", "a"}}) != PR_SUCCESS) break;
    }
  });
  ASSERT_TRUE(record->WaitFor([&] { return record->messages.size() > 100; }));
  reader.SetChannel(chB);
  swapped.store(true);
  ASSERT_EQ(b.Send({{"from", "b"}}), PR_SUCCESS);
  ASSERT_TRUE(record->WaitFor(
      [&] { return !record->messages.empty() && record->messages.back() == "@1;4:from1:b"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(afterSwap.load(), 0);
  EXPECT_EQ(record->GoneCount(), 0);
  // Closing the old channel after the swap reports nothing either.
  a.DropConnections();
  stop.store(true);
  flood.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(record->GoneCount(), 0);
  // The new one is reported.
  b.DropConnections();
  ASSERT_TRUE(record->WaitFor([&] { return record->GoneCount() == 1; }));
  reader.Shutdown();
  IPC_ChannelRelease(chA);
  IPC_ChannelRelease(chB);
}

TEST_F(ReaderTest, ListenerMayChangeTheReaderFromInsideAReport) {
  FakeService service("kv_test");
  IPCChannel* ch = OpenTaken("kv_test");
  ASSERT_NE(ch, nullptr);
  IPCCommandThread reader;
  auto first = std::make_shared<ChannelRecord>();
  auto second = std::make_shared<ChannelRecord>();
  auto* listener = new RecordingChannelListener(first);
  // The first message replaces the listener (the running one is released after its report); the
  // second listener stops reading from inside its report, which must not deadlock.
  listener->onMessage = [&](IPCMessage*) { reader.SetMessageListener(new RecordingChannelListener(second)); };
  reader.SetMessageListener(listener);
  reader.SetChannel(ch);
  ASSERT_TRUE(service.WaitForConnections(1));
  ASSERT_EQ(service.Send({{"n", "1"}}), PR_SUCCESS);
  ASSERT_TRUE(first->WaitFor([&] { return first->releases == 1; }));
  EXPECT_EQ(first->MessageCount(), 1u);

  ASSERT_EQ(service.Send({{"n", "2"}}), PR_SUCCESS);
  ASSERT_TRUE(second->WaitFor([&] { return second->messages.size() == 1; }));
  EXPECT_EQ(first->MessageCount(), 1u);
  IPC_ChannelRelease(ch);
  reader.Shutdown();
  EXPECT_EQ(second->Releases(), 1);
}

TEST_F(ReaderTest, SetChannelNullFromInsideAReportStopsReading) {
  FakeService service("kv_test");
  IPCChannel* ch = OpenTaken("kv_test");
  ASSERT_NE(ch, nullptr);
  IPCCommandThread reader;
  auto record = std::make_shared<ChannelRecord>();
  auto* listener = new RecordingChannelListener(record);
  listener->onMessage = [&](IPCMessage*) { reader.SetChannel(nullptr); };
  reader.SetMessageListener(listener);
  reader.SetChannel(ch);
  ASSERT_TRUE(service.WaitForConnections(1));
  // Both frames may arrive in one read; the second must not be reported.
  IPCMessage* two = zr::test::NewMessage({{"n", "1"}});
  ASSERT_EQ(service.Send(two), PR_SUCCESS);
  ASSERT_EQ(service.Send(two), PR_SUCCESS);
  IPC_DestroyMessage(two);
  ASSERT_TRUE(record->WaitFor([&] { return record->messages.size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(record->MessageCount(), 1u);
  // Only the client's reference is left now: its release closes the socket.
  IPC_ChannelRelease(ch);
  EXPECT_TRUE(service.WaitForOpenConnections(0));
  EXPECT_EQ(record->GoneCount(), 0);
}

TEST_F(ReaderTest, FakeServiceScriptsRecordsAndRefuses) {
  FakeService service("kv_test");
  service.OnCommand("sp_lookup", [](const zr::test::ReceivedMessage& request, zr::test::Responder& r) {
    r.Reply(request, {{"sp_key", request.Value("sp_key")}, {"sp_value", "v:" + request.Value("sp_key")}});
  });
  IPCChannel* ch = OpenTaken("kv_test");
  ASSERT_NE(ch, nullptr);
  IPCCommandThread reader;
  auto record = std::make_shared<ChannelRecord>();
  reader.SetMessageListener(new RecordingChannelListener(record));
  reader.SetChannel(ch);
  IPCMessage* m = zr::test::NewMessage({{"zr_command", "sp_lookup"}, {"zr_cookie", "7"}, {"sp_key", "k"}});
  ASSERT_EQ(IPC_WriteMessage(ch, m), PR_SUCCESS);
  IPC_DestroyMessage(m);
  m = zr::test::NewMessage({{"zr_command", "other"}});
  ASSERT_EQ(IPC_WriteMessage(ch, m), PR_SUCCESS);
  IPC_DestroyMessage(m);
  auto lookup = service.WaitForCommand("sp_lookup");
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->Connection(), 1);
  EXPECT_EQ(lookup->Value("zr_cookie"), "7");
  ASSERT_TRUE(service.WaitForCommand("other"));
  EXPECT_FALSE(service.WaitForCommand("sp_lookup", std::chrono::milliseconds(10), 2));
  EXPECT_EQ(service.MessageCount(), 2);
  EXPECT_EQ(service.CommandCount("other"), 1);
  ASSERT_TRUE(record->WaitFor([&] { return record->messages.size() == 1; }));
  EXPECT_EQ(record->messages[0], "@3;6:sp_key1:k8:sp_value3:v:k9:zr_cookie1:7");

  service.SetRefuse(true);
  IPCChannel* refused = OpenTaken("kv_test");
  ASSERT_NE(refused, nullptr);  // accepted by the socket, then closed at once
  {
    IPCCommandThread r2;
    auto rec2 = std::make_shared<ChannelRecord>();
    r2.SetMessageListener(new RecordingChannelListener(rec2));
    r2.SetChannel(refused);
    EXPECT_TRUE(rec2->WaitFor([&] { return rec2->GoneCount() == 1; }));
  }
  IPC_ChannelRelease(refused);
  EXPECT_EQ(service.RefusedConnections(), 1);
  EXPECT_EQ(service.ConnectionsAccepted(), 1);
  service.SetRefuse(false);

  service.StopListening();
  EXPECT_FALSE(service.IsListening());
  EXPECT_EQ(IPC_OpenChannel("kv_test"), nullptr);
  EXPECT_EQ(service.ConnectionCount(), 1);  // the open one stays
  ASSERT_TRUE(service.StartListening());
  IPCChannel* second = OpenTaken("kv_test");
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(service.WaitForConnections(2));
  EXPECT_EQ(service.OpenConnections(), (std::vector<int>{1, 3}));
  EXPECT_EQ(service.SendTo(1, {{"to", "first"}}), PR_SUCCESS);
  ASSERT_TRUE(record->WaitFor([&] { return record->messages.size() == 2; }));
  EXPECT_EQ(service.SendTo(2, {{"to", "refused"}}), PR_FAILURE);
  service.DropConnections();
  EXPECT_EQ(service.ConnectionCount(), 0);
  EXPECT_TRUE(record->WaitFor([&] { return record->GoneCount() == 1; }));
  reader.Shutdown();
  IPC_ChannelRelease(ch);
  IPC_ChannelRelease(second);
}

}  // namespace
