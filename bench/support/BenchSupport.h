// What the benchmark programs share for their raw-socket floors and hand-timed round trips: framing a
// message as the channel does, whole writes, a bare connection to a service's socket, and latency
// samples reported as percentiles. Header only; every call is made from the benchmark's own threads.
#ifndef ZRAPPAPI_BENCH_BENCHSUPPORT_H
#define ZRAPPAPI_BENCH_BENCHSUPPORT_H

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "IPCChannel.h"
#include "IPCMessage.h"

namespace zr {
namespace bench {

// The message's text behind its 4-byte big-endian length, as it goes on the wire.
inline std::string FrameOf(IPCMessage* msg) {
  const char* text = IPC_Serialize(msg);
  uint32_t length = htonl(static_cast<uint32_t>(strlen(text)));
  std::string frame(reinterpret_cast<const char*>(&length), 4);
  frame += text;
  return frame;
}

// Writes all of data, waiting for room on a non-blocking socket; false once the peer has gone.
inline bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, -1);
      continue;
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A bare socket connected to the named service in the current runtime directory; aborts if it is not up.
inline int ConnectToService(const char* name) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (IPC_GetChannelPath(name, addr.sun_path, sizeof addr.sun_path) != PR_SUCCESS) abort();
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();
  return fd;
}

// Times iterations by hand (for UseManualTime) and keeps each one, in microseconds, for the percentiles.
class LatencySamples {
 public:
  using Clock = std::chrono::steady_clock;

  template <typename Step>
  void Time(benchmark::State& state, Step&& step) {
    Clock::time_point start = Clock::now();
    step();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    mMicros.push_back(seconds * 1e6);
  }

  // Sets a counter "p<N>_us" for each percentile N asked for.
  void Report(benchmark::State& state, std::initializer_list<int> percentiles) {
    if (mMicros.empty()) return;
    std::sort(mMicros.begin(), mMicros.end());
    for (int p : percentiles) {
      double q = p / 100.0;
      state.counters["p" + std::to_string(p) + "_us"] =
          mMicros[static_cast<size_t>(q * static_cast<double>(mMicros.size() - 1))];
    }
  }

 private:
  std::vector<double> mMicros;
};

}  // namespace bench
}  // namespace zr

#endif  // ZRAPPAPI_BENCH_BENCHSUPPORT_H
