// Counting listeners for tests: each records every call it receives (name and arguments, in order) and
// every Release(), with whether it ran on the UI thread, into a ListenerRecord that the test keeps. The
// record is shared (std::shared_ptr) and outlives the listener, whose Release() deletes it as the
// library's default does, so a test can hand a listener over and still check afterwards that it was
// released exactly once, on the UI thread.
//
// To count another listener interface, derive from Counting<ThatInterface> and report each call with
// Record("OnSomething(" + arg + ")"); the release logic comes with the base.
//
// Records are thread-safe: a wrong-thread call is recorded (and reported), not a data race.
#ifndef ZRAPPAPI_TESTS_COUNTINGLISTENERS_H
#define ZRAPPAPI_TESTS_COUNTINGLISTENERS_H

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Listener.h"

namespace zr {
namespace test {

class ListenerRecord {
 public:
  // Every call so far, oldest first, e.g. {"OnFailure(zorlinClient.writeMessageFailed)"}.
  std::vector<std::string> Calls() const;
  int CallCount() const;
  // How many recorded calls start with prefix (e.g. "OnSuccess", "SetProgress(").
  int CallCount(const std::string& prefix) const;
  // Calls that did not run on the UI thread.
  int CallsOffUIThread() const;
  int Releases() const;
  int ReleasesOffUIThread() const;
  bool Released() const { return Releases() > 0; }

  void AddCall(const std::string& call, bool onUIThread);
  void AddRelease(bool onUIThread);

 private:
  mutable std::mutex mMutex;
  std::vector<std::string> mCalls;
  int mCallsOffUIThread = 0;
  int mReleases = 0;
  int mReleasesOffUIThread = 0;
};

// Success when the listener was released exactly once, on the UI thread, and every call it received ran
// on the UI thread: EXPECT_TRUE(ReleasedOnceOnUIThread(*record)).
::testing::AssertionResult ReleasedOnceOnUIThread(const ListenerRecord& record);
// Success when it has not been released (yet), e.g. for a listener the library must keep.
::testing::AssertionResult NotReleased(const ListenerRecord& record);

// Text of a nullable C string for a call record: the text itself, or "null".
std::string Text(const char* text);

// The counting base over any Listener interface.
template <typename Interface>
class Counting : public Interface {
 public:
  Counting() : mRecord(std::make_shared<ListenerRecord>()) {}
  explicit Counting(std::shared_ptr<ListenerRecord> record) : mRecord(std::move(record)) {}
  const std::shared_ptr<ListenerRecord>& record() const { return mRecord; }

  void Release() override {
    mRecord->AddRelease(IsUIThread());
    delete this;
  }

 protected:
  void Record(const std::string& call) { mRecord->AddCall(call, IsUIThread()); }

 private:
  static bool IsUIThread();
  std::shared_ptr<ListenerRecord> mRecord;
};

bool CurrentThreadIsUIThread();

template <typename Interface>
bool Counting<Interface>::IsUIThread() {
  return CurrentThreadIsUIThread();
}

typedef Counting<Listener> CountingListener;

class CountingResultListener : public Counting<ResultListener> {
 public:
  using Counting<ResultListener>::Counting;
  void OnSuccess() override;
  void OnFailure(const char* text) override;  // recorded as "OnFailure(<text or null>)"
};

class CountingProgressListener : public Counting<ProgressListener> {
 public:
  using Counting<ProgressListener>::Counting;
  void OnSuccess() override;
  void OnFailure(const char* text) override;
  void SetProgress(double fraction) override;  // "SetProgress(%g)"
  void AppendToLog(const char* text) override;
  void SetStatusText(const char* text) override;
};

}  // namespace test
}  // namespace zr

#endif
