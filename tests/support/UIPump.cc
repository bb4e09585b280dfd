#include "UIPump.h"

#include <algorithm>

#include "UILoop.h"

namespace zr {
namespace test {

namespace {

const std::chrono::milliseconds kSlice(5);

}  // namespace

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  UILoop::AttachCurrentThread();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) return done();
    if (UILoop::RunUntil(done, std::min(left, kSlice))) return true;
  }
}

void PumpFor(std::chrono::milliseconds duration) {
  UILoop::AttachCurrentThread();
  UILoop::RunUntil([] { return false; }, duration);
}

int PumpPending() {
  UILoop::AttachCurrentThread();
  return UILoop::RunPending();
}

}  // namespace test
}  // namespace zr
