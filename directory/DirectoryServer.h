// The library's connection to one LDAP directory.
//
// A DirectoryServer owns one LDAP handle, a private worker thread on which every LDAP call of this server
// runs, one command after another in queue order, and a command sink through which notifications reach
// the application (the UI thread unless AdoptCommandSink gave another). Public operations only queue
// work and return at once, so they may be called from any thread; the server itself is created and
// destroyed on the UI thread. It connects lazily (the first command that needs the directory binds
// anonymously) and, after a search found the directory unreachable, tries no new connection for 30
// seconds. Listeners handed to it are owned from then on and released once, on the UI thread, after
// their last notification.
//
// With useSSL, every socket of the connection is secured by the application's SSL functions
// (SetSSLFuncs): attach, then confirm, on the socket's PRFileDesc, through which all traffic then flows.
// Without them, or when either answers other than 1, the connection fails.
//
// Applications keep a server beyond a callback only through an Alias<DirectoryServer>.
//
// The worker waits while OnCertFound and OnCertNotFound run (the certificate bytes belong to its LDAP
// result). Any listener call may still destroy the server, which lets that worker go first; the bytes
// are then valid only until the destruction. No call on the UI thread waits for the directory: every
// read and write of a connection is bounded, and CancelSearch and the destructor cut short any wait.
#ifndef ZRAPPAPI_DIRECTORYSERVER_H
#define ZRAPPAPI_DIRECTORYSERVER_H

#include <prio.h>
#include <prlock.h>
#include <prtime.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "AliasTarget.h"
#include "CommandThread.h"
#include "DirectorySearch.h"
#include "DirectorySearchListener.h"
#include "List.h"
#include "VoidList.h"
#include "ZrAppApiExport.h"

class CommandSink;
class ResultListener;
typedef struct ldap LDAP;

// Application SSL functions; each answers 1 for success. The library calls attach as
// (host, port, null, 0, socket, 1, null) and then confirm with the same socket.
typedef int (*SSLAttachFunc)(const char* host, unsigned long port, const char*, unsigned long,
                             PRFileDesc* socket, int, void*);
typedef int (*SSLConfirmFunc)(PRFileDesc* socket);

namespace zr_directory {
class SearchCommand;
class CertLookupCommand;
class ChangeCommand;
class ConnectCommand;
class ConnectionWatch;
struct SSLConnectionData;
}  // namespace zr_directory

class ZRAPPAPI_EXPORT DirectoryServer : public AliasTarget {
 public:
  // For all servers of the process; set before the first secure connection.
  static void SetSSLFuncs(SSLAttachFunc attach, SSLConfirmFunc confirm);

  // Copies the strings (a null one stays null). Does not connect. UI thread.
  DirectoryServer(const char* host, int port, const char* base, int delay, bool useSSL, const char* extra);
  // Stops the worker (a running search is cancelled; queued ones never run, their listeners are
  // released), unbinds, deletes the sink. UI thread.
  ~DirectoryServer() override;

  // New settings, applied on the worker; reconnects at once when connected.
  void Change(const char* host, int port, const char* base, int delay, bool useSSL);
  // (Re)connects on the worker; listener->OnSuccess() or OnFailure(null) on the sink's thread.
  void Connect(ResultListener* listener);
  // Takes ownership of sink and uses it for every later notification; deletes the previous sink.
  void AdoptCommandSink(CommandSink* sink);
  const char* GetHostName();
  // The type-down delay a caller pacing keystrokes should use; the server itself does not delay.
  int GetDelay();

  // Cancels the current search and queues a prefix search of text on cn and mail, fetching cn and mail,
  // at most maxResults entries; it becomes the current search.
  void TypeDownSearch(const char* text, int maxResults, DirectorySearchListener* listener);
  // Cancels the current search and queues search (its filter is built now) fetching attrs; it becomes
  // the current search.
  void Search(DirectorySearch& search, List<const char*>& attrs, int maxResults,
              DirectorySearchListener* listener);
  // Queues a search of every object fetching attrs, without limits; it does not cancel the current
  // search but becomes it, so a later search stops the replication.
  void Replicate(List<const char*>& attrs, DirectoryReplicateListener* listener);
  // The current search, if any, stops at its next check (within about 0.1 s) and still ends normally.
  void CancelSearch();
  // Queues a certificate lookup of each address (exact mail match); not cancellable.
  void LookupCerts(List<const char*>& addresses, DirectoryCertLookupListener* listener);

 private:
  friend class AddressBook;
  friend class DirectoryServerTestPeer;
  friend class zr_directory::SearchCommand;
  friend class zr_directory::CertLookupCommand;
  friend class zr_directory::ChangeCommand;
  friend class zr_directory::ConnectCommand;

  DirectoryServer(const DirectoryServer&) = delete;
  DirectoryServer& operator=(const DirectoryServer&) = delete;

  // As Search, but neither cancels nor becomes the current search.
  void SearchNoCancel(DirectorySearch& search, List<const char*>& attrs, int maxResults,
                      DirectorySearchListener* listener);

  // Worker thread.
  void SetFailureTime(PRInt64 time);
  // A search's reconnection also stops when that search is cancelled.
  void Reconnect(zr_directory::SearchCommand* search = nullptr);
  bool Bind(zr_directory::SearchCommand* search);
  bool InstallSSL();
  void DropHandle();
  void ApplyChange(char* host, int port, char* base, int delay, bool useSSL);

  // Any thread.
  zr_directory::SearchCommand* NewSearchCommand(DirectorySearch& search, List<const char*>& attrs,
                                                int maxResults, DirectorySearchListener* listener);
  void QueueSearch(zr_directory::SearchCommand* command, bool cancelCurrent, bool becomeCurrent);
  void PostToSink(Command* command);
  void SendToSink(Command* command);
  bool IsClosing() const { return mClosing.load(std::memory_order_acquire); }

  // The clock of the 30-second back-off; replaceable so the back-off can be exercised without waiting.
  static PRTime (*sNow)();
  // The bound on each synchronous exchange (the bind, a certificate search); replaceable so that tests
  // need not wait it out.
  static constexpr int kRequestLimitMs = 5000;
  static int sRequestLimitMs;

  std::atomic<char*> mHost;  // read from any thread; replaced on the worker
  int mPort;
  char* mBase;
  std::atomic<int> mDelay;
  char* mExtra;
  bool mUseSSL;
  CommandThread mWorker;
  CommandSink* mSink;
  LDAP* mLd;
  PRLock* mLock;
  zr_directory::SearchCommand* mCurrent;  // guarded by mLock
  bool mFailureReported;
  PRInt64 mFailureTime;

  zr_directory::ConnectionWatch* mWatch;      // wakes the worker's waits on the directory
  zr_directory::SSLConnectionData* mSSLData;  // the secure-socket record of mLd, or null
  bool mHandleLost;        // mLd lost its connection during a search; the next search starts over
  VoidList mRetiredHosts;  // host names replaced by Change; GetHostName's answers stay valid
  std::atomic<bool> mClosing;
  std::mutex mSinkMutex;  // guards mSink and mSendingTo against AdoptCommandSink
  std::condition_variable mSinkIdle;
  CommandSink* mSendingTo;
};

#endif
