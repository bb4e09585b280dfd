// One shared-preference lookup, from the application's call to OnLookup on the UI thread, against a
// service on a real channel; beside it, the floor: the same frames bounced over a bare Unix socket pair
// between two threads. Run once as is and once pinned to one CPU (taskset -c 0).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "IPCChannel.h"
#include "IPCMessage.h"
#include "IPCServer.h"
#include "LookupBench.h"
#include "SharedPrefs.h"
#include "UILoop.h"
#include "ZorlinClientRef.h"

namespace {

using namespace zr::bench;

constexpr int kBurst = 10000;

// ---- The floor: length-prefixed frames over a socket pair ------------------------------------------

// Reads frames through a buffer, as a channel reader does: one read() brings in as many frames as have
// arrived.
class FrameReader {
 public:
  explicit FrameReader(int fd) : mFd(fd), mBuffer(1 << 16) {}
  // The next frame's payload size, or -1 once the peer has gone.
  long Next() {
    for (;;) {
      size_t have = mEnd - mStart;
      if (have >= 4) {
        uint32_t length;
        memcpy(&length, mBuffer.data() + mStart, 4);
        length = ntohl(length);
        if (have >= 4 + length) {
          mStart += 4 + length;
          return length;
        }
        if (4 + length > mBuffer.size()) mBuffer.resize(4 + length);
      }
      if (mStart > 0) {
        memmove(mBuffer.data(), mBuffer.data() + mStart, have);
        mStart = 0;
        mEnd = have;
      }
      ssize_t n = read(mFd, mBuffer.data() + mEnd, mBuffer.size() - mEnd);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -1;
      mEnd += static_cast<size_t>(n);
    }
  }

 private:
  int mFd;
  std::vector<char> mBuffer;
  size_t mStart = 0;
  size_t mEnd = 0;
};

// An echo peer: answers every request frame with one reply frame.
class RawPeer {
 public:
  RawPeer() {
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mFds);
    mThread = std::thread([this] {
      FrameReader frames(mFds[1]);
      while (frames.Next() >= 0) {
        if (!WriteAll(mFds[1], mFrames.reply.data(), mFrames.reply.size())) break;
      }
    });
  }
  ~RawPeer() {
    shutdown(mFds[0], SHUT_RDWR);
    mThread.join();
    close(mFds[0]);
    close(mFds[1]);
  }
  int fd() const { return mFds[0]; }
  const LookupWire& frames() const { return mFrames; }

 private:
  LookupWire mFrames;
  int mFds[2];
  std::thread mThread;
};

void BM_RawSocketRoundTrip(benchmark::State& state) {
  RawPeer peer;
  FrameReader frames(peer.fd());
  for (auto _ : state) {
    WriteAll(peer.fd(), peer.frames().request.data(), peer.frames().request.size());
    if (frames.Next() < 0) state.SkipWithError("peer gone");
  }
}
BENCHMARK(BM_RawSocketRoundTrip)->UseRealTime();

void BM_RawSocketPipelined(benchmark::State& state) {
  RawPeer peer;
  for (auto _ : state) {
    // The replies are drained on a thread of their own, or both ends would block on full buffers.
    std::thread reader([&] {
      FrameReader frames(peer.fd());
      for (int i = 0; i < kBurst; ++i) frames.Next();
    });
    for (int i = 0; i < kBurst; ++i)
      WriteAll(peer.fd(), peer.frames().request.data(), peer.frames().request.size());
    reader.join();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_RawSocketPipelined)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Through the client frame ----------------------------------------------------------------------

// A private runtime directory and the service, for one benchmark run.
class ServiceFixture {
 public:
  ServiceFixture() : mServer("kv_secdbm", &mService) {
    char pattern[] = "/tmp/zrbench-XXXXXX";
    mDir = mkdtemp(pattern);
    IPC_SetRuntimeDirectory(mDir.c_str());
    mServer.StartListening();
    zr::UILoop::AttachCurrentThread();
  }
  ~ServiceFixture() {
    mServer.Shutdown();
    IPC_SetRuntimeDirectory(nullptr);
    rmdir(mDir.c_str());
  }

 private:
  std::string mDir;
  LookupService mService;
  zr::ipc::IPCServer mServer;
};

void BM_SharedPrefsLookupRoundTrip(benchmark::State& state) {
  ServiceFixture service;
  ZorlinClientRef<SharedPrefs> prefs;
  int answers = 0;
  prefs->Lookup("k", new CountingLookup(&answers));  // opens the channel outside the timing
  RunUntilAnswered(answers, 1);
  for (auto _ : state) {
    int wanted = answers + 1;
    prefs->Lookup("k", new CountingLookup(&answers));
    RunUntilAnswered(answers, wanted);
    if (answers < wanted) state.SkipWithError("no answer");
  }
}
BENCHMARK(BM_SharedPrefsLookupRoundTrip)->UseRealTime();

void BM_SharedPrefsLookupPipelined(benchmark::State& state) {
  ServiceFixture service;
  ZorlinClientRef<SharedPrefs> prefs;
  int answers = 0;
  prefs->Lookup("k", new CountingLookup(&answers));
  RunUntilAnswered(answers, 1);
  for (auto _ : state) {
    int wanted = answers + kBurst;
    for (int i = 0; i < kBurst; ++i) prefs->Lookup("k", new CountingLookup(&answers));
    RunUntilAnswered(answers, wanted);
    if (answers < wanted) state.SkipWithError("answers missing");
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_SharedPrefsLookupPipelined)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
