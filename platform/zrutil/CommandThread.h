// A worker thread running posted commands one at a time in FIFO order. The thread starts with the first
// PostCommand. Shutdown stops taking commands, waits for the one running (if any) to finish, joins the
// thread and deletes every command that never ran; commands posted afterwards are deleted at once. An
// owner whose commands may block (on I/O, or waiting for the thread calling Shutdown) wakes them first.
// PostCommand may be called from any thread, including the worker itself. Shutdown may be called from any
// thread; called by a command on the worker itself it does not wait (the running command is its caller):
// the worker ends after that command, and a later Shutdown or the destructor joins it. A command may also
// destroy its own CommandThread: the worker then ends on its own after that command.
#ifndef ZRUTIL_COMMANDTHREAD_H
#define ZRUTIL_COMMANDTHREAD_H

#include <memory>
#include <mutex>
#include <thread>

#include "VoidQueue.h"
#include "ZrUtilExport.h"

class Command;

class ZRUTIL_EXPORT CommandThread {
 public:
  CommandThread();
  virtual ~CommandThread();  // Shutdown()
  virtual void PostCommand(Command* command);
  virtual void Shutdown();
  // True on this executor's own worker thread.
  bool IsCurrentThread() const;
  // For a command running on the worker: takes the next queued command, which the caller then owns, when
  // accept(command, context) says yes, so that it can do that command's work together with its own. Null
  // when nothing is queued, the next command is refused, or the thread is shut down. accept runs under the
  // queue's lock and must not post.
  Command* TakeNextCommandIf(bool (*accept)(Command* command, void* context), void* context);

 private:
  CommandThread(const CommandThread&) = delete;
  CommandThread& operator=(const CommandThread&) = delete;
  static void Run(std::shared_ptr<VoidQueue> queue);

  // Items are Command*; its item destructor deletes commands never run. Shared with the worker, which
  // outlives this object when one of its own commands destroys it.
  std::shared_ptr<VoidQueue> mQueue;
  mutable std::mutex mStartMutex;  // guards the three below
  std::thread mThread;             // written only while mStarted is false
  std::thread::id mThreadId;
  bool mStarted;          // also set by Shutdown, so that no thread starts afterwards
  std::mutex mJoinMutex;  // a second Shutdown waits for the first one's join
};

#endif
