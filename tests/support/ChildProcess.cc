#include "ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace zr {
namespace test {

::testing::AssertionResult FinishesInChild(const std::function<void()>& body,
                                           std::chrono::milliseconds timeout) {
  fflush(stdout);
  fflush(stderr);
  pid_t child = fork();
  if (child < 0) return ::testing::AssertionFailure() << "fork failed";
  if (child == 0) {
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0) return ::testing::AssertionFailure() << "waitpid failed";
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return ::testing::AssertionFailure() << "still running after " << timeout.count() << " ms: hung";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ::testing::AssertionSuccess();
  if (WIFSIGNALED(status))
    return ::testing::AssertionFailure() << "child died of signal " << WTERMSIG(status);
  return ::testing::AssertionFailure() << "child failed (exit " << WEXITSTATUS(status) << ")";
}

}  // namespace test
}  // namespace zr
