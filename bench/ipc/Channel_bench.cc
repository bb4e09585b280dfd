// A request's trip in the library's own shape, against a raw Unix-socket floor measured in the same run.
//
// Library: the benchmark thread is the UI thread. It posts a write command (with a clone of a ~200-byte,
// 5-key message) to a CommandThread (the writer), which writes it on a channel; an echo service
// (IPCServer, in this process, on its own thread) sends it back; the channel's IPCCommandThread posts a
// clone to a UI-thread CommandSink; the iteration ends when that command has run on the UI thread.
// Raw floor: two threads and a socketpair, the same number of bytes written and read back.
//
// Round trips report p50/p90/p99 in microseconds; the pipelined cases report messages per second for a
// batch of 10,000 requests issued at once.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Command.h"
#include "CommandSink.h"
#include "CommandThread.h"
#include "IPCChannel.h"
#include "IPCCommandThread.h"
#include "IPCMessage.h"
#include "IPCMessageListener.h"
#include "IPCServer.h"
#include "UILoop.h"

namespace {

using namespace zr::bench;
constexpr int kBatch = 10000;

// ---- the echo service, in this process, in a private runtime directory ----

class Echo : public zr::ipc::IPCServerListener {
 public:
  void OnMessage(const std::shared_ptr<zr::ipc::ServerConnection>& c, IPCMessage* msg) override {
    c->Send(msg);
  }
};

struct EchoService {
  std::string dir;
  Echo echo;
  std::unique_ptr<zr::ipc::IPCServer> server;

  EchoService() {
    char path[] = "/tmp/zrb-XXXXXX";
    if (mkdtemp(path) == nullptr) abort();
    dir = path;
    IPC_SetRuntimeDirectory(path);
    server.reset(new zr::ipc::IPCServer("kv_echo", &echo));
    if (server->StartListening() != PR_SUCCESS) abort();
  }
  ~EchoService() {
    server->Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

EchoService& Service() {
  static EchoService service;
  return service;
}

IPCMessage* Request() {
  IPCMessage* m = IPC_NewMessage();
  IPC_MessageSetValue(m, "zr_command", "sp_lookup");
  IPC_MessageSetValue(m, "zr_cookie", "12345");
  IPC_MessageSetValue(m, "zr_clientName", "bench");
  IPC_MessageSetValue(m, "sp_key", "mail.identity.default.fullName");
  IPC_MessageSetValue(m, "sp_value", std::string(90, 'v').c_str());
  return m;
}

// ---- the client side, shaped like the client frame ----

struct Client;

class DeliverCommand : public Command {
 public:
  DeliverCommand(Client* client, IPCMessage* msg) : mClient(client), mMessage(msg) {}
  ~DeliverCommand() override { IPC_DestroyMessage(mMessage); }
  void Execute() override;

 private:
  Client* mClient;
  IPCMessage* mMessage;
};

class WriteCommand : public Command {
 public:
  WriteCommand(IPCChannel* channel, IPCMessage* msg) : mChannel(channel), mMessage(msg) {}
  ~WriteCommand() override { IPC_DestroyMessage(mMessage); }
  void Execute() override {
    if (IPC_WriteMessage(mChannel, mMessage) != PR_SUCCESS) abort();
  }

 private:
  IPCChannel* mChannel;
  IPCMessage* mMessage;
};

class ChannelListener : public IPCMessageListener {
 public:
  ChannelListener(CommandSink* sink, Client* client) : mSink(sink), mClient(client) {}
  void OnMessageArrived(IPCMessage* msg) override {
    mSink->PostCommand(new DeliverCommand(mClient, IPC_CloneMessage(msg)));
  }
  void OnChannelClosed() override { abort(); }
  void OnChannelFailed(int) override { abort(); }

 private:
  CommandSink* mSink;
  Client* mClient;
};

struct Client {
  std::unique_ptr<CommandSink> sink;
  CommandThread writer;
  IPCCommandThread reader;
  IPCChannel* channel = nullptr;
  long delivered = 0;  // UI thread only
  long cookieSum = 0;

  Client() {
    Service();
    zr::UILoop::AttachCurrentThread();
    sink.reset(CommandSink::CreateUIThreadCommandSink());
    channel = IPC_OpenChannel("kv_echo");
    if (channel == nullptr) abort();
    IPC_ChannelAddRef(channel);
    reader.SetMessageListener(new ChannelListener(sink.get(), this));
    reader.SetChannel(channel);
  }
  ~Client() {
    writer.Shutdown();
    reader.SetChannel(nullptr);
    IPC_ChannelRelease(channel);
    reader.Shutdown();
    sink->Shutdown();
  }
  void Wait(long expected) {
    if (!zr::UILoop::RunUntil([&] { return delivered >= expected; }, std::chrono::seconds(30))) abort();
  }
};

void DeliverCommand::Execute() {
  // What the client frame does on the UI thread: read the cookie to find the waiting listener.
  const char* cookie = IPC_MessageGetValue(mMessage, "zr_cookie");
  mClient->cookieSum += cookie != nullptr ? atoi(cookie) : 0;
  ++mClient->delivered;
}

// One request at a time, each timed from the post to its delivery on the UI thread.
void TimedRoundTrips(benchmark::State& state, Client& client, IPCMessage* request) {
  LatencySamples samples;
  long expected = 0;
  for (auto _ : state) {
    samples.Time(state, [&] {
      client.writer.PostCommand(new WriteCommand(client.channel, IPC_CloneMessage(request)));
      client.Wait(++expected);
    });
  }
  samples.Report(state, {50, 90, 99});
}

void BM_LibraryRoundTrip(benchmark::State& state) {
  Client client;
  IPCMessage* request = Request();
  TimedRoundTrips(state, client, request);
  state.counters["frame_bytes"] = static_cast<double>(std::string(IPC_Serialize(request)).size() + 4);
  IPC_DestroyMessage(request);
}
BENCHMARK(BM_LibraryRoundTrip)->UseManualTime()->MinTime(2.0);

void BM_LibraryPipelined(benchmark::State& state) {
  Client client;
  IPCMessage* request = Request();
  long expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      client.writer.PostCommand(new WriteCommand(client.channel, IPC_CloneMessage(request)));
    }
    expected += kBatch;
    client.Wait(expected);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  IPC_DestroyMessage(request);
}
BENCHMARK(BM_LibraryPipelined)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// ---- the raw floor ----

size_t FrameBytes() {
  IPCMessage* m = Request();
  size_t n = std::string(IPC_Serialize(m)).size() + 4;
  IPC_DestroyMessage(m);
  return n;
}

bool ReadFully(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void BM_RawRoundTrip(benchmark::State& state) {
  const size_t n = FrameBytes();
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  std::thread echo([&] {
    std::vector<char> buf(n);
    while (ReadFully(sv[1], buf.data(), n) && WriteAll(sv[1], buf.data(), n)) {
    }
  });
  std::vector<char> out(n, 'x');
  std::vector<char> in(n);
  LatencySamples samples;
  for (auto _ : state) {
    samples.Time(state, [&] {
      if (!WriteAll(sv[0], out.data(), n) || !ReadFully(sv[0], in.data(), n)) abort();
    });
  }
  shutdown(sv[0], SHUT_WR);
  echo.join();
  close(sv[0]);
  close(sv[1]);
  samples.Report(state, {50, 90, 99});
  state.counters["frame_bytes"] = static_cast<double>(n);
}
BENCHMARK(BM_RawRoundTrip)->UseManualTime()->MinTime(2.0);

// A writer thread sends the batch one write per message; an echo thread reads in large chunks and sends
// each complete message back with its own write; the benchmark thread reads in large chunks until the
// whole batch is back.
void BM_RawPipelined(benchmark::State& state) {
  const size_t n = FrameBytes();
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  std::mutex mutex;
  std::condition_variable go;
  long batches = 0;
  bool stop = false;
  std::thread writer([&] {
    std::vector<char> out(n, 'x');
    long done = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return stop || batches > done; });
        if (stop) return;
        ++done;
      }
      for (int i = 0; i < kBatch; ++i) {
        if (!WriteAll(sv[0], out.data(), n)) abort();
      }
    }
  });
  std::thread echo([&] {
    std::vector<char> buf(64 * 1024 + n);
    size_t have = 0;
    for (;;) {
      ssize_t r = read(sv[1], buf.data() + have, 64 * 1024);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return;
      have += static_cast<size_t>(r);
      size_t at = 0;
      for (; have - at >= n; at += n) {
        if (!WriteAll(sv[1], buf.data() + at, n)) return;
      }
      std::copy(buf.begin() + at, buf.begin() + have, buf.begin());
      have -= at;
    }
  });
  std::vector<char> in(64 * 1024);
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++batches;
    }
    go.notify_one();
    size_t want = n * kBatch;
    while (want > 0) {
      ssize_t r = read(sv[0], in.data(), std::min(in.size(), want));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) abort();
      want -= static_cast<size_t>(r);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  go.notify_one();
  writer.join();
  shutdown(sv[0], SHUT_WR);
  echo.join();
  close(sv[0]);
  close(sv[1]);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_RawPipelined)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

// ---- the service with a client that stops reading ----

// The same round trip while another client of the service has sent 4 MiB of requests and reads none of
// the echoes: they wait in its connection's output queue and must cost the others nothing.
void BM_LibraryRoundTripBesideStalledPeer(benchmark::State& state) {
  Client client;
  int stalled = ConnectToService("kv_echo");
  IPCMessage* big = IPC_NewMessage();
  IPC_MessageSetValue(big, "v", std::string(1024 * 1024, 'b').c_str());
  std::string text = IPC_Serialize(big);
  IPC_DestroyMessage(big);
  const size_t size = text.size();
  const char header[4] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                          static_cast<char>(size >> 8), static_cast<char>(size)};
  for (int i = 0; i < 4; ++i) {
    if (send(stalled, header, sizeof header, MSG_NOSIGNAL) != 4 || !WriteAll(stalled, text.data(), size)) {
      abort();
    }
  }
  IPCMessage* request = Request();
  TimedRoundTrips(state, client, request);
  size_t queued = 0;
  for (const auto& c : Service().server->Connections()) queued = std::max(queued, c->QueuedBytes());
  state.counters["stalled_queue_kib"] = static_cast<double>(queued / 1024);
  IPC_DestroyMessage(request);
  close(stalled);
}
BENCHMARK(BM_LibraryRoundTripBesideStalledPeer)->UseManualTime()->MinTime(2.0);

BENCHMARK_MAIN();
