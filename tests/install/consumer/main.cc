// A console application built against the installed library, shaped like README's console snippet: it
// attaches its main thread as the UI thread, wakes a poll() loop through the UI queue's wake-up hook, and
// waits for an answer with RunUntil. Also one include, the shared libraries, and a message that survives
// a serialise round trip.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <zrappapi/zrappapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {
class Mark : public Command {
 public:
  explicit Mark(int* ran) : mRan(ran) {}
  void Execute() override { *mRan += zr::UILoop::IsUIThread() ? 1 : 100; }

 private:
  int* mRan;
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

  zr::UILoop::AttachCurrentThread();  // the main thread is the UI thread from here on
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  zr::UILoop::SetWakeupHook([wake] { eventfd_write(wake, 1); });  // runs on posting threads

  int ran = 0;  // UI thread only
  std::unique_ptr<CommandSink> sink(CommandSink::CreateUIThreadCommandSink());
  std::thread worker([&sink, &ran] { sink->PostCommand(new Mark(&ran)); });
  // The program's own loop: other descriptors would sit beside the eventfd.
  for (int round = 0; round < 50 && ran == 0; ++round) {
    pollfd fds[] = {{wake, POLLIN, 0}};
    if (poll(fds, 1, 100) > 0) {
      eventfd_t count;
      eventfd_read(wake, &count);
      zr::UILoop::RunPending();
    }
  }
  worker.join();
  ok = ok && ran == 1;

  // Waiting for one answer in place, with a time-out.
  std::thread second([&sink, &ran] { sink->PostCommand(new Mark(&ran)); });
  ok = zr::UILoop::RunUntil([&ran] { return ran == 2; }, std::chrono::seconds(5)) && ok;
  second.join();

  zr::UILoop::SetWakeupHook(nullptr);
  close(wake);
  std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
