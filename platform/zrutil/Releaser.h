// Releases a listener on the UI thread: at once when called there, else through the UI queue.
#ifndef ZRUTIL_RELEASER_H
#define ZRUTIL_RELEASER_H

#include "ZrUtilExport.h"

class Listener;

class ZRUTIL_EXPORT Releaser {
 public:
  static void ReleaseOnUIThread(Listener* listener);  // any thread; null is ignored
};

#endif
