#include "CommandSink.h"

#include "UILoop.h"
#include "UIQueueInternal.h"

namespace {

class UIThreadCommandSink : public CommandSink {
 public:
  UIThreadCommandSink() { zr::UILoop::AttachCurrentThread(); }
  ~UIThreadCommandSink() override { Shutdown(); }
  void PostCommand(Command* command) override { zr::internal::PostSinkCommand(&mState, command); }
  void SendCommand(Command* command) override { zr::internal::SendSinkCommand(&mState, command); }
  void Shutdown() override { zr::internal::ShutdownSink(&mState); }

 private:
  zr::internal::UISinkState mState;
};

}  // namespace

CommandSink* CommandSink::CreateUIThreadCommandSink() { return new UIThreadCommandSink; }

CommandSink::~CommandSink() {}
