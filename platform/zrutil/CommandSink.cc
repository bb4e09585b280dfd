#include "CommandSink.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "Command.h"
#include "UILoop.h"
#include "UIQueueInternal.h"

namespace {

// One thread waiting in SendCommand. Shared by the sender, the queued command and the sink's list of
// senders, so whichever ends the wait (the command run or dropped, or the sink shut down) may outlive
// the others.
struct SendWait {
  std::mutex mutex;
  std::condition_variable signal;
  bool done = false;
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    signal.notify_all();
  }
};

// The sink's senders; shared with them, since a sender freed by Shutdown may still be unregistering
// itself while the sink is deleted.
struct Senders {
  std::mutex mutex;
  bool shutdown = false;
  std::vector<std::shared_ptr<SendWait>> waits;
};

// The command as queued for a sender: whether it is run or dropped, deleting it ends the wait.
class SentCommand : public Command {
 public:
  SentCommand(Command* command, std::shared_ptr<SendWait> wait) : mCommand(command), mWait(std::move(wait)) {}
  ~SentCommand() override {
    delete mCommand;
    mWait->Finish();
  }
  void Execute() override { mCommand->Execute(); }

 private:
  Command* mCommand;
  std::shared_ptr<SendWait> mWait;
};

class UIThreadCommandSink : public CommandSink {
 public:
  UIThreadCommandSink() : mSenders(std::make_shared<Senders>()) { zr::UILoop::AttachCurrentThread(); }
  ~UIThreadCommandSink() override { Shutdown(); }
  void PostCommand(Command* command) override { zr::internal::PostSinkCommand(&mState, command); }
  void SendCommand(Command* command) override;
  void Shutdown() override;

 private:
  zr::internal::UISinkState mState;
  std::shared_ptr<Senders> mSenders;
};

void UIThreadCommandSink::SendCommand(Command* command) {
  if (!command) return;
  std::shared_ptr<Senders> senders = mSenders;
  std::shared_ptr<SendWait> wait = std::make_shared<SendWait>();
  const bool onUIThread = zr::UILoop::IsUIThread();
  bool shutdown;
  {
    std::lock_guard<std::mutex> lock(senders->mutex);
    shutdown = senders->shutdown;
    if (!shutdown && !onUIThread) senders->waits.push_back(wait);
  }
  if (shutdown) {
    delete command;  // dropped without running
    return;
  }
  if (onUIThread) {
    command->Execute();
    delete command;
    return;
  }
  zr::internal::PostSinkCommand(&mState, new SentCommand(command, wait));
  {
    std::unique_lock<std::mutex> lock(wait->mutex);
    wait->signal.wait(lock, [&wait] { return wait->done; });
  }
  std::lock_guard<std::mutex> lock(senders->mutex);
  for (auto it = senders->waits.begin(); it != senders->waits.end(); ++it) {
    if (*it == wait) {
      senders->waits.erase(it);
      break;
    }
  }
}

void UIThreadCommandSink::Shutdown() {
  std::vector<std::shared_ptr<SendWait>> waits;
  {
    std::lock_guard<std::mutex> lock(mSenders->mutex);
    mSenders->shutdown = true;
    waits = mSenders->waits;
  }
  // Queued commands are dropped (their senders freed as they are deleted); a sender whose command is
  // running right now, on the UI thread that is shutting the sink down, is freed too.
  zr::internal::ShutdownSink(&mState);
  for (const std::shared_ptr<SendWait>& wait : waits) wait->Finish();
}

}  // namespace

CommandSink* CommandSink::CreateUIThreadCommandSink() { return new UIThreadCommandSink; }

CommandSink::~CommandSink() {}
