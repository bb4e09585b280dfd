// Where a worker hands commands to another thread. CreateUIThreadCommandSink() makes a caller-owned sink
// whose commands run on the UI thread (zr::UILoop), in the order they were posted.
//
// PostCommand and SendCommand may be called from any thread. SendCommand returns only after the command
// has run (or was dropped), so the caller may then free what the command points to; on the UI thread it
// runs the command inline, ahead of anything still queued. Shutdown (any thread) deletes the sink's queued
// commands without running them, releases every thread waiting in SendCommand, and from then on commands
// are deleted at once without running; a command the UI thread is already running finishes, but its
// sender is released at once: a command may shut its own sink down (its owner destroyed from inside it,
// joining the sender) without waiting for itself. The destructor shuts the sink down; delete the sink
// only once no other thread can still call it.
#ifndef ZRUTIL_COMMANDSINK_H
#define ZRUTIL_COMMANDSINK_H

#include "ZrUtilExport.h"

class Command;

class ZRUTIL_EXPORT CommandSink {
 public:
  static CommandSink* CreateUIThreadCommandSink();

  virtual ~CommandSink();
  virtual void PostCommand(Command* command) = 0;
  virtual void SendCommand(Command* command) = 0;
  virtual void Shutdown() = 0;
};

#endif
