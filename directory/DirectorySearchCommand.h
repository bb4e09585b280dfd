// Worker and notification commands of directory searches. Internal to the directory area.
#ifndef ZRAPPAPI_DIRECTORYSEARCHCOMMAND_H
#define ZRAPPAPI_DIRECTORYSEARCHCOMMAND_H

#include <atomic>

#include "Command.h"
#include "DirectorySearchListener.h"
#include "VoidList.h"

class DirectoryServer;

namespace zr_directory {

// Releases through the UI queue, any thread: for a listener whose commands were dropped because its
// server is going, which may be happening inside one of that listener's own calls.
void ReleaseLater(Listener* listener);

struct SearchTime {
  int seconds;
  int microseconds;
  bool IsZero() const { return seconds == 0 && microseconds == 0; }
};

// One search on the worker: begin, entries, unavailable (at most once), end. Owns its filter (taken
// over; PR_smprintf heap), a null-terminated copy of the attribute names, and the listener until the end
// notification takes it over.
class SearchCommand : public Command {
 public:
  SearchCommand(DirectoryServer* server, char* filter, int sizeLimit, const char* const* attrs, int attrCount,
                DirectorySearchListener* listener, SearchTime timeLimit, SearchTime pollInterval);
  ~SearchCommand() override;
  void Execute() override;
  virtual void SetCancelled();
  virtual bool IsCancelled();

 private:
  bool Run();  // false only when the search could not be started

  DirectoryServer* mServer;
  char* mFilter;
  int mSizeLimit;
  char** mAttrs;
  DirectorySearchListener* mListener;
  std::atomic<bool> mCancelled;
  SearchTime mTimeLimit;
  SearchTime mPollInterval;
};

// Certificate lookups of a list of addresses; results are delivered synchronously (SendCommand) because
// the certificate bytes belong to the LDAP result.
class CertLookupCommand : public Command {
 public:
  CertLookupCommand(DirectoryServer* server, const char* const* addresses, int count,
                    DirectoryCertLookupListener* listener);
  ~CertLookupCommand() override;
  void Execute() override;

 private:
  bool LookupAddresses();  // false when a search failed; the remaining addresses stay queued

  DirectoryServer* mServer;
  VoidList mAddresses;
  DirectoryCertLookupListener* mListener;
};

// Presents a replication listener as a search listener; releasing it releases the wrapped listener.
class ReplicateListenerAdapter : public DirectorySearchListener {
 public:
  explicit ReplicateListenerAdapter(DirectoryReplicateListener* listener) : mListener(listener) {}
  void OnSearchBegin() override;
  void OnServerUnavailable(const char* host) override;
  void OnSearchEnd() override;
  void OnSearchEntry(IPCMessage* entry) override;
  void Release() override;

 private:
  DirectoryReplicateListener* mListener;
};

}  // namespace zr_directory

#endif
