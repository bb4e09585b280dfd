// An application built against the installed library: one include, the shared libraries, a message that
// survives a serialise round trip, and a command run through the UI queue.
#include <zrappapi/zrappapi.h>

#include <cstdio>
#include <cstring>

namespace {
class Mark : public Command {
 public:
  explicit Mark(bool* ran) : mRan(ran) {}
  void Execute() override { *mRan = true; }

 private:
  bool* mRan;
};
}  // namespace

int main() {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "sp_lookup");
  IPC_MessageSetInt(msg, "zr_cookie", 7);
  IPCMessage* copy = IPC_NewMessage();
  PRStatus status = IPC_Deserialize(copy, IPC_Serialize(msg));
  const char* cookie = IPC_MessageGetValue(copy, "zr_cookie");
  bool ok = status == PR_SUCCESS && cookie && std::strcmp(cookie, "7") == 0;
  IPC_DestroyMessage(copy);
  IPC_DestroyMessage(msg);

  bool ran = false;
  CommandSink* sink = CommandSink::CreateUIThreadCommandSink();
  sink->PostCommand(new Mark(&ran));
  zr::UILoop::RunPending();
  delete sink;
  ok = ok && ran;
  std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
