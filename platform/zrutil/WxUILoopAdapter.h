// Drains the UI queue (zr::UILoop) from a wxWidgets event loop, GUI or console. Create one on the UI
// thread after wxWidgets is initialised and keep it for as long as the loop runs. Adapters may nest (a
// dialog or plug-in making its own): while any adapter is alive the loop drains the queue, whichever of
// them is destroyed first. All entries pass through one handler, so they keep their FIFO order.
//
// Fairness: one wake-up runs at most what was queued when its drain began; entries posted meanwhile wait
// until the toolkit has had its turn (the loop's next idle time), so threads that post without pause
// cannot freeze the windows, timers or pending events of the application. UI thread only.
#ifndef ZRUTIL_WXUILOOPADAPTER_H
#define ZRUTIL_WXUILOOPADAPTER_H

#include <memory>

#include "ZrUtilExport.h"

namespace zr {

class ZRUTIL_EXPORT WxUILoopAdapter {
 public:
  WxUILoopAdapter();
  ~WxUILoopAdapter();

 private:
  WxUILoopAdapter(const WxUILoopAdapter&) = delete;
  WxUILoopAdapter& operator=(const WxUILoopAdapter&) = delete;
  struct Impl;
  std::unique_ptr<Impl> mImpl;
};

}  // namespace zr

#endif
