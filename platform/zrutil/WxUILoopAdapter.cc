#include "WxUILoopAdapter.h"

#include <wx/app.h>
#include <wx/event.h>

#include <mutex>

#include "UILoop.h"

namespace zr {

namespace {

// The one handler every drain goes through (CallAfter on a single handler keeps the order). It lives while
// any adapter does, so no adapter's end can take the scheduled drain with it.
class DrainHandler : public wxEvtHandler {
 public:
  void Drain();
};

// The hook runs on posting threads and may race the last adapter's end, so it reaches the handler only
// under this lock. The rest is UI-thread state.
struct Drainer {
  std::mutex mutex;
  DrainHandler* handler = nullptr;  // guarded by mutex

  int adapters = 0;
  wxAppConsole* idleSource = nullptr;  // the app whose idle events end a toolkit turn
  bool drainedThisTurn = false;        // a drain ran since the toolkit last went idle
  bool deferred = false;               // a wake-up waits for the next idle time
};

// Never destroyed: posting threads may call the hook while the process exits.
Drainer& TheDrainer() {
  static Drainer* drainer = new Drainer;
  return *drainer;
}

void Wake() {
  Drainer& drainer = TheDrainer();
  std::lock_guard<std::mutex> lock(drainer.mutex);
  if (drainer.handler) drainer.handler->CallAfter(&DrainHandler::Drain);
}

// A wake-up that arrives in the same turn as a drain (posted while it ran) would otherwise be handled in
// the same sweep of wx's pending events, and the next one after it, for as long as other threads post:
// the toolkit would never get control back. It waits for the idle time instead; the wake-up stays
// outstanding meanwhile, so the posts in between call no hook.
void DrainHandler::Drain() {
  Drainer& drainer = TheDrainer();
  if (drainer.drainedThisTurn) {
    if (!drainer.deferred) {
      drainer.deferred = true;
      wxWakeUpIdle();
    }
    return;
  }
  drainer.drainedThisTurn = true;
  // May destroy this handler (an entry dropping the last adapter): nothing of it is touched afterwards.
  UILoop::RunPending();
}

void OnIdle(wxIdleEvent& event) {
  event.Skip();
  Drainer& drainer = TheDrainer();
  drainer.drainedThisTurn = false;
  if (drainer.deferred) {
    drainer.deferred = false;
    Wake();
  }
}

}  // namespace

struct WxUILoopAdapter::Impl {};

WxUILoopAdapter::WxUILoopAdapter() : mImpl(new Impl) {
  UILoop::AttachCurrentThread();
  Drainer& drainer = TheDrainer();
  if (drainer.adapters++ > 0) return;
  {
    std::lock_guard<std::mutex> lock(drainer.mutex);
    drainer.handler = new DrainHandler;
  }
  drainer.drainedThisTurn = false;
  drainer.deferred = false;
  drainer.idleSource = wxTheApp;
  if (drainer.idleSource) drainer.idleSource->Bind(wxEVT_IDLE, &OnIdle);
  UILoop::SetWakeupHook(&Wake);  // wakes at once for entries already waiting
}

WxUILoopAdapter::~WxUILoopAdapter() {
  Drainer& drainer = TheDrainer();
  if (--drainer.adapters > 0) return;
  DrainHandler* handler;
  {
    std::lock_guard<std::mutex> lock(drainer.mutex);
    handler = drainer.handler;
    drainer.handler = nullptr;
  }
  UILoop::SetWakeupHook(nullptr);
  if (drainer.idleSource && drainer.idleSource == wxTheApp) drainer.idleSource->Unbind(wxEVT_IDLE, &OnIdle);
  drainer.idleSource = nullptr;
  drainer.deferred = false;
  // Discards the drains not yet dispatched; the entries stay in the UI queue for whoever drains next.
  delete handler;
}

}  // namespace zr
