#include "Command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "CommandSink.h"
#include "CommandThread.h"
#include "CountingListeners.h"
#include "Listener.h"
#include "UILoop.h"
#include "UIPump.h"

namespace {

using zr::test::CountingProgressListener;
using zr::test::CountingResultListener;
using zr::test::NotReleased;
using zr::test::PumpPending;
using zr::test::PumpUntil;
using zr::test::ReleasedOnceOnUIThread;

class ResultCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(zr::UILoop::AttachCurrentThread()); }
  void TearDown() override { PumpPending(); }
};

TEST_F(ResultCommandTest, ReportsStatusThenReleases) {
  auto* ok = new CountingResultListener;
  auto okRecord = ok->record();
  ResultCommand* success = new ResultCommand(ok, PR_SUCCESS, nullptr);
  success->Execute();
  delete success;  // already released: not again
  EXPECT_EQ((std::vector<std::string>{"OnSuccess"}), okRecord->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*okRecord));

  // The text is copied: the caller's buffer may change before the command runs.
  char text[] = "zorlinClient.writeMessageFailed";
  auto* bad = new CountingResultListener;
  auto badRecord = bad->record();
  ResultCommand* failure = new ResultCommand(bad, PR_FAILURE, text);
  std::memset(text, 'x', sizeof(text) - 1);
  failure->Execute();
  delete failure;
  EXPECT_EQ((std::vector<std::string>{"OnFailure(zorlinClient.writeMessageFailed)"}), badRecord->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*badRecord));

  auto* noText = new CountingResultListener;
  auto noTextRecord = noText->record();
  ResultCommand(noText, PR_FAILURE, nullptr).Execute();
  EXPECT_EQ((std::vector<std::string>{"OnFailure(null)"}), noTextRecord->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*noTextRecord));

  ResultCommand(nullptr, PR_SUCCESS, "ignored").Execute();  // no listener: nothing to do
}

TEST_F(ResultCommandTest, DestroyedUnrunReleasesWithoutCalls) {
  // On the UI thread: released at once.
  auto* listener = new CountingResultListener;
  auto record = listener->record();
  delete new ResultCommand(listener, PR_SUCCESS, "text");
  EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  EXPECT_EQ(0, record->CallCount());

  // Deleted on a worker (its executor shut down first): the release goes to the UI thread.
  auto* queued = new CountingResultListener;
  auto queuedRecord = queued->record();
  std::thread worker([queued] { delete new ResultCommand(queued, PR_FAILURE, "text"); });
  worker.join();
  EXPECT_TRUE(NotReleased(*queuedRecord));
  EXPECT_TRUE(PumpUntil([&] { return queuedRecord->Released(); }));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*queuedRecord));
  EXPECT_EQ(0, queuedRecord->CallCount());

  // Dropped by a sink's shutdown, and never reached by a shut-down worker thread.
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  auto* dropped = new CountingResultListener;
  auto droppedRecord = dropped->record();
  sink->PostCommand(new ResultCommand(dropped, PR_SUCCESS, nullptr));
  sink->Shutdown();
  auto* unreached = new CountingResultListener;
  auto unreachedRecord = unreached->record();
  {
    CommandThread thread;
    thread.Shutdown();
    thread.PostCommand(new ResultCommand(unreached, PR_SUCCESS, nullptr));
  }
  EXPECT_TRUE(PumpUntil([&] { return droppedRecord->Released() && unreachedRecord->Released(); }));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*droppedRecord));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*unreachedRecord));
  EXPECT_EQ(0, droppedRecord->CallCount() + unreachedRecord->CallCount());
}

TEST_F(ResultCommandTest, RunByAWorkerThroughTheUISink) {
  // The usual path: a worker reports a result through the UI sink.
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  auto* listener = new CountingResultListener;
  auto record = listener->record();
  CommandThread worker;
  worker.PostCommand(new ResultCommand(nullptr, PR_SUCCESS, nullptr));  // starts the worker
  std::thread([&] { sink->PostCommand(new ResultCommand(listener, PR_FAILURE, "key")); }).join();
  EXPECT_TRUE(PumpUntil([&] { return record->Released(); }));
  EXPECT_EQ((std::vector<std::string>{"OnFailure(key)"}), record->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
}

// The default Release deletes (ASan reports a leak otherwise); progress reports default to nothing. The
// counting listeners catch calls and releases off the UI thread.
TEST(Listener, DefaultsAndCountingRecords) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  class Plain : public ProgressListener {
   public:
    void OnSuccess() override {}
    void OnFailure(const char*) override {}
  };
  ProgressListener* plain = new Plain;
  plain->SetProgress(0.5);
  plain->AppendToLog("log");
  plain->SetStatusText(nullptr);
  plain->Release();

  auto* progress = new CountingProgressListener;
  auto record = progress->record();
  progress->SetProgress(0.25);
  progress->SetStatusText(nullptr);
  std::thread([progress] { progress->OnFailure("late"); }).join();
  progress->Release();
  EXPECT_EQ((std::vector<std::string>{"SetProgress(0.25)", "SetStatusText(null)", "OnFailure(late)"}),
            record->Calls());
  EXPECT_FALSE(ReleasedOnceOnUIThread(*record));
  EXPECT_FALSE(NotReleased(*record));

  auto* offThread = new CountingResultListener;
  auto offRecord = offThread->record();
  std::thread([offThread] { offThread->Release(); }).join();
  EXPECT_FALSE(ReleasedOnceOnUIThread(*offRecord));
}

}  // namespace
