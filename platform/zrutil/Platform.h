// The few window-system calls the library needs, as hooks an application may set. On this platform the
// defaults do nothing.
#ifndef ZRUTIL_PLATFORM_H
#define ZRUTIL_PLATFORM_H

#include "ZrUtilExport.h"

namespace zr {

class ZRUTIL_EXPORT Platform {
 public:
  typedef void (*ForegroundWindowHook)(long windowHandle);
  // Brings the window with the given handle to the front. Null restores the default.
  static void SetForegroundWindowHook(ForegroundWindowHook hook);
  static void SetForegroundWindow(long windowHandle);
};

}  // namespace zr

#endif
