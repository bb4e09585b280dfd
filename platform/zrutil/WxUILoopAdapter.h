// Drains the UI queue (zr::UILoop) from a wxWidgets event loop, GUI or console. Create one on the UI
// thread after wxWidgets is initialised and keep it for as long as the loop runs; all entries pass through
// one handler, so they keep their FIFO order. The newest adapter drains; destroying an older one leaves it
// be. UI thread only.
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
