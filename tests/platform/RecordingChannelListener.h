// Test listener for channel readers: records, thread-safely, every report (message copies, closes,
// failures with their code), the threads they ran on, and its release, into a record the test keeps.
#ifndef ZRAPPAPI_TESTS_RECORDINGCHANNELLISTENER_H
#define ZRAPPAPI_TESTS_RECORDINGCHANNELLISTENER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "IPCMessage.h"
#include "IPCMessageListener.h"

namespace zr {
namespace test {

struct ChannelRecord {
  // Recursive, so the accessors below may be used inside WaitFor's condition.
  std::recursive_mutex mutex;
  std::condition_variable_any changed;
  std::vector<std::string> messages;  // serialised copies, in arrival order
  std::vector<std::string> events;    // "message", "closed", "failed:<code>"
  std::set<std::thread::id> threads;
  int releases = 0;

  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::unique_lock<std::recursive_mutex> lock(mutex);
    return changed.wait_for(lock, timeout, condition);
  }
  size_t MessageCount() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return messages.size();
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return events;
  }
  int Releases() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return releases;
  }
  // How many channel-gone reports arrived.
  int GoneCount() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    int n = 0;
    for (const auto& e : events) n += e != "message";
    return n;
  }
};

class RecordingChannelListener : public IPCMessageListener {
 public:
  explicit RecordingChannelListener(std::shared_ptr<ChannelRecord> record) : mRecord(std::move(record)) {}

  void OnMessageArrived(IPCMessage* msg) override {
    std::string copy = IPC_Serialize(msg);
    {
      std::lock_guard<std::recursive_mutex> lock(mRecord->mutex);
      mRecord->messages.push_back(copy);
      mRecord->events.push_back("message");
      mRecord->threads.insert(std::this_thread::get_id());
    }
    mRecord->changed.notify_all();
    if (onMessage) onMessage(msg);
  }
  void OnChannelClosed() override { Gone("closed"); }
  void OnChannelFailed(int error) override { Gone("failed:" + std::to_string(error)); }
  void Release() override {
    {
      std::lock_guard<std::recursive_mutex> lock(mRecord->mutex);
      ++mRecord->releases;
    }
    mRecord->changed.notify_all();
    delete this;
  }

  // Optional hooks, run on the reader thread after recording.
  std::function<void(IPCMessage*)> onMessage;
  std::function<void()> onGone;

 private:
  void Gone(const std::string& what) {
    {
      std::lock_guard<std::recursive_mutex> lock(mRecord->mutex);
      mRecord->events.push_back(what);
      mRecord->threads.insert(std::this_thread::get_id());
    }
    mRecord->changed.notify_all();
    if (onGone) onGone();
  }

  std::shared_ptr<ChannelRecord> mRecord;
};

}  // namespace test
}  // namespace zr

#endif
