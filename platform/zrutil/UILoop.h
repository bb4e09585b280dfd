// The process-wide UI queue. Every listener call of the library runs on the application's UI thread; on
// this platform there is no window message queue, so UI-thread sinks and Releaser post into this queue
// and the UI thread drains it, either with the calls below or through an event-loop adapter
// (zr::WxUILoopAdapter) that drains it from a wxWidgets loop.
//
// Which thread is the UI thread (the one definition every other header refers to): the first thread that
// calls AttachCurrentThread(), creates a UI-thread command sink, creates a WxUILoopAdapter, or calls
// RunPending/RunUntil/Run. It stays the UI thread for the life of the process. An application should
// attach its main thread (the one that runs its event loop) before anything else touches the library.
//
// Posting is allowed from any thread; draining only on the UI thread (elsewhere the drain calls run
// nothing). Entries run with no lock held and may post, drain or shut sinks down.
#ifndef ZRUTIL_UILOOP_H
#define ZRUTIL_UILOOP_H

#include <chrono>
#include <functional>

#include "ZrUtilExport.h"

namespace zr {

class ZRUTIL_EXPORT UILoop {
 public:
  // Makes the calling thread the UI thread (once per process; later calls from another thread are
  // ignored and answer false).
  static bool AttachCurrentThread();
  static bool IsUIThread();

  // Runs the entries queued so far, oldest first; entries posted while running wait for the next call, so
  // a thread that posts without pause cannot keep it from returning. Answers how many ran.
  static int RunPending();
  // Runs entries as they arrive until done() holds (checked before waiting and after every entry) or the
  // time-out passes. Answers done()'s last value.
  static bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // For a UI thread without a loop of its own: runs entries until Quit().
  static void Run();
  // Any thread; a Quit while no Run() is active ends the next Run() at once.
  static void Quit();

  // Posts a function to run on the UI thread, after everything posted before it. Any thread.
  static void Post(std::function<void()> fn);

  // For a loop of the application's own (poll(), a toolkit): called from the posting thread, outside the
  // queue's lock, when an entry is posted and no wake-up is outstanding; a wake-up stays outstanding
  // until a RunPending() begins (or a RunUntil()/Run() ends with the queue empty). Every call must lead
  // to one RunPending() on the UI thread soon; posts meanwhile ride on it. Setting a hook while entries
  // wait calls it at once. Null removes the hook.
  static void SetWakeupHook(std::function<void()> hook);
};

}  // namespace zr

#endif
