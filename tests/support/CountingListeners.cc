#include "CountingListeners.h"

#include <cstdio>

#include "UILoop.h"

namespace zr {
namespace test {

std::vector<std::string> ListenerRecord::Calls() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mCalls;
}

int ListenerRecord::CallCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return static_cast<int>(mCalls.size());
}

int ListenerRecord::CallCount(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mMutex);
  int count = 0;
  for (const std::string& call : mCalls) {
    if (call.compare(0, prefix.size(), prefix) == 0) ++count;
  }
  return count;
}

int ListenerRecord::CallsOffUIThread() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mCallsOffUIThread;
}

int ListenerRecord::Releases() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mReleases;
}

int ListenerRecord::ReleasesOffUIThread() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mReleasesOffUIThread;
}

void ListenerRecord::AddCall(const std::string& call, bool onUIThread) {
  std::lock_guard<std::mutex> lock(mMutex);
  mCalls.push_back(call);
  if (!onUIThread) ++mCallsOffUIThread;
}

void ListenerRecord::AddRelease(bool onUIThread) {
  std::lock_guard<std::mutex> lock(mMutex);
  ++mReleases;
  if (!onUIThread) ++mReleasesOffUIThread;
}

::testing::AssertionResult ReleasedOnceOnUIThread(const ListenerRecord& record) {
  int releases = record.Releases();
  int offUI = record.ReleasesOffUIThread();
  int callsOffUI = record.CallsOffUIThread();
  if (releases == 1 && offUI == 0 && callsOffUI == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "released " << releases << " time(s), " << offUI << " off the UI thread; " << callsOffUI
         << " call(s) off the UI thread";
}

::testing::AssertionResult NotReleased(const ListenerRecord& record) {
  int releases = record.Releases();
  if (releases == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "released " << releases << " time(s)";
}

std::string Text(const char* text) { return text ? std::string(text) : std::string("null"); }

bool CurrentThreadIsUIThread() { return UILoop::IsUIThread(); }

void CountingResultListener::OnSuccess() { Record("OnSuccess"); }

void CountingResultListener::OnFailure(const char* text) { Record("OnFailure(" + Text(text) + ")"); }

void CountingProgressListener::OnSuccess() { Record("OnSuccess"); }

void CountingProgressListener::OnFailure(const char* text) { Record("OnFailure(" + Text(text) + ")"); }

void CountingProgressListener::SetProgress(double fraction) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "SetProgress(%g)", fraction);
  Record(buffer);
}

void CountingProgressListener::AppendToLog(const char* text) { Record("AppendToLog(" + Text(text) + ")"); }

void CountingProgressListener::SetStatusText(const char* text) {
  Record("SetStatusText(" + Text(text) + ")");
}

}  // namespace test
}  // namespace zr
