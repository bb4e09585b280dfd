#include "CommandThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Command.h"

namespace {

// Runs a function; counts its own deletion.
class FunctionCommand : public Command {
 public:
  FunctionCommand(std::function<void()> run, std::atomic<int>* deleted)
      : mRun(std::move(run)), mDeleted(deleted) {}
  ~FunctionCommand() override {
    if (mDeleted) ++*mDeleted;
  }
  void Execute() override { mRun(); }

 private:
  std::function<void()> mRun;
  std::atomic<int>* mDeleted;
};

// A one-shot gate a command can block on.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mMutex);
    mOpen = true;
    mChanged.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait(lock, [this] { return mOpen; });
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mOpen = false;
};

// Several posters at once: each poster's commands run in its order, all on one worker started by the
// first post, each deleted after running.
TEST(CommandThread, RunsEachPostersCommandsInOrderOnOneLazyWorker) {
  const int kPosters = 4, kEach = 500;
  std::vector<std::vector<int>> seen(kPosters);  // worker only, read after the join
  std::set<std::thread::id> threads;
  bool allOnWorker = true;
  std::atomic<int> deleted{0};
  {
    CommandThread worker;
    EXPECT_FALSE(worker.IsCurrentThread());
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
      posters.emplace_back([&, p] {
        for (int i = 0; i < kEach; ++i) {
          worker.PostCommand(new FunctionCommand(
              [&, p, i] {
                seen[p].push_back(i);
                threads.insert(std::this_thread::get_id());
                allOnWorker = allOnWorker && worker.IsCurrentThread();
              },
              &deleted));
        }
      });
    }
    for (auto& t : posters) t.join();
    std::promise<void> done;
    worker.PostCommand(new FunctionCommand([&] { done.set_value(); }, &deleted));
    done.get_future().wait();
    EXPECT_FALSE(worker.IsCurrentThread());
  }
  for (int p = 0; p < kPosters; ++p) {
    ASSERT_EQ(static_cast<size_t>(kEach), seen[p].size());
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(i, seen[p][i]);
  }
  EXPECT_EQ(1u, threads.size());
  EXPECT_EQ(0u, threads.count(std::this_thread::get_id()));
  EXPECT_TRUE(allOnWorker);
  EXPECT_EQ(kPosters * kEach + 1, deleted.load());
}

TEST(CommandThread, ShutdownWaitsForRunningCommandAndDeletesTheRest) {
  std::atomic<int> deleted{0};
  std::atomic<int> ran{0};
  std::atomic<bool> firstFinished{false};
  Gate started, go;
  CommandThread worker;
  worker.PostCommand(new FunctionCommand(
      [&] {
        started.Open();
        go.Wait();
        firstFinished = true;
      },
      &deleted));
  for (int i = 0; i < 10; ++i) worker.PostCommand(new FunctionCommand([&] { ++ran; }, &deleted));
  started.Wait();

  std::atomic<bool> shutdownReturned{false};
  bool firstFinishedAtReturn = false;
  std::thread stopper([&] {
    worker.Shutdown();
    firstFinishedAtReturn = firstFinished.load();
    shutdownReturned = true;
  });
  // Probe until the queue refuses: a command posted after Shutdown is deleted before PostCommand returns.
  // Probes that got in before are queued behind the blocked command and must never run either.
  std::deque<std::atomic<int>> probeDeleted;
  int probes = 0;
  for (;;) {
    probeDeleted.emplace_back(0);
    ++probes;
    worker.PostCommand(new FunctionCommand([&] { ++ran; }, &probeDeleted.back()));
    if (probeDeleted.back().load() == 1) break;
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(shutdownReturned.load());  // still waiting for the running command
  go.Open();
  stopper.join();
  EXPECT_TRUE(firstFinishedAtReturn);
  EXPECT_EQ(0, ran.load());
  EXPECT_EQ(11, deleted.load());
  for (auto& d : probeDeleted) EXPECT_EQ(1, d.load());
  EXPECT_GE(probes, 1);

  // Posts after Shutdown: deleted at once, never run; a second Shutdown is harmless.
  worker.PostCommand(new FunctionCommand([&] { ++ran; }, &deleted));
  EXPECT_EQ(12, deleted.load());
  worker.Shutdown();
  EXPECT_EQ(0, ran.load());

  // Shut down before any post: no thread ever starts, posts are deleted unrun.
  CommandThread unstarted;
  unstarted.Shutdown();
  unstarted.PostCommand(new FunctionCommand([&] { ++ran; }, &deleted));
  EXPECT_EQ(13, deleted.load());
  EXPECT_EQ(0, ran.load());
  CommandThread unused;  // never posted to: destroyed without a thread
}

// A running command may take over the commands queued behind it, one at a time and only those it
// accepts; the first refused one stops it, and after Shutdown it gets none.
TEST(CommandThread, ARunningCommandTakesOverOnlyTheAcceptedCommandsAtTheHead) {
  std::atomic<int> deleted{0};
  std::vector<int> ran;  // touched only by the worker until it is joined
  std::vector<int> taken;
  Gate queued, finished;
  CommandThread worker;
  auto accept = [](Command* command, void* context) {
    return static_cast<std::set<Command*>*>(context)->count(command) > 0;
  };
  std::set<Command*> acceptable;
  worker.PostCommand(new FunctionCommand(
      [&] {
        queued.Wait();
        while (Command* next = worker.TakeNextCommandIf(accept, &acceptable)) {
          taken.push_back(static_cast<int>(taken.size()) + 1);
          delete next;  // the taker owns it
        }
        ran.push_back(0);
      },
      &deleted));
  std::vector<Command*> behind;
  for (int i = 1; i <= 4; ++i) {
    behind.push_back(new FunctionCommand([&ran, i] { ran.push_back(i); }, &deleted));
    if (i != 3) acceptable.insert(behind.back());
  }
  for (Command* c : behind) worker.PostCommand(c);
  queued.Open();
  // Then shut down from a command: nothing more is handed over.
  std::atomic<bool> sawNone{false};
  worker.PostCommand(new FunctionCommand(
      [&] {
        worker.Shutdown();
        sawNone = worker.TakeNextCommandIf([](Command*, void*) { return true; }, nullptr) == nullptr;
        finished.Open();
      },
      &deleted));
  worker.PostCommand(new FunctionCommand([&] { ran.push_back(99); }, &deleted));
  finished.Wait();
  worker.Shutdown();
  EXPECT_EQ((std::vector<int>{1, 2}), taken);
  EXPECT_EQ((std::vector<int>{0, 3, 4}), ran);  // 4 was acceptable but behind the refused 3
  EXPECT_TRUE(sawNone.load());
  EXPECT_EQ(7, deleted.load());
}

TEST(CommandThread, WorkerMayPostToItselfAndShutItselfDown) {
  std::atomic<int> deleted{0};
  std::vector<int> order;  // worker only, read after the join
  std::promise<void> selfPostRan, shutDown;
  std::atomic<int> ranAfterShutdown{0};
  Gate go;
  {
    CommandThread worker;
    worker.PostCommand(new FunctionCommand(
        [&] {
          go.Wait();
          order.push_back(1);
          worker.PostCommand(new FunctionCommand(
              [&] {
                order.push_back(3);
                selfPostRan.set_value();
              },
              &deleted));
          order.push_back(2);
        },
        &deleted));
    worker.PostCommand(new FunctionCommand([&] { order.push_back(4); }, &deleted));
    go.Open();
    selfPostRan.get_future().wait();
    worker.PostCommand(new FunctionCommand(
        [&] {
          // Shutting down from the worker must not wait for itself; later posts are deleted unrun.
          worker.Shutdown();
          worker.PostCommand(new FunctionCommand([&] { ++ranAfterShutdown; }, &deleted));
          shutDown.set_value();
        },
        &deleted));
    worker.PostCommand(new FunctionCommand([&] { ++ranAfterShutdown; }, &deleted));
    shutDown.get_future().wait();
  }                                                  // the destructor joins the worker that shut itself down
  EXPECT_EQ((std::vector<int>{1, 2, 4, 3}), order);  // the self-post went to the back of the queue
  EXPECT_EQ(0, ranAfterShutdown.load());
  EXPECT_EQ(6, deleted.load());
}

// The worker finishes the command that destroyed its CommandThread without touching the dead object
// (ASan reports a use after free otherwise).
TEST(CommandThread, ACommandMayDestroyItsOwnThread) {
  std::atomic<int> deleted{0};
  auto* worker = new CommandThread;
  worker->PostCommand(new FunctionCommand([worker] { delete worker; }, &deleted));
  for (int i = 0; i < 500 && deleted.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(1, deleted.load());
}

}  // namespace
