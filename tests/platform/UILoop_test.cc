#include "UILoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using std::chrono::milliseconds;

// A loop woken through the hook, as a console application's poll() loop is: every post that finds no
// wake-up outstanding must call the hook, whichever of the drain calls ran the queue before.
TEST(UILoop, EveryDrainCallRearmsTheWakeupHook) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  while (zr::UILoop::RunPending() > 0) {
  }
  auto wakeups = std::make_shared<std::atomic<int>>(0);
  zr::UILoop::SetWakeupHook([wakeups] { ++*wakeups; });
  auto postFromWorker = [](std::function<void()> fn) { std::thread([&fn] { zr::UILoop::Post(fn); }).join(); };

  postFromWorker([] {});
  postFromWorker([] {});
  EXPECT_EQ(1, *wakeups);  // one outstanding wake-up covers both
  EXPECT_EQ(2, zr::UILoop::RunPending());

  bool ran = false;
  postFromWorker([&ran] { ran = true; });
  EXPECT_EQ(2, *wakeups);
  EXPECT_TRUE(zr::UILoop::RunUntil([&ran] { return ran; }, milliseconds(5000)));
  postFromWorker([] {});
  EXPECT_EQ(3, *wakeups) << "a post after RunUntil drained the queue woke nobody";

  // Left queued by a RunUntil that was done early: the wake-up given for it still stands.
  int count = 0;
  EXPECT_EQ(1, zr::UILoop::RunPending());
  postFromWorker([&count] { ++count; });
  postFromWorker([&count] { ++count; });
  EXPECT_EQ(4, *wakeups);
  EXPECT_TRUE(zr::UILoop::RunUntil([&count] { return count == 1; }, milliseconds(5000)));
  postFromWorker([&count] { ++count; });
  EXPECT_EQ(4, *wakeups);
  EXPECT_EQ(2, zr::UILoop::RunPending());
  EXPECT_EQ(3, count);

  postFromWorker([] { zr::UILoop::Quit(); });
  EXPECT_EQ(5, *wakeups);
  zr::UILoop::Run();
  postFromWorker([] {});
  EXPECT_EQ(6, *wakeups) << "a post after Run drained the queue woke nobody";
  EXPECT_EQ(1, zr::UILoop::RunPending());

  zr::UILoop::SetWakeupHook(nullptr);
}

// Another thread posting without pause must not keep the drain calls from returning: RunPending runs only
// what was queued when it began, RunUntil ends at its time-out, Run at Quit.
TEST(UILoop, DrainCallsReturnWhileAnotherThreadFloods) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  std::atomic<bool> stop{false};
  std::atomic<long> posted{0}, ran{0};
  std::thread flood([&] {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stop && std::chrono::steady_clock::now() < giveUp) {
      if (posted - ran > 256) {
        std::this_thread::yield();
        continue;
      }
      ++posted;
      zr::UILoop::Post([&ran] { ++ran; });
    }
  });
  while (posted < 256) std::this_thread::yield();

  const long queued = posted;
  const int batch = zr::UILoop::RunPending();
  EXPECT_GE(batch, 256);
  EXPECT_LE(batch, queued + 256) << "RunPending ran entries posted after it began";

  EXPECT_FALSE(zr::UILoop::RunUntil([] { return false; }, milliseconds(50)));
  const long before = ran;
  EXPECT_TRUE(zr::UILoop::RunUntil([&] { return ran > before + 1000; }, milliseconds(10000)));

  std::thread quitter([] {
    std::this_thread::sleep_for(milliseconds(50));
    zr::UILoop::Quit();
  });
  zr::UILoop::Run();
  quitter.join();

  stop = true;
  flood.join();
  while (zr::UILoop::RunPending() > 0) {
  }
  EXPECT_EQ(posted.load(), ran.load());
}

}  // namespace
