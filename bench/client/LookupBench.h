// Shared by the client benchmarks: the shared-preference service they measure against, the lookup's
// request and reply frames for the raw floors, and a listener that counts answers. The service runs on
// its server's threads; the listener and RunUntilAnswered on the UI thread.
#ifndef ZRAPPAPI_BENCH_LOOKUPBENCH_H
#define ZRAPPAPI_BENCH_LOOKUPBENCH_H

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "IPCMessage.h"
#include "IPCServer.h"
#include "SharedPrefs.h"
#include "UILoop.h"

namespace zr {
namespace bench {

// The shared-preference service: answers each lookup with its key, a value and the cookie.
class LookupService : public zr::ipc::IPCServerListener {
 public:
  void OnMessage(const std::shared_ptr<zr::ipc::ServerConnection>& connection, IPCMessage* msg) override {
    const char* command = IPC_MessageGetValue(msg, "zr_command");
    if (!command || strcmp(command, "sp_lookup") != 0) return;
    IPCMessage* reply = IPC_NewMessage();
    IPC_MessageSetValue(reply, "zr_command", "sp_lookup");
    IPC_MessageSetValue(reply, "sp_key", IPC_MessageGetValue(msg, "sp_key"));
    IPC_MessageSetValue(reply, "zr_cookie", IPC_MessageGetValue(msg, "zr_cookie"));
    IPC_MessageSetValue(reply, "sp_value", "the stored value");
    connection->Send(reply);
    IPC_DestroyMessage(reply);
  }
};

// The request and reply a lookup puts on the wire, so that every contender moves the same bytes.
struct LookupWire {
  std::string requestText, replyText;
  std::string request, reply;  // framed
  LookupWire() {
    IPCMessage* msg = IPC_NewMessage();
    IPC_MessageSetValue(msg, "zr_command", "sp_lookup");
    IPC_MessageSetValue(msg, "sp_key", "k");
    IPC_MessageSetValue(msg, "zr_cookie", "1234");
    requestText = IPC_Serialize(msg);
    request = FrameOf(msg);
    IPC_MessageSetValue(msg, "sp_value", "the stored value");
    replyText = IPC_Serialize(msg);
    reply = FrameOf(msg);
    IPC_DestroyMessage(msg);
  }
};

class CountingLookup : public SharedPrefsLookupListener {
 public:
  explicit CountingLookup(int* answers) : mAnswers(answers) {}
  void OnLookup(const char*, const char* value) override {
    if (value) ++*mAnswers;
  }

 private:
  int* mAnswers;
};

// Runs the UI queue until `wanted` answers have come, or 30 seconds; false on the time-out.
inline bool RunUntilAnswered(const int& answers, int wanted) {
  return zr::UILoop::RunUntil([&] { return answers >= wanted; }, std::chrono::seconds(30));
}

}  // namespace bench
}  // namespace zr

#endif  // ZRAPPAPI_BENCH_LOOKUPBENCH_H
