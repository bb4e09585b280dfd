// Post-to-run latency of the two executors every request crosses: a worker thread posting to the UI
// sink (a reply reaching its listener), and the UI thread posting to a CommandThread (a request reaching
// the writer thread). Each iteration is one round trip: post a command, wait until it has run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Command.h"
#include "CommandSink.h"
#include "CommandThread.h"
#include "UILoop.h"

namespace {

class SignalCommand : public Command {
 public:
  explicit SignalCommand(std::atomic<long>* counter) : mCounter(counter) {}
  void Execute() override { mCounter->fetch_add(1, std::memory_order_release); }

 private:
  std::atomic<long>* mCounter;
};

// The benchmark's thread is the UI thread (it drains the UI queue); a worker posts to the UI sink and
// waits for each command to run before posting the next.
void BM_UISinkPostToRun(benchmark::State& state) {
  zr::UILoop::AttachCurrentThread();
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  std::atomic<long> ran{0};
  std::atomic<bool> stop{false};
  std::atomic<long> posted{0};
  std::thread worker([&] {
    long sent = 0;
    while (!stop.load(std::memory_order_acquire)) {
      if (ran.load(std::memory_order_acquire) == sent && posted.load(std::memory_order_acquire) > sent) {
        ++sent;
        sink->PostCommand(new SignalCommand(&ran));
      } else {
        std::this_thread::yield();
      }
    }
  });
  long expected = 0;
  for (auto _ : state) {
    posted.store(++expected, std::memory_order_release);
    zr::UILoop::RunUntil([&] { return ran.load(std::memory_order_acquire) == expected; },
                         std::chrono::seconds(10));
  }
  stop = true;
  worker.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UISinkPostToRun)->UseRealTime();

// SendCommand from a worker: the round trip a writer thread makes when it closes a channel.
void BM_UISinkSendCommand(benchmark::State& state) {
  zr::UILoop::AttachCurrentThread();
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  std::atomic<long> ran{0};
  std::atomic<long> wanted{0};
  std::thread worker([&] {
    long done = 0;
    for (;;) {
      long want = wanted.load(std::memory_order_acquire);
      if (want < 0) break;
      if (want > done) {
        sink->SendCommand(new SignalCommand(&ran));
        ++done;
      } else {
        std::this_thread::yield();
      }
    }
  });
  long expected = 0;
  for (auto _ : state) {
    wanted.store(++expected, std::memory_order_release);
    zr::UILoop::RunUntil([&] { return ran.load(std::memory_order_acquire) == expected; },
                         std::chrono::seconds(10));
  }
  wanted.store(-1, std::memory_order_release);
  worker.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UISinkSendCommand)->UseRealTime();

// The caller posts to a CommandThread and waits for the command to run on the worker.
void BM_CommandThreadPostToRun(benchmark::State& state) {
  CommandThread worker;
  std::atomic<long> ran{0};
  long expected = 0;
  for (auto _ : state) {
    worker.PostCommand(new SignalCommand(&ran));
    ++expected;
    while (ran.load(std::memory_order_acquire) != expected) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommandThreadPostToRun)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
