#include "WxUILoopAdapter.h"

#include <wx/app.h>
#include <wx/event.h>

#include <mutex>

#include "UILoop.h"

namespace zr {

namespace {

// The one handler every drain goes through: CallAfter on a single handler keeps the order.
class DrainHandler : public wxEvtHandler {
 public:
  void Drain() { UILoop::RunPending(); }
};

// The adapter whose hook is set: one made to replace another takes over before the old one goes, and the
// old one must then leave the new hook alone. UI thread only.
const void* gHookOwner = nullptr;

}  // namespace

// The wakeup hook runs on posting threads and may race the adapter's destruction, so it reaches the
// handler only through this guarded pointer.
struct WxUILoopAdapter::Impl {
  struct Target {
    std::mutex mutex;
    DrainHandler* handler = nullptr;
  };
  std::shared_ptr<Target> target = std::make_shared<Target>();
  DrainHandler handler;
};

WxUILoopAdapter::WxUILoopAdapter() : mImpl(new Impl) {
  UILoop::AttachCurrentThread();
  mImpl->target->handler = &mImpl->handler;
  std::shared_ptr<Impl::Target> target = mImpl->target;
  gHookOwner = mImpl.get();
  UILoop::SetWakeupHook([target] {
    std::lock_guard<std::mutex> lock(target->mutex);
    if (target->handler) target->handler->CallAfter(&DrainHandler::Drain);
  });
}

WxUILoopAdapter::~WxUILoopAdapter() {
  {
    std::lock_guard<std::mutex> lock(mImpl->target->mutex);
    mImpl->target->handler = nullptr;
  }
  if (gHookOwner == mImpl.get()) {
    gHookOwner = nullptr;
    UILoop::SetWakeupHook(nullptr);
  }
  // The handler's destructor discards its drains not yet dispatched; entries stay in the UI queue.
}

}  // namespace zr
