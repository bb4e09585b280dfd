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
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::recursive_mutex> lock(mutex);
    return changed.wait_for(lock, timeout, condition);
  }
  template <typename T>
  T Read(const T& field) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return field;
  }
  size_t MessageCount() { return Read(messages).size(); }
  std::vector<std::string> Events() { return Read(events); }
  int Releases() { return Read(releases); }
  // How many channel-gone reports arrived.
  int GoneCount() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return static_cast<int>(events.size() - messages.size());
  }
  void Add(const std::string& event, const std::string* message) {
    {
      std::lock_guard<std::recursive_mutex> lock(mutex);
      if (message) messages.push_back(*message);
      events.push_back(event);
      threads.insert(std::this_thread::get_id());
    }
    changed.notify_all();
  }
};

class RecordingChannelListener : public IPCMessageListener {
 public:
  explicit RecordingChannelListener(std::shared_ptr<ChannelRecord> record) : mRecord(std::move(record)) {}

  void OnMessageArrived(IPCMessage* msg) override {
    std::string copy = IPC_Serialize(msg);
    mRecord->Add("message", &copy);
    if (onMessage) onMessage(msg);
  }
  void OnChannelClosed() override { mRecord->Add("closed", nullptr); }
  void OnChannelFailed(int error) override { mRecord->Add("failed:" + std::to_string(error), nullptr); }
  void Release() override {
    {
      std::lock_guard<std::recursive_mutex> lock(mRecord->mutex);
      ++mRecord->releases;
    }
    mRecord->changed.notify_all();
    delete this;
  }

  // Optional, run on the reader thread after recording.
  std::function<void(IPCMessage*)> onMessage;

 private:
  std::shared_ptr<ChannelRecord> mRecord;
};

}  // namespace test
}  // namespace zr

#endif
