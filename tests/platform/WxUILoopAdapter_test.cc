#include "WxUILoopAdapter.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/timer.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "CommandSink.h"
#include "UILoop.h"

namespace {

class RecordCommand : public Command {
 public:
  RecordCommand(std::vector<std::string>* order, std::string name) : mOrder(order), mName(std::move(name)) {}
  void Execute() override {
    if (!zr::UILoop::IsUIThread()) mName += "(off UI thread)";
    mOrder->push_back(mName);
  }

 private:
  std::vector<std::string>* mOrder;
  std::string mName;
};

// Ends a wx event loop from another thread if the test stalls, so a broken adapter fails instead of
// hanging.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : mThread([this, limit] {
          std::unique_lock<std::mutex> lock(mMutex);
          if (!mChanged.wait_for(lock, limit, [this] { return mDone; })) {
            mFired = true;
            wxTheApp->CallAfter([] { wxEventLoopBase::GetActive()->Exit(); });
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mDone = true;
    }
    mChanged.notify_all();
    mThread.join();
  }
  bool Fired() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mFired;
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mDone = false;
  bool mFired = false;
  std::thread mThread;
};

TEST(WxUILoopAdapter, DrainsTheUIQueueFromAWxLoopInOrder) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  wxInitializer initializer;
  ASSERT_TRUE(initializer.IsOk());
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  std::vector<std::string> order;  // UI thread only

  // Posted before the adapter exists: drained once it does.
  zr::UILoop::Post([&] { order.push_back("early"); });
  wxEventLoop loop;
  std::unique_ptr<zr::WxUILoopAdapter> adapter(new zr::WxUILoopAdapter);

  std::atomic<bool> sent{false};
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      sink->PostCommand(new RecordCommand(&order, "sink" + std::to_string(i)));
      zr::UILoop::Post([&order, i] { order.push_back("post" + std::to_string(i)); });
      if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let the loop go idle
    }
    sink->SendCommand(new RecordCommand(&order, "send"));  // returns once the wx loop ran it
    sent = true;
    zr::UILoop::Post([&loop] { loop.Exit(); });
  });
  {
    Watchdog watchdog(std::chrono::seconds(20));
    loop.Run();
    EXPECT_FALSE(watchdog.Fired());
  }
  worker.join();
  EXPECT_TRUE(sent.load());

  std::vector<std::string> expected{"early"};
  for (int i = 0; i < 50; ++i) {
    expected.push_back("sink" + std::to_string(i));
    expected.push_back("post" + std::to_string(i));
  }
  expected.push_back("send");
  EXPECT_EQ(expected, order);

  // A new adapter that replaces the old one (made before the old one goes) keeps draining.
  adapter.reset(new zr::WxUILoopAdapter);
  std::thread([&loop] { zr::UILoop::Post([&loop] { loop.Exit(); }); }).join();
  {
    Watchdog watchdog(std::chrono::seconds(20));
    loop.Run();
    EXPECT_FALSE(watchdog.Fired());
  }

  // Once the adapter is gone the wx loop no longer drains; the entries wait for the next drain.
  adapter.reset();
  bool ran = false;
  zr::UILoop::Post([&] { ran = true; });
  {
    Watchdog watchdog(std::chrono::seconds(20));
    wxTheApp->CallAfter([&loop] { loop.Exit(); });
    loop.Run();
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(1, zr::UILoop::RunPending());
  EXPECT_TRUE(ran);
}

// Runs the wx loop until an entry posted from another thread has run there; false if the loop never
// drained it. The entry outlives a failed wait, so it owns what it touches.
bool LoopDrains(wxEventLoop& loop, const std::function<void()>& before = nullptr) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  std::thread([&] {
    zr::UILoop::Post([ran, before, &loop] {
      if (before) before();
      *ran = true;
      if (loop.IsRunning()) loop.Exit();
    });
  }).join();
  Watchdog watchdog(std::chrono::seconds(3));
  loop.Run();
  return *ran && !watchdog.Fired();
}

TEST(WxUILoopAdapter, EveryLiveAdapterKeepsTheQueueDrainedWhicheverGoesFirst) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  wxInitializer initializer;
  ASSERT_TRUE(initializer.IsOk());
  wxEventLoop loop;
  std::array<int, 3> order{0, 1, 2};
  do {
    SCOPED_TRACE(testing::Message() << "destroyed in the order " << order[0] << order[1] << order[2]);
    std::array<std::unique_ptr<zr::WxUILoopAdapter>, 3> adapters;
    for (auto& adapter : adapters) adapter.reset(new zr::WxUILoopAdapter);
    for (int step = 0; step < 2; ++step) {
      // Posted while the adapter about to go may hold the only scheduled drain.
      auto early = std::make_shared<std::atomic<bool>>(false);
      std::thread([early] { zr::UILoop::Post([early] { *early = true; }); }).join();
      adapters[order[step]].reset();
      EXPECT_TRUE(LoopDrains(loop)) << "after destroying adapter " << order[step];
      EXPECT_TRUE(*early);
    }
    // The last adapter, dropped by an entry its own drain is running.
    zr::WxUILoopAdapter* last = adapters[order[2]].release();
    EXPECT_TRUE(LoopDrains(loop, [last] { delete last; }));
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(0, zr::UILoop::RunPending());
}

// A listener that waits in a loop of its own (a modal dialog): entries posted meanwhile still run there,
// although the drain that is running it has not returned.
TEST(WxUILoopAdapter, ALoopNestedInAnEntryKeepsDraining) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  wxInitializer initializer;
  ASSERT_TRUE(initializer.IsOk());
  wxEventLoop loop;
  zr::WxUILoopAdapter adapter;
  std::vector<std::string> order;
  auto nested = [&order] {
    order.push_back("outer begins");
    std::thread worker([&order] {
      for (int i = 0; i < 3; ++i)
        zr::UILoop::Post([&order, i] { order.push_back("inner" + std::to_string(i)); });
      zr::UILoop::Post([] { wxEventLoopBase::GetActive()->Exit(); });
    });
    wxEventLoop modal;
    {
      Watchdog watchdog(std::chrono::seconds(3));
      modal.Run();
      EXPECT_FALSE(watchdog.Fired());
    }
    worker.join();
    order.push_back("outer ends");
  };
  EXPECT_TRUE(LoopDrains(loop, nested));
  EXPECT_EQ((std::vector<std::string>{"outer begins", "inner0", "inner1", "inner2", "outer ends"}), order);
}

// Fires once; reports whether the flood was still running when the toolkit got its turn.
class FloodTimer : public wxTimer {
 public:
  FloodTimer(wxEventLoop* loop, std::atomic<bool>* floodEnded) : mLoop(loop), mFloodEnded(floodEnded) {}
  void Notify() override {
    fired = true;
    duringFlood = !mFloodEnded->load();
    mLoop->Exit();
  }
  bool fired = false;
  bool duringFlood = false;

 private:
  wxEventLoop* mLoop;
  std::atomic<bool>* mFloodEnded;
};

TEST(WxUILoopAdapter, TheToolkitGetsItsTurnWhileAnotherThreadFloodsTheQueue) {
  ASSERT_TRUE(zr::UILoop::AttachCurrentThread());
  wxInitializer initializer;
  ASSERT_TRUE(initializer.IsOk());
  wxEventLoop loop;
  zr::WxUILoopAdapter adapter;
  std::atomic<bool> stop{false}, floodEnded{false};
  std::atomic<long> posted{0}, ran{0};
  FloodTimer timer(&loop, &floodEnded);
  // Keeps a few hundred entries waiting, and each entry returns only once a newer one is queued, so every
  // drain sees posts land while it runs. Gives up on its own after a while, which is how a starved
  // toolkit shows.
  std::thread flood([&] {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stop && std::chrono::steady_clock::now() < giveUp) {
      if (posted - ran > 256) {
        std::this_thread::yield();
        continue;
      }
      const long index = posted;
      zr::UILoop::Post([&, index] {
        while (posted < index + 2 && !floodEnded) std::this_thread::yield();
        ++ran;
      });
      ++posted;
    }
    floodEnded = true;
  });
  while (posted < 256) std::this_thread::yield();
  timer.StartOnce(20);
  {
    Watchdog watchdog(std::chrono::seconds(20));
    loop.Run();
    EXPECT_FALSE(watchdog.Fired());
  }
  stop = true;
  flood.join();
  EXPECT_TRUE(timer.fired);
  EXPECT_TRUE(timer.duringFlood) << "the timer waited for the flood to end";
  EXPECT_GT(ran.load(), 0);
  while (zr::UILoop::RunPending() > 0) {
  }
  EXPECT_EQ(posted.load(), ran.load());
}

}  // namespace
