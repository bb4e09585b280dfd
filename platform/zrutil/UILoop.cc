#include "UILoop.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Command.h"
#include "UIQueueInternal.h"

namespace zr {

namespace {

// A thread waiting in SendCommand; lives on that thread's stack and is signalled under the queue's lock,
// so the waiter cannot return (and destroy it) while the signal is still being given.
struct SendWait {
  enum State { kPending, kDone, kDropped };
  State state = kPending;
  std::condition_variable signal;
};

// One queued entry: a posted function, or a command of a UI-thread sink (with its waiter for
// SendCommand).
struct Entry {
  std::uint64_t sequence;
  std::function<void()> function;
  internal::UISinkState* sink;
  Command* command;
  SendWait* wait;
};

typedef std::shared_ptr<const std::function<void()>> WakeupHook;

struct Queue {
  std::mutex mutex;               // guards everything here and every UISinkState
  std::condition_variable ready;  // the UI thread waits here for entries or Quit
  std::deque<Entry> entries;
  std::uint64_t nextSequence = 0;
  bool quit = false;
  bool wakeupPending = false;  // the hook was called and no drain has started since
  WakeupHook wakeup;
};

// Never destroyed: workers may still post while the process exits.
Queue& TheQueue() {
  static Queue* queue = new Queue;
  return *queue;
}

std::atomic<std::thread::id> gUIThread{std::thread::id()};

// Appends under the lock; answers the wakeup hook to call once the lock is released, if any.
WakeupHook Push(Queue& queue, Entry&& entry) {
  entry.sequence = queue.nextSequence++;
  queue.entries.push_back(std::move(entry));
  if (queue.wakeup && !queue.wakeupPending) {
    queue.wakeupPending = true;
    return queue.wakeup;
  }
  return WakeupHook();
}

// Runs one entry taken off the queue; no lock held.
void RunEntry(Queue& queue, Entry& entry) {
  if (!entry.command) {
    entry.function();
    // Let go of what the function holds here, without the lock: its destructors may post again.
    entry.function = nullptr;
    return;
  }
  entry.command->Execute();
  delete entry.command;
  if (entry.wait) {
    std::lock_guard<std::mutex> lock(queue.mutex);
    entry.wait->state = SendWait::kDone;
    entry.wait->signal.notify_one();
  }
}

bool OnUIThread() { return UILoop::AttachCurrentThread(); }

// A drain loop that ran entries as they came leaves no wake-up owed once the queue is empty; without this
// the next post would find one still outstanding and call nobody. With entries left, the outstanding
// wake-up (given when the first of them was posted) still leads to a RunPending.
void EndDrainLoop(Queue& queue) {
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.entries.empty()) queue.wakeupPending = false;
}

}  // namespace

bool UILoop::AttachCurrentThread() {
  std::thread::id self = std::this_thread::get_id();
  std::thread::id expected;
  if (gUIThread.compare_exchange_strong(expected, self)) return true;
  return expected == self;
}

bool UILoop::IsUIThread() { return gUIThread.load() == std::this_thread::get_id(); }

int UILoop::RunPending() {
  if (!OnUIThread()) return 0;
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  queue.wakeupPending = false;
  const std::uint64_t limit = queue.nextSequence;
  int count = 0;
  while (!queue.entries.empty() && queue.entries.front().sequence < limit) {
    Entry entry = std::move(queue.entries.front());
    queue.entries.pop_front();
    lock.unlock();
    RunEntry(queue, entry);
    ++count;
    lock.lock();
  }
  return count;
}

bool UILoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  if (!OnUIThread()) return done();
  Queue& queue = TheQueue();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool finished = done();
  while (!finished) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (!queue.ready.wait_until(lock, deadline, [&queue] { return !queue.entries.empty(); })) {
      lock.unlock();
      finished = done();
      break;
    }
    Entry entry = std::move(queue.entries.front());
    queue.entries.pop_front();
    lock.unlock();
    RunEntry(queue, entry);
    finished = done();
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  EndDrainLoop(queue);
  return finished;
}

void UILoop::Run() {
  if (!OnUIThread()) return;
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    queue.ready.wait(lock, [&queue] { return queue.quit || !queue.entries.empty(); });
    if (queue.quit) {
      queue.quit = false;
      if (queue.entries.empty()) queue.wakeupPending = false;
      return;
    }
    Entry entry = std::move(queue.entries.front());
    queue.entries.pop_front();
    lock.unlock();
    RunEntry(queue, entry);
    lock.lock();
  }
}

void UILoop::Quit() {
  Queue& queue = TheQueue();
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.quit = true;
  }
  queue.ready.notify_all();
}

void UILoop::Post(std::function<void()> fn) {
  if (!fn) return;
  Queue& queue = TheQueue();
  WakeupHook wakeup;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    wakeup = Push(queue, Entry{0, std::move(fn), nullptr, nullptr, nullptr});
  }
  queue.ready.notify_one();
  if (wakeup) (*wakeup)();
}

void UILoop::SetWakeupHook(std::function<void()> hook) {
  Queue& queue = TheQueue();
  WakeupHook wakeup;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.wakeup = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : WakeupHook();
    queue.wakeupPending = false;
    // Entries posted before the hook was set must not wait for the next post.
    if (queue.wakeup && !queue.entries.empty()) {
      queue.wakeupPending = true;
      wakeup = queue.wakeup;
    }
  }
  if (wakeup) (*wakeup)();
}

namespace internal {

void PostSinkCommand(UISinkState* sink, Command* command) {
  if (!command) return;
  Queue& queue = TheQueue();
  WakeupHook wakeup;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (!sink->shutdown) {
      wakeup = Push(queue, Entry{0, std::function<void()>(), sink, command, nullptr});
      command = nullptr;
    }
  }
  if (command) {
    delete command;  // the sink is shut down: dropped without running
    return;
  }
  queue.ready.notify_one();
  if (wakeup) (*wakeup)();
}

void SendSinkCommand(UISinkState* sink, Command* command) {
  if (!command) return;
  Queue& queue = TheQueue();
  if (UILoop::IsUIThread()) {
    bool shutdown;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      shutdown = sink->shutdown;
    }
    if (!shutdown) command->Execute();
    delete command;
    return;
  }
  SendWait wait;
  std::unique_lock<std::mutex> lock(queue.mutex);
  if (sink->shutdown) {
    lock.unlock();
    delete command;
    return;
  }
  WakeupHook wakeup = Push(queue, Entry{0, std::function<void()>(), sink, command, &wait});
  lock.unlock();
  queue.ready.notify_one();
  if (wakeup) (*wakeup)();
  lock.lock();
  // Done: run and deleted by the UI thread; dropped: deleted by ShutdownSink. Either way it is gone.
  wait.signal.wait(lock, [&wait] { return wait.state != SendWait::kPending; });
}

void ShutdownSink(UISinkState* sink) {
  Queue& queue = TheQueue();
  std::vector<Command*> dropped;
  std::vector<SendWait*> waits;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (sink->shutdown) return;
    sink->shutdown = true;
    auto kept = std::remove_if(queue.entries.begin(), queue.entries.end(), [&](const Entry& entry) {
      if (entry.sink != sink) return false;
      dropped.push_back(entry.command);
      if (entry.wait) waits.push_back(entry.wait);
      return true;
    });
    queue.entries.erase(kept, queue.entries.end());
  }
  // Delete before releasing the senders: a command's destructor may still touch what its sender owns.
  for (Command* command : dropped) delete command;
  if (waits.empty()) return;
  std::lock_guard<std::mutex> lock(queue.mutex);
  for (SendWait* wait : waits) {
    wait->state = SendWait::kDropped;
    wait->signal.notify_one();
  }
}

}  // namespace internal

}  // namespace zr
