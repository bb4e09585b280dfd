#include "WxUILoopAdapter.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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

}  // namespace
