// Running the UI queue (zr::UILoop) from a test's main thread, which is the UI thread of every test
// program: the first call makes the calling thread the UI thread if none is yet.
#ifndef ZRAPPAPI_TESTS_UIPUMP_H
#define ZRAPPAPI_TESTS_UIPUMP_H

#include <chrono>
#include <functional>

namespace zr {
namespace test {

// Runs UI entries until done() holds or the time-out passes; answers done()'s last value. done() is also
// checked every few milliseconds, so it may watch state that other threads change without posting.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// Runs UI entries as they arrive for the given time.
void PumpFor(std::chrono::milliseconds duration);
// Runs what is queued now; answers how many entries ran.
int PumpPending();

}  // namespace test
}  // namespace zr

#endif
