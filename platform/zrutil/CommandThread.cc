#include "CommandThread.h"

#include "Command.h"
#include "VoidItemDestructor.h"

namespace {

class CommandDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override { delete static_cast<Command*>(item); }
};

}  // namespace

CommandThread::CommandThread() : mQueue(std::make_shared<VoidQueue>()), mStarted(false) {
  mQueue->AdoptItemDestructor(new CommandDestructor);
}

CommandThread::~CommandThread() {
  Shutdown();
  // Only when a command of this very thread destroys it: the worker cannot join itself, and finishes
  // with its own share of the queue.
  if (mThread.joinable()) mThread.detach();
}

void CommandThread::PostCommand(Command* command) {
  if (!command) return;
  if (mQueue->Enqueue(command) != PR_SUCCESS) {
    delete command;  // shut down: nothing runs any more
    return;
  }
  std::lock_guard<std::mutex> lock(mStartMutex);
  if (!mStarted) {
    mStarted = true;
    mThread = std::thread(&CommandThread::Run, mQueue);
    mThreadId = mThread.get_id();
  }
}

void CommandThread::Shutdown() {
  mQueue->Shutdown();
  if (!IsCurrentThread()) {
    std::lock_guard<std::mutex> join(mJoinMutex);
    {
      std::lock_guard<std::mutex> lock(mStartMutex);
      mStarted = true;  // from here on mThread is not written again
    }
    if (mThread.joinable()) mThread.join();
  }
  // The worker takes no more commands; the ones it never reached are deleted here.
  mQueue->RemoveAll();
}

bool CommandThread::IsCurrentThread() const {
  std::lock_guard<std::mutex> lock(mStartMutex);
  return mStarted && mThreadId == std::this_thread::get_id();
}

namespace {

struct AcceptCommand {
  bool (*accept)(Command*, void*);
  void* context;
};

bool AcceptItem(void* item, void* context) {
  AcceptCommand* a = static_cast<AcceptCommand*>(context);
  return a->accept(static_cast<Command*>(item), a->context);
}

}  // namespace

Command* CommandThread::TakeNextCommandIf(bool (*accept)(Command* command, void* context), void* context) {
  AcceptCommand a{accept, context};
  return static_cast<Command*>(mQueue->DequeueIf(AcceptItem, &a));
}

void CommandThread::Run(std::shared_ptr<VoidQueue> queue) {
  while (Command* command = static_cast<Command*>(queue->Dequeue())) {
    command->Execute();
    delete command;
  }
}
