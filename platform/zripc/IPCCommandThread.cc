#include "IPCCommandThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "IPCChannelInternal.h"
#include "IPCFrame.h"
#include "IPCMessageListener.h"

namespace {

// Everything the reader thread touches; shared with it so that a Shutdown from inside a report (which
// cannot join its own thread) leaves the thread valid state to finish with.
struct ReaderState {
  // Held by the reader while it reads and reports. Other threads take it before changing the channel or
  // the listener, which is what makes "no report about the old channel follows" hold.
  std::mutex reportLock;
  std::mutex stateLock;
  std::condition_variable stateChanged;
  IPCChannel* channel = nullptr;        // SetChannel's reference
  std::atomic<uint64_t> generation{0};  // bumped by every SetChannel
  std::atomic<bool> shutdown{false};
  IPCMessageListener* listener = nullptr;    // owned
  std::vector<IPCMessageListener*> retired;  // replaced during a report; released after it
  int wakeFd = -1;

  ReaderState() { wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~ReaderState() {
    if (wakeFd >= 0) close(wakeFd);
  }

  void Wake() { zr::ipc::WakeEventFd(wakeFd); }
};

thread_local ReaderState* tCurrentReader = nullptr;

void ReleaseRetired(ReaderState* s) {
  std::vector<IPCMessageListener*> done;
  {
    std::lock_guard<std::mutex> lock(s->stateLock);
    done.swap(s->retired);
  }
  for (IPCMessageListener* l : done) l->Release();
}

enum class Gone { kNo, kClosed, kFailed };

void RunReader(std::shared_ptr<ReaderState> state) {
  ReaderState* s = state.get();
  tCurrentReader = s;
  zr::ipc::FrameReader frames;
  IPCMessage* msg = IPC_NewMessage();
  IPCChannel* reading = nullptr;  // the reader's own reference
  uint64_t readingGen = 0;
  uint64_t doneGen = 0;  // generation whose end was reported

  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s->stateLock);
      for (;;) {
        if (s->shutdown) break;
        uint64_t gen = s->generation.load(std::memory_order_relaxed);
        if (gen != readingGen) {
          if (s->channel != reading) {
            frames.Reset();
            if (s->channel != nullptr) IPC_ChannelAddRef(s->channel);
            if (reading != nullptr) IPC_ChannelRelease(reading);
            reading = s->channel;
          }
          readingGen = gen;
        }
        if (reading != nullptr && doneGen != readingGen) break;
        s->stateChanged.wait(lock);
      }
      if (s->shutdown) break;
    }

    pollfd fds[2];
    fds[0].fd = zr::ipc::ChannelSocket(reading);
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    fds[1].fd = s->wakeFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    if (poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[1].revents != 0) zr::ipc::DrainEventFd(s->wakeFd);
    if (fds[0].revents == 0) continue;

    std::unique_lock<std::mutex> report(s->reportLock);
    if (s->generation.load(std::memory_order_acquire) != readingGen) continue;
    zr::ipc::FrameReader::Status filled = frames.Fill(fds[0].fd);
    Gone gone = Gone::kNo;
    int error = 0;
    if (filled == zr::ipc::FrameReader::Status::kClosed) {
      gone = Gone::kClosed;
    } else if (filled == zr::ipc::FrameReader::Status::kFailed) {
      gone = Gone::kFailed;
      error = frames.error();
    }
    // Complete frames first; the end of the channel is reported after them.
    while (s->generation.load(std::memory_order_acquire) == readingGen && !s->shutdown) {
      zr::ipc::FrameReader::Status next = frames.Next(msg);
      if (next == zr::ipc::FrameReader::Status::kNeedMore) break;
      if (next == zr::ipc::FrameReader::Status::kFailed) {
        gone = Gone::kFailed;
        error = frames.error();
        break;
      }
      if (s->listener != nullptr) s->listener->OnMessageArrived(msg);
      if (!s->retired.empty()) ReleaseRetired(s);
    }
    if (gone == Gone::kNo || s->generation.load(std::memory_order_acquire) != readingGen) continue;
    // A stream out of step cannot be resynchronised: end it for the writers too.
    if (gone == Gone::kFailed) zr::ipc::ShutdownChannel(reading);
    doneGen = readingGen;
    frames.Reset();
    if (s->listener != nullptr) {
      if (gone == Gone::kClosed) {
        s->listener->OnChannelClosed();
      } else {
        s->listener->OnChannelFailed(error);
      }
    }
    if (!s->retired.empty()) ReleaseRetired(s);
  }

  if (reading != nullptr) IPC_ChannelRelease(reading);
  IPC_DestroyMessage(msg);
  ReleaseRetired(s);
  tCurrentReader = nullptr;
}

}  // namespace

struct IPCCommandThread::Impl {
  std::shared_ptr<ReaderState> state = std::make_shared<ReaderState>();
  std::thread thread;
  bool started = false;  // under state->stateLock
};

IPCCommandThread::IPCCommandThread() : mImpl(new Impl()) {}

IPCCommandThread::~IPCCommandThread() { Shutdown(); }

void IPCCommandThread::SetChannel(IPCChannel* channel) {
  ReaderState* s = mImpl->state.get();
  bool onReader = tCurrentReader == s;
  if (channel != nullptr) IPC_ChannelAddRef(channel);
  std::unique_lock<std::mutex> report(s->reportLock, std::defer_lock);
  if (!onReader) report.lock();  // waits out a report in progress
  IPCChannel* old;
  {
    std::lock_guard<std::mutex> lock(s->stateLock);
    if (s->shutdown) {
      old = channel;  // nothing reads after Shutdown; give the reference back
    } else {
      old = s->channel;
      s->channel = channel;
      s->generation.fetch_add(1, std::memory_order_acq_rel);
      if (channel != nullptr && !mImpl->started) {
        mImpl->started = true;
        mImpl->thread = std::thread(RunReader, mImpl->state);
      }
    }
  }
  s->stateChanged.notify_all();
  s->Wake();
  if (report.owns_lock()) report.unlock();
  if (old != nullptr) IPC_ChannelRelease(old);
}

void IPCCommandThread::SetMessageListener(IPCMessageListener* listener) {
  ReaderState* s = mImpl->state.get();
  bool onReader = tCurrentReader == s;
  std::unique_lock<std::mutex> report(s->reportLock, std::defer_lock);
  if (!onReader) report.lock();
  IPCMessageListener* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(s->stateLock);
    if (s->shutdown) {
      old = listener;  // nothing will report to it: give it back at once
    } else if (listener == s->listener) {
      // Already ours.
    } else {
      old = s->listener;
      s->listener = listener;
      // From inside a report, the old listener may be the one running: release it after the report.
      if (onReader && old != nullptr) {
        s->retired.push_back(old);
        old = nullptr;
      }
    }
  }
  if (report.owns_lock()) report.unlock();
  if (old != nullptr) old->Release();
}

void IPCCommandThread::Shutdown() {
  ReaderState* s = mImpl->state.get();
  bool onReader = tCurrentReader == s;
  IPCChannel* channel = nullptr;
  IPCMessageListener* listener = nullptr;
  std::unique_lock<std::mutex> report(s->reportLock, std::defer_lock);
  if (!onReader) report.lock();
  {
    std::lock_guard<std::mutex> lock(s->stateLock);
    if (s->shutdown) return;
    s->shutdown = true;
    channel = s->channel;
    s->channel = nullptr;
    listener = s->listener;
    s->listener = nullptr;
    if (onReader && listener != nullptr) {
      s->retired.push_back(listener);  // released by the reader as it exits
      listener = nullptr;
    }
  }
  s->stateChanged.notify_all();
  s->Wake();
  if (report.owns_lock()) report.unlock();
  if (mImpl->thread.joinable()) {
    if (onReader) {
      mImpl->thread.detach();
    } else {
      mImpl->thread.join();
    }
  }
  if (channel != nullptr) IPC_ChannelRelease(channel);
  if (listener != nullptr) listener->Release();
}
