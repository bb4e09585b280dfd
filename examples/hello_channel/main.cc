// hello_channel: the path of one request, end to end, in one process.
//
// A private runtime directory holds the channel; an in-process service (IPCServer, on its own thread)
// answers "hello" requests. The application side is shaped like a service client: a writer thread
// (CommandThread) opens the channel and writes the request, the channel's reader (IPCCommandThread)
// hands the reply to a UI-thread command sink, and the main thread, as UI thread, runs the UI queue
// (zr::UILoop) until the reply has been printed there.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

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

// The service: answers {"zr_command": "hello", "name": n} with a greeting, carrying the cookie back.
class GreetingService : public zr::ipc::IPCServerListener {
 public:
  void OnMessage(const std::shared_ptr<zr::ipc::ServerConnection>& connection, IPCMessage* request) override {
    const char* command = IPC_MessageGetValue(request, "zr_command");
    if (command == nullptr || std::string(command) != "hello") return;
    const char* name = IPC_MessageGetValue(request, "name");
    std::string greeting = std::string("Hello, ") + (name != nullptr ? name : "stranger") + "!";
    IPCMessage* reply = IPC_NewMessage();
    IPC_MessageSetValue(reply, "zr_command", "hello_reply");
    if (const char* cookie = IPC_MessageGetValue(request, "zr_cookie")) {
      IPC_MessageSetValue(reply, "zr_cookie", cookie);
    }
    IPC_MessageSetValue(reply, "greeting", greeting.c_str());
    connection->Send(reply);
    IPC_DestroyMessage(reply);
  }
};

struct Application {
  std::unique_ptr<CommandSink> sink;
  CommandThread writer;
  IPCCommandThread reader;
  IPCChannel* channel = nullptr;  // writer thread; read by main only after the writer has stopped
  bool replied = false;           // UI thread only
  bool failed = false;            // UI thread only
};

// UI thread: shows the reply.
class ShowReplyCommand : public Command {
 public:
  ShowReplyCommand(Application* app, IPCMessage* reply) : mApp(app), mReply(reply) {}
  ~ShowReplyCommand() override { IPC_DestroyMessage(mReply); }
  void Execute() override {
    const char* greeting = IPC_MessageGetValue(mReply, "greeting");
    printf("reply (cookie %s) on the %s thread: %s\n", IPC_MessageGetValue(mReply, "zr_cookie"),
           zr::UILoop::IsUIThread() ? "UI" : "wrong", greeting != nullptr ? greeting : "(none)");
    mApp->replied = greeting != nullptr && zr::UILoop::IsUIThread();
    mApp->failed = !mApp->replied;
  }

 private:
  Application* mApp;
  IPCMessage* mReply;
};

// UI thread: the channel ended before a reply came.
class ShowFailureCommand : public Command {
 public:
  explicit ShowFailureCommand(Application* app) : mApp(app) {}
  void Execute() override {
    printf("the channel ended before the reply\n");
    mApp->failed = true;
  }

 private:
  Application* mApp;
};

// Reader thread: only hands things over to the UI thread.
class ReplyListener : public IPCMessageListener {
 public:
  explicit ReplyListener(Application* app) : mApp(app) {}
  void OnMessageArrived(IPCMessage* msg) override {
    mApp->sink->PostCommand(new ShowReplyCommand(mApp, IPC_CloneMessage(msg)));
  }
  void OnChannelClosed() override { mApp->sink->PostCommand(new ShowFailureCommand(mApp)); }
  void OnChannelFailed(int) override { mApp->sink->PostCommand(new ShowFailureCommand(mApp)); }

 private:
  Application* mApp;
};

// Writer thread: opens the channel, starts the reader on it, writes the request.
class SendHelloCommand : public Command {
 public:
  SendHelloCommand(Application* app, IPCMessage* request) : mApp(app), mRequest(request) {}
  ~SendHelloCommand() override { IPC_DestroyMessage(mRequest); }
  void Execute() override {
    mApp->channel = IPC_OpenChannel("kv_hello");
    if (mApp->channel == nullptr) {
      mApp->sink->PostCommand(new ShowFailureCommand(mApp));
      return;
    }
    IPC_ChannelAddRef(mApp->channel);
    mApp->reader.SetChannel(mApp->channel);
    if (IPC_WriteMessage(mApp->channel, mRequest) != PR_SUCCESS) {
      mApp->sink->PostCommand(new ShowFailureCommand(mApp));
    }
  }

 private:
  Application* mApp;
  IPCMessage* mRequest;
};

}  // namespace

int main() {
  char dir[] = "/tmp/hello-channel-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  IPC_SetRuntimeDirectory(dir);
  zr::UILoop::AttachCurrentThread();

  GreetingService service;
  zr::ipc::IPCServer server("kv_hello", &service);
  if (server.StartListening() != PR_SUCCESS) {
    perror("listen");
    rmdir(dir);
    return 1;
  }

  int status = 1;
  {
    Application app;
    app.sink.reset(CommandSink::CreateUIThreadCommandSink());
    app.reader.SetMessageListener(new ReplyListener(&app));

    IPCMessage* request = IPC_NewMessage();
    IPC_MessageSetValue(request, "zr_command", "hello");
    IPC_MessageSetInt(request, "zr_cookie", 1);
    IPC_MessageSetValue(request, "name", "world");
    printf("request: %s\n", IPC_Serialize(request));
    app.writer.PostCommand(new SendHelloCommand(&app, IPC_CloneMessage(request)));
    IPC_DestroyMessage(request);

    zr::UILoop::RunUntil([&] { return app.replied || app.failed; }, std::chrono::seconds(10));
    if (app.replied) status = 0;

    app.writer.Shutdown();
    app.reader.SetChannel(nullptr);
    IPC_ChannelRelease(app.channel);
    app.reader.Shutdown();
    app.sink->Shutdown();
  }
  server.Shutdown();
  IPC_SetRuntimeDirectory(nullptr);
  rmdir(dir);
  return status;
}
