// A wxGTK application built against the installed library, as the suite's desktop applications are: a
// frame, the wx loop adapter draining the UI queue, a worker that reaches the UI thread through a UI-thread
// sink, then a flood of posts from that worker during which a timer must still fire and close the frame.
// Exits 0 when all of that held.
#include <wx/frame.h>
#include <wx/timer.h>
#include <wx/wx.h>
#include <zrappapi/zrappapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

class App;

class Mark : public Command {
 public:
  explicit Mark(App* app) : mApp(app) {}
  void Execute() override;

 private:
  App* mApp;
};

class CloseTimer : public wxTimer {
 public:
  explicit CloseTimer(App* app) : mApp(app) {}
  void Notify() override;

 private:
  App* mApp;
};

class App : public wxApp {
 public:
  bool OnInit() override {
    zr::UILoop::AttachCurrentThread();
    mFrame = new wxFrame(nullptr, wxID_ANY, "zrappapi consumer");
    mFrame->Show();
    mAdapter.reset(new zr::WxUILoopAdapter);
    mSink.reset(CommandSink::CreateUIThreadCommandSink());
    mWorker = std::thread([this] { Work(); });
    return true;
  }

  int OnRun() override {
    wxApp::OnRun();
    const bool ok = drainedOnUIThread && sendReturned && closedDuringFlood;
    std::printf(
        "gui consumer: drained on the UI thread %d, SendCommand returned %d, frame closed during a flood "
        "%d\n",
        drainedOnUIThread, sendReturned.load(), closedDuringFlood);
    return ok ? 0 : 1;
  }

  int OnExit() override {
    mStop = true;
    mWorker.join();
    while (zr::UILoop::RunPending() > 0) {
    }
    mSink.reset();
    mAdapter.reset();
    return wxApp::OnExit();
  }

  // UI thread: the worker's command ran; start the flood and give the toolkit a timer to fire meanwhile.
  void Marked() {
    drainedOnUIThread = zr::UILoop::IsUIThread() && wxIsMainThread();
    mTimer.StartOnce(100);
  }

  void TimerFired() {
    closedDuringFlood = mFlooding && !mFloodEnded;
    mFrame->Close();
  }

  bool drainedOnUIThread = false;
  std::atomic<bool> sendReturned{false};
  bool closedDuringFlood = false;

 private:
  void Work() {
    mSink->SendCommand(new Mark(this));  // returns once the wx loop has run it
    sendReturned = true;
    // Each entry returns only once a newer one is queued, so every drain sees posts land while it runs.
    // Gives up after a while, which is how a starved toolkit shows.
    mFlooding = true;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!mStop && std::chrono::steady_clock::now() < giveUp) {
      if (mPosted - mRan > 256) {
        std::this_thread::yield();
        continue;
      }
      const long index = mPosted;
      zr::UILoop::Post([this, index] {
        while (mPosted < index + 2 && !mFloodEnded) std::this_thread::yield();
        ++mRan;
      });
      ++mPosted;
    }
    mFloodEnded = true;
  }

  wxFrame* mFrame = nullptr;
  std::unique_ptr<zr::WxUILoopAdapter> mAdapter;
  std::unique_ptr<CommandSink> mSink;
  CloseTimer mTimer{this};
  std::thread mWorker;
  std::atomic<bool> mStop{false}, mFlooding{false}, mFloodEnded{false};
  std::atomic<long> mPosted{0}, mRan{0};
};

void Mark::Execute() { mApp->Marked(); }
void CloseTimer::Notify() { mApp->TimerFired(); }

}  // namespace

wxIMPLEMENT_APP(App);
