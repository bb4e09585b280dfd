// The client frame beside the socket floor and beside sd-bus peer to peer, all in one run, each with its
// service on a thread of this process (Arg 0) and in a child process (Arg 1), as a real server is.
//
// - Raw floor: the lookup's request and reply frames over a socket pair. The pipelined floor writes all
//   frames back to back in large writes and reads in large reads; its echo answers everything one read
//   brought in with one write. A per-frame floor would flatter any library that batches.
// - sd-bus: libsystemd's bus over a socket pair, peer to peer (no broker), a method call carrying the
//   request's text and answered with the reply's text; pipelined as asynchronous calls.
// - Library: SharedPrefs::Lookup, from the call to OnLookup on the UI thread, against an IPCServer.
// - Beside a pipeliner: the lone lookup's p50/p99 while another client of the same service keeps 10,000
//   requests in flight.
//
// Run once pinned (taskset -c 0: the child inherits it) and once not.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
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
using Clock = std::chrono::steady_clock;
constexpr int kBurst = 10000;

// ---- Where a service runs ------------------------------------------------------------------------------

// Runs serve() on a thread, or in a child process (forked while this process runs no other thread of the
// benchmarks) that first closes the parent's end (closeInChild), so that the parent's close is seen; serve
// returns when its peer goes. The destructor waits for it.
class Peer {
 public:
  Peer(bool child, int closeInChild, std::function<void()> serve) : mChild(child) {
    if (!child) {
      mThread = std::thread(std::move(serve));
      return;
    }
    mPid = fork();
    if (mPid < 0) abort();
    if (mPid == 0) {
      close(closeInChild);
      serve();
      _exit(0);
    }
  }
  ~Peer() {
    if (mChild) {
      int status;
      waitpid(mPid, &status, 0);
    } else {
      mThread.join();
    }
  }
  bool child() const { return mChild; }

 private:
  bool mChild;
  pid_t mPid = -1;
  std::thread mThread;
};

const char* WhereLabel(const benchmark::State& state) { return state.range(0) ? "child" : "thread"; }

// ---- The wire --------------------------------------------------------------------------------------------

const LookupWire& TheWire() {
  static const LookupWire* wire = new LookupWire();
  return *wire;
}

// The length of the whole frames at the start of data[0, have), and how many there are.
size_t WholeFrames(const char* data, size_t have, int* count) {
  size_t at = 0;
  while (have - at >= 4) {
    uint32_t length;
    memcpy(&length, data + at, 4);
    length = ntohl(length);
    if (have - at < 4 + length) break;
    at += 4 + length;
    ++*count;
  }
  return at;
}

// The floor's echo: reads what has arrived, and answers every complete request in it with one write.
void RawEcho(int fd) {
  const LookupWire& wire = TheWire();
  std::vector<char> in(256 * 1024);
  std::string out;
  size_t have = 0;
  for (;;) {
    ssize_t n = read(fd, in.data() + have, in.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    int requests = 0;
    size_t at = WholeFrames(in.data(), have, &requests);
    out.clear();
    for (int i = 0; i < requests; ++i) out += wire.reply;
    memmove(in.data(), in.data() + at, have - at);
    have -= at;
    if (!WriteAll(fd, out.data(), out.size())) break;
  }
  close(fd);
}

// Sends `requests` (back to back, large writes) and reads `replies` frames back in large reads, walking
// each frame as a reader must; interleaved on one non-blocking socket so that neither side's buffer stalls
// the other.
bool Pipeline(int fd, const std::string& requests, int replies, std::vector<char>& in) {
  size_t sent = 0;
  size_t have = 0;
  int got = 0;
  while (got < replies) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < requests.size() ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    if ((p.revents & POLLOUT) && sent < requests.size()) {
      ssize_t n = send(fd, requests.data() + sent, requests.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(fd, in.data() + have, in.size() - have, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
      if (n < 0) continue;
      have += static_cast<size_t>(n);
      size_t at = WholeFrames(in.data(), have, &got);
      memmove(in.data(), in.data() + at, have - at);
      have -= at;
    }
  }
  return true;
}

std::string Repeat(const std::string& frame, int times) {
  std::string all;
  all.reserve(frame.size() * static_cast<size_t>(times));
  for (int i = 0; i < times; ++i) all += frame;
  return all;
}

void BM_RawRoundTrip(benchmark::State& state) {
  const LookupWire& wire = TheWire();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  LatencySamples samples;
  {
    Peer peer(state.range(0) != 0, fds[0], [&] { RawEcho(fds[1]); });
    if (peer.child()) close(fds[1]);
    std::vector<char> in(wire.reply.size());
    for (auto _ : state) {
      samples.Time(state, [&] {
        WriteAll(fds[0], wire.request.data(), wire.request.size());
        size_t got = 0;
        while (got < in.size()) {
          ssize_t n = read(fds[0], in.data() + got, in.size() - got);
          if (n <= 0) abort();
          got += static_cast<size_t>(n);
        }
      });
    }
    shutdown(fds[0], SHUT_RDWR);
  }
  close(fds[0]);
  samples.Report(state, {50, 99});
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_RawRoundTrip)->Arg(0)->Arg(1)->UseManualTime();

void BM_RawPipelinedBatched(benchmark::State& state) {
  const LookupWire& wire = TheWire();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  {
    Peer peer(state.range(0) != 0, fds[0], [&] { RawEcho(fds[1]); });
    if (peer.child()) close(fds[1]);
    const std::string requests = Repeat(wire.request, kBurst);
    std::vector<char> in(256 * 1024);
    for (auto _ : state) {
      if (!Pipeline(fds[0], requests, kBurst, in)) abort();
    }
    shutdown(fds[0], SHUT_RDWR);
  }
  close(fds[0]);
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_RawPipelinedBatched)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- sd-bus peer to peer
// -----------------------------------------------------------------------------------

int OnSdLookup(sd_bus_message* call, void*, sd_bus_error*) {
  const char* text = nullptr;
  int r = sd_bus_message_read(call, "s", &text);
  if (r < 0) return r;
  return sd_bus_reply_method_return(call, "s", TheWire().replyText.c_str());
}

const sd_bus_vtable kSdVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Lookup", "s", "s", OnSdLookup, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

constexpr char kSdPath[] = "/org/zorlin/bench";
constexpr char kSdInterface[] = "org.zorlin.Bench";

// The echo service: owns fd (the bus closes it), answers until the peer goes.
void SdServe(int fd) {
  sd_bus* bus = nullptr;
  sd_id128_t id;
  if (sd_bus_new(&bus) < 0 || sd_id128_randomize(&id) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 ||
      sd_bus_set_server(bus, 1, id) < 0 ||
      sd_bus_add_object_vtable(bus, nullptr, kSdPath, kSdInterface, kSdVtable, nullptr) < 0 ||
      sd_bus_start(bus) < 0) {
    abort();
  }
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    if (sd_bus_wait(bus, UINT64_MAX) < 0) break;
  }
  sd_bus_close_unref(bus);
}

sd_bus* SdClient(int fd) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 || sd_bus_start(bus) < 0) abort();
  return bus;
}

void BM_SdBusRoundTrip(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  LatencySamples samples;
  {
    Peer peer(state.range(0) != 0, fds[0], [&] { SdServe(fds[1]); });
    if (peer.child()) close(fds[1]);
    sd_bus* bus = SdClient(fds[0]);
    const char* text = TheWire().requestText.c_str();
    for (auto _ : state) {
      samples.Time(state, [&] {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* answer = nullptr;
        if (sd_bus_call_method(bus, nullptr, kSdPath, kSdInterface, "Lookup", &error, &reply, "s", text) <
                0 ||
            sd_bus_message_read(reply, "s", &answer) < 0) {
          abort();
        }
        sd_bus_message_unref(reply);
      });
    }
    sd_bus_close_unref(bus);
  }
  samples.Report(state, {50, 99});
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_SdBusRoundTrip)->Arg(0)->Arg(1)->UseManualTime();

int OnSdReply(sd_bus_message* reply, void* answers, sd_bus_error*) {
  const char* answer = nullptr;
  if (sd_bus_message_read(reply, "s", &answer) >= 0) ++*static_cast<int*>(answers);
  return 1;
}

void BM_SdBusPipelined(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  {
    Peer peer(state.range(0) != 0, fds[0], [&] { SdServe(fds[1]); });
    if (peer.child()) close(fds[1]);
    sd_bus* bus = SdClient(fds[0]);
    const char* text = TheWire().requestText.c_str();
    int answers = 0;
    for (auto _ : state) {
      const int wanted = answers + kBurst;
      for (int i = 0; i < kBurst; ++i) {
        if (sd_bus_call_method_async(bus, nullptr, nullptr, kSdPath, kSdInterface, "Lookup", OnSdReply,
                                     &answers, "s", text) < 0) {
          abort();
        }
      }
      while (answers < wanted) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) abort();
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) abort();
      }
    }
    sd_bus_close_unref(bus);
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_SdBusPipelined)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- The library
// ---------------------------------------------------------------------------------------------

// The service in a private runtime directory, on its own threads here or in a child process that lives
// until this object goes.
class LibraryService {
 public:
  explicit LibraryService(bool child) {
    char pattern[] = "/tmp/zrpeer-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    mDir = pattern;
    IPC_SetRuntimeDirectory(mDir.c_str());
    zr::UILoop::AttachCurrentThread();
    int stop[2];
    if (pipe2(stop, O_CLOEXEC) != 0) abort();
    mStop = stop[1];
    mPeer.reset(new Peer(child, stop[1], [stop] {
      LookupService service;
      zr::ipc::IPCServer server("kv_secdbm", &service);
      if (server.StartListening() != PR_SUCCESS) abort();
      char c;
      while (read(stop[0], &c, 1) < 0 && errno == EINTR) {
      }
      close(stop[0]);
      server.Shutdown();
    }));
    // Up once a probe connects.
    for (int i = 0; i < 5000; ++i) {
      if (IPCChannel* probe = IPC_Connect("kv_secdbm")) {
        IPC_CloseChannel(probe);
        break;
      }
      usleep(1000);
    }
    if (child) close(stop[0]);  // a thread closes its own end once told to stop
  }
  ~LibraryService() {
    close(mStop);
    mPeer.reset();
    char path[256];
    if (IPC_GetChannelPath("kv_secdbm", path, sizeof path) == PR_SUCCESS) unlink(path);
    IPC_SetRuntimeDirectory(nullptr);
    rmdir(mDir.c_str());
  }
  const std::string& dir() const { return mDir; }

 private:
  std::string mDir;
  int mStop = -1;
  std::unique_ptr<Peer> mPeer;
};

void TimedLookups(benchmark::State& state, ZorlinClientRef<SharedPrefs>& prefs, int& answers) {
  LatencySamples samples;
  for (auto _ : state) {
    samples.Time(state, [&] {
      int wanted = answers + 1;
      prefs->Lookup("k", new CountingLookup(&answers));
      if (!RunUntilAnswered(answers, wanted)) state.SkipWithError("no answer");
    });
  }
  samples.Report(state, {50, 99});
}

void BM_LibraryRoundTrip(benchmark::State& state) {
  LibraryService service(state.range(0) != 0);
  {
    ZorlinClientRef<SharedPrefs> prefs;
    int answers = 0;
    prefs->Lookup("k", new CountingLookup(&answers));  // opens the channel outside the timing
    RunUntilAnswered(answers, 1);
    TimedLookups(state, prefs, answers);
  }
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_LibraryRoundTrip)->Arg(0)->Arg(1)->UseManualTime();

void BM_LibraryPipelined(benchmark::State& state) {
  LibraryService service(state.range(0) != 0);
  {
    ZorlinClientRef<SharedPrefs> prefs;
    int answers = 0;
    prefs->Lookup("k", new CountingLookup(&answers));
    RunUntilAnswered(answers, 1);
    for (auto _ : state) {
      int wanted = answers + kBurst;
      for (int i = 0; i < kBurst; ++i) prefs->Lookup("k", new CountingLookup(&answers));
      if (!RunUntilAnswered(answers, wanted)) state.SkipWithError("answers missing");
    }
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_LibraryPipelined)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The lone lookup while another client of the same service (a bare socket on a thread) keeps a burst of
// 10,000 requests going, burst after burst.
void BM_LibraryRoundTripBesidePipeliner(benchmark::State& state) {
  LibraryService service(state.range(0) != 0);
  int fd = ConnectToService("kv_secdbm");
  std::atomic<bool> stop{false};
  std::atomic<long> bursts{0};
  std::thread pipeliner([&] {
    const std::string requests = Repeat(TheWire().request, kBurst);
    std::vector<char> in(256 * 1024);
    while (!stop.load() && Pipeline(fd, requests, kBurst, in)) ++bursts;
  });
  Clock::time_point began = Clock::now();
  {
    ZorlinClientRef<SharedPrefs> prefs;
    int answers = 0;
    prefs->Lookup("k", new CountingLookup(&answers));
    RunUntilAnswered(answers, 1);
    TimedLookups(state, prefs, answers);
  }
  stop = true;
  pipeliner.join();
  close(fd);
  double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  state.counters["pipeliner_per_s"] = static_cast<double>(bursts.load()) * kBurst / seconds;
  state.SetLabel(WhereLabel(state));
}
BENCHMARK(BM_LibraryRoundTripBesidePipeliner)->Arg(0)->Arg(1)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
