#include "Releaser.h"

#include "Listener.h"
#include "UILoop.h"

void Releaser::ReleaseOnUIThread(Listener* listener) {
  if (!listener) return;
  if (zr::UILoop::IsUIThread()) {
    listener->Release();
    return;
  }
  // Plain UI-queue entries belong to no sink, so no sink's shutdown can drop a release.
  zr::UILoop::Post([listener] { listener->Release(); });
}
