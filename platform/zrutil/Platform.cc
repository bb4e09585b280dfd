#include "Platform.h"

#include <atomic>

namespace zr {

namespace {

std::atomic<Platform::ForegroundWindowHook> gForegroundWindowHook{nullptr};

}  // namespace

void Platform::SetForegroundWindowHook(ForegroundWindowHook hook) { gForegroundWindowHook.store(hook); }

void Platform::SetForegroundWindow(long windowHandle) {
  ForegroundWindowHook hook = gForegroundWindowHook.load();
  if (hook) hook(windowHandle);
}

}  // namespace zr
