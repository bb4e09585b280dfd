#include "Command.h"

#include <plstr.h>

#include "Listener.h"
#include "Releaser.h"

Command::~Command() {}

void Command::Cancel(long) {}

void Command::Interrupt(long) {}

ResultCommand::ResultCommand(ResultListener* listener, PRStatus status, const char* text)
    : mListener(listener), mStatus(status), mText(text ? PL_strdup(text) : nullptr) {}

ResultCommand::~ResultCommand() {
  // Never run (its executor shut down first): the listener is still owed its release.
  if (mListener) Releaser::ReleaseOnUIThread(mListener);
  PL_strfree(mText);
}

void ResultCommand::Execute() {
  ResultListener* listener = mListener;
  if (!listener) return;
  mListener = nullptr;
  if (mStatus == PR_SUCCESS)
    listener->OnSuccess();
  else
    listener->OnFailure(mText);
  listener->Release();
}
