#include "CommandSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "CountingListeners.h"
#include "Releaser.h"
#include "UILoop.h"
#include "UIPump.h"

namespace {

using zr::UILoop;
using zr::test::PumpPending;
using zr::test::PumpUntil;

// Counts runs (and runs off the UI thread) and deletions.
struct Tally {
  std::atomic<int> ran{0};
  std::atomic<int> ranOffUI{0};
  std::atomic<int> deleted{0};
};

class TallyCommand : public Command {
 public:
  TallyCommand(Tally* tally, std::function<void()> run = nullptr) : mTally(tally), mRun(std::move(run)) {}
  ~TallyCommand() override { ++mTally->deleted; }
  void Execute() override {
    ++mTally->ran;
    if (!UILoop::IsUIThread()) ++mTally->ranOffUI;
    if (mRun) mRun();
  }

 private:
  Tally* mTally;
  std::function<void()> mRun;
};

class UISinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UILoop::AttachCurrentThread());  // the test's main thread is the UI thread
    mSink.reset(CommandSink::CreateUIThreadCommandSink());
  }
  void TearDown() override {
    mSink.reset();
    UILoop::SetWakeupHook(nullptr);
    PumpPending();
  }
  std::unique_ptr<CommandSink> mSink;
};

TEST_F(UISinkTest, WorkersPostsRunInOrderOnTheUIThread) {
  Tally tally;
  std::vector<std::string> order;  // UI thread only
  std::thread worker([&] {
    EXPECT_FALSE(UILoop::IsUIThread());
    EXPECT_FALSE(UILoop::AttachCurrentThread());
    EXPECT_EQ(0, UILoop::RunPending());  // draining elsewhere runs nothing
    for (int i = 0; i < 100; ++i) {
      mSink->PostCommand(
          new TallyCommand(&tally, [&order, i] { order.push_back("sink" + std::to_string(i)); }));
      if (i % 10 == 0) UILoop::Post([&order, i] { order.push_back("post" + std::to_string(i)); });
    }
  });
  worker.join();
  EXPECT_TRUE(PumpUntil([&] { return tally.ran == 100; }));
  ASSERT_EQ(110u, order.size());
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    expected.push_back("sink" + std::to_string(i));
    if (i % 10 == 0) expected.push_back("post" + std::to_string(i));
  }
  EXPECT_EQ(expected, order);  // one FIFO across the sink and plain posts
  EXPECT_EQ(0, tally.ranOffUI.load());
  EXPECT_EQ(100, tally.deleted.load());
}

TEST_F(UISinkTest, SendCommandReturnsAfterTheCommandRan) {
  Tally tally;
  std::vector<int> order;  // UI thread only
  std::atomic<bool> workerDone{false};
  std::thread worker([&] {
    mSink->PostCommand(new TallyCommand(&tally, [&] { order.push_back(1); }));
    // The command writes into memory the worker frees as soon as SendCommand returns: ASan reports a
    // use after free if SendCommand returned early.
    int* slot = new int(0);
    mSink->SendCommand(new TallyCommand(&tally, [&, slot] {
      order.push_back(2);
      *slot = 42;
    }));
    EXPECT_EQ(42, *slot);
    EXPECT_EQ(2, tally.deleted.load());  // deleted before the sender was let go
    delete slot;
    workerDone = true;
  });
  EXPECT_TRUE(PumpUntil([&] { return workerDone.load(); }));
  worker.join();
  EXPECT_EQ((std::vector<int>{1, 2}), order);
  EXPECT_EQ(0, tally.ranOffUI.load());
}

TEST_F(UISinkTest, ShutdownDropsQueuedCommandsButNotPlainPosts) {
  Tally tally;
  bool plainRan = false;
  mSink->PostCommand(new TallyCommand(&tally));
  UILoop::Post([&] { plainRan = true; });
  mSink->PostCommand(new TallyCommand(&tally));
  std::unique_ptr<CommandSink> other(CommandSink::CreateUIThreadCommandSink());
  Tally otherTally;
  other->PostCommand(new TallyCommand(&otherTally));

  mSink->Shutdown();
  EXPECT_EQ(2, tally.deleted.load());
  // From now on commands are deleted at once, whatever the thread.
  mSink->PostCommand(new TallyCommand(&tally));
  mSink->SendCommand(new TallyCommand(&tally));
  std::thread worker([&] {
    mSink->PostCommand(new TallyCommand(&tally));
    mSink->SendCommand(new TallyCommand(&tally));  // must not block
  });
  worker.join();
  EXPECT_EQ(6, tally.deleted.load());
  mSink->Shutdown();  // again: harmless

  EXPECT_EQ(2, PumpPending());  // the plain post and the other sink's command
  EXPECT_TRUE(plainRan);
  EXPECT_EQ(1, otherTally.ran.load());
  EXPECT_EQ(0, tally.ran.load());

  // On the UI thread SendCommand runs at once, ahead of what is queued; destroying a sink shuts it down.
  other->PostCommand(new TallyCommand(&otherTally));
  other->SendCommand(new TallyCommand(&otherTally));
  EXPECT_EQ(2, otherTally.ran.load());
  EXPECT_EQ(2, otherTally.deleted.load());
  other.reset();
  EXPECT_EQ(3, otherTally.deleted.load());
  EXPECT_EQ(0, PumpPending());
  EXPECT_EQ(2, otherTally.ran.load());
}

TEST_F(UISinkTest, ShutdownReleasesAWorkerWaitingInSendCommand) {
  std::atomic<bool> queued{false};
  UILoop::SetWakeupHook([&] { queued = true; });  // tells us the send is in the queue
  Tally tally;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    mSink->SendCommand(new TallyCommand(&tally));
    returned = true;
  });
  while (!queued) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(returned.load());  // waiting for the UI thread
  mSink->Shutdown();
  worker.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(0, tally.ran.load());
  EXPECT_EQ(1, tally.deleted.load());
}

// The command a worker waits for shuts the sink down, as when the sink's owner is destroyed from inside it
// and joins that worker: the worker is released at once, while the command is still running.
TEST_F(UISinkTest, ShutdownFromTheRunningCommandReleasesItsSender) {
  Tally tally;
  std::atomic<bool> returned{false};
  bool returnedWhileRunning = false;
  std::thread worker([&] {
    mSink->SendCommand(new TallyCommand(&tally, [&] {
      mSink->Shutdown();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!returned && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      returnedWhileRunning = returned;
    }));
    returned = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return tally.deleted == 1; }));
  worker.join();
  EXPECT_TRUE(returnedWhileRunning);
  EXPECT_EQ(1, tally.ran.load());
}

// Workers post and send while the UI thread runs commands and then shuts the sink down in the middle:
// every command is either run or dropped, exactly once; nothing of the sink runs after Shutdown; every
// sender comes back.
TEST_F(UISinkTest, ShutdownRacingPostersAndSenders) {
  const int kWorkers = 4, kEach = 300;
  Tally tally;
  bool shutDown = false;  // UI thread only
  std::atomic<int> ranAfterShutdown{0};
  std::atomic<int> workersDone{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        Command* command = new TallyCommand(&tally, [&] {
          if (shutDown) ++ranAfterShutdown;
        });
        if ((i + w) % 3 == 0)
          mSink->SendCommand(command);
        else
          mSink->PostCommand(command);
      }
      ++workersDone;
    });
  }
  PumpUntil([&] { return tally.ran >= kWorkers * kEach / 4; });
  mSink->Shutdown();
  shutDown = true;
  EXPECT_TRUE(PumpUntil([&] { return workersDone == kWorkers; }));
  for (auto& t : workers) t.join();
  PumpPending();
  EXPECT_EQ(0, ranAfterShutdown.load());
  EXPECT_EQ(kWorkers * kEach, tally.deleted.load());
  EXPECT_LE(tally.ran.load(), kWorkers * kEach);
  EXPECT_EQ(0, tally.ranOffUI.load());
}

TEST(UILoop, RunPendingRunsOnlyWhatWasQueued) {
  ASSERT_TRUE(UILoop::AttachCurrentThread());
  std::vector<int> order;
  UILoop::Post([&] {
    order.push_back(1);
    UILoop::Post([&] { order.push_back(3); });  // waits for the next drain
  });
  UILoop::Post([&] { order.push_back(2); });
  EXPECT_EQ(2, UILoop::RunPending());
  EXPECT_EQ((std::vector<int>{1, 2}), order);
  EXPECT_EQ(1, UILoop::RunPending());
  EXPECT_EQ(0, UILoop::RunPending());
  EXPECT_EQ((std::vector<int>{1, 2, 3}), order);

  // What a posted function holds is let go outside the queue's lock, so its destructor may post again.
  struct PostsWhenGone {
    std::vector<int>* order = nullptr;
    ~PostsWhenGone() {
      std::vector<int>* o = order;
      UILoop::Post([o] { o->push_back(5); });
    }
  };
  auto held = std::make_shared<PostsWhenGone>();
  held->order = &order;
  UILoop::Post([held, &order] { order.push_back(4); });
  held.reset();
  EXPECT_EQ(1, UILoop::RunPending());
  EXPECT_EQ(1, UILoop::RunPending());
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), order);
}

TEST(UILoop, RunUntilAndRunQuit) {
  ASSERT_TRUE(UILoop::AttachCurrentThread());
  EXPECT_FALSE(UILoop::RunUntil([] { return false; }, std::chrono::milliseconds(10)));
  int count = 0;
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) UILoop::Post([&] { ++count; });
  });
  EXPECT_TRUE(UILoop::RunUntil([&] { return count == 5; }, std::chrono::seconds(10)));
  poster.join();

  // Run() drains until a Quit() from another thread.
  std::thread quitter([&] {
    UILoop::Post([&] { ++count; });
    UILoop::Quit();
  });
  UILoop::Run();
  quitter.join();
  PumpUntil([&] { return count == 6; });
  EXPECT_EQ(6, count);
}

TEST(UILoop, WakeupHookOncePerDrain) {
  ASSERT_TRUE(UILoop::AttachCurrentThread());
  int wakeups = 0;
  UILoop::Post([] {});
  UILoop::SetWakeupHook([&] { ++wakeups; });
  EXPECT_EQ(1, wakeups);  // entries were already waiting
  UILoop::Post([] {});
  EXPECT_EQ(1, wakeups);  // still outstanding
  EXPECT_EQ(2, UILoop::RunPending());
  UILoop::Post([] {});
  UILoop::Post([] {});
  EXPECT_EQ(2, wakeups);
  UILoop::SetWakeupHook(nullptr);
  EXPECT_EQ(2, UILoop::RunPending());
  UILoop::Post([] {});
  EXPECT_EQ(2, wakeups);
  EXPECT_EQ(1, UILoop::RunPending());
}

TEST(Releaser, ReleasesOnTheUIThreadFromAnyThread) {
  ASSERT_TRUE(UILoop::AttachCurrentThread());
  auto* inline_ = new zr::test::CountingResultListener;
  auto inlineRecord = inline_->record();
  Releaser::ReleaseOnUIThread(inline_);  // on the UI thread: at once
  EXPECT_TRUE(zr::test::ReleasedOnceOnUIThread(*inlineRecord));
  Releaser::ReleaseOnUIThread(nullptr);

  std::vector<std::shared_ptr<zr::test::ListenerRecord>> records;
  std::vector<zr::test::CountingResultListener*> listeners;
  for (int i = 0; i < 50; ++i) {
    listeners.push_back(new zr::test::CountingResultListener);
    records.push_back(listeners.back()->record());
  }
  std::thread worker([&] {
    for (auto* listener : listeners) Releaser::ReleaseOnUIThread(listener);
  });
  worker.join();
  // A sink shut down meanwhile does not drop the releases.
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  sink->Shutdown();
  for (auto& record : records) EXPECT_TRUE(zr::test::NotReleased(*record));
  EXPECT_EQ(50, PumpPending());
  for (auto& record : records) EXPECT_TRUE(zr::test::ReleasedOnceOnUIThread(*record));
}

}  // namespace
