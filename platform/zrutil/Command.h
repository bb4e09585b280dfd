// A unit of work for an executor (CommandThread, CommandSink). Commands are heap objects; the executor
// deletes each one after running it, or without running it when the executor shuts down first.
#ifndef ZRUTIL_COMMAND_H
#define ZRUTIL_COMMAND_H

#include <prtypes.h>

#include "ZrUtilExport.h"

class ResultListener;

class ZRUTIL_EXPORT Command {
 public:
  virtual ~Command();
  virtual void Execute() = 0;
  // Hooks for executors that can stop work in progress; the base ignores both.
  virtual void Cancel(long reason);
  virtual void Interrupt(long reason);
};

// Reports a status to a result listener: OnSuccess() for PR_SUCCESS, else OnFailure(text); then releases
// the listener. Owns the listener and a copy of text; a command destroyed without running releases the
// listener through Releaser::ReleaseOnUIThread.
class ZRUTIL_EXPORT ResultCommand : public Command {
 public:
  ResultCommand(ResultListener* listener, PRStatus status, const char* text);
  ~ResultCommand() override;
  void Execute() override;

 private:
  ResultListener* mListener;
  PRStatus mStatus;
  char* mText;
};

#endif
