#include "DirectoryServer.h"

#include <ldap.h>
#include <plstr.h>
#include <prinrval.h>
#include <prmem.h>
#include <prprf.h>
#include <sys/time.h>

#include "Alias.h"
#include "Command.h"
#include "CommandSink.h"
#include "DirectorySearchCommand.h"
#include "DirectorySocketLayer.h"
#include "Releaser.h"
#include "VoidItemDestructor.h"

// Applications keep a server beyond a callback only through this weak pointer.
template class Alias<DirectoryServer>;

namespace {

constexpr PRInt64 kFailureBackOffMicroseconds = 30 * PR_USEC_PER_SEC;
constexpr zr_directory::SearchTime kSearchTimeLimit = {0, 500000};
constexpr zr_directory::SearchTime kPollInterval = {0, 100000};
constexpr zr_directory::SearchTime kNoTimeLimit = {0, 0};
// Bounds on the synchronous calls (connect, bind, certificate searches), so that a server that accepts
// but never answers cannot hold the worker for ever.
constexpr int kNetworkTimeoutSeconds = 5;

char* CopyString(const char* s) { return s ? PL_strdup(s) : nullptr; }
void FreeString(char* s) {
  if (s) PL_strfree(s);
}

// A list's strings as an array of pointers into the list's own items (valid while the list is).
class StringArray {
 public:
  explicit StringArray(List<const char*>& list) : mCount(0), mItems(nullptr) {
    mItems = static_cast<const char**>(PR_Calloc(list.GetSize() + 1, sizeof(char*)));
    ListIterator<const char*> it(list);
    for (it.First(); !it.IsDone(); it.Next()) mItems[mCount++] = it.CurrentItem();
  }
  ~StringArray() { PR_Free(mItems); }
  const char* const* Items() const { return mItems; }
  int Count() const { return mCount; }

 private:
  int mCount;
  const char** mItems;
};

}  // namespace

namespace zr_directory {

class ChangeCommand : public Command {
 public:
  ChangeCommand(DirectoryServer* server, const char* host, int port, const char* base, int delay, bool useSSL)
      : mServer(server),
        mHost(CopyString(host)),
        mPort(port),
        mBase(CopyString(base)),
        mDelay(delay),
        mUseSSL(useSSL) {}
  ~ChangeCommand() override {
    FreeString(mHost);
    FreeString(mBase);
  }
  void Execute() override {
    mServer->ApplyChange(mHost, mPort, mBase, mDelay, mUseSSL);
    mHost = nullptr;
    mBase = nullptr;
  }

 private:
  DirectoryServer* mServer;
  char* mHost;
  int mPort;
  char* mBase;
  int mDelay;
  bool mUseSSL;
};

class ConnectCommand : public Command {
 public:
  ConnectCommand(DirectoryServer* server, ResultListener* listener) : mServer(server), mListener(listener) {}
  ~ConnectCommand() override {
    // Never ran: the listener is still ours.
    zr_directory::ReleaseLater(mListener);
  }
  void Execute() override {
    mServer->Reconnect();
    if (mServer->mLd) mServer->mFailureReported = false;
    ResultListener* listener = mListener;
    mListener = nullptr;
    mServer->PostToSink(new ResultCommand(listener, mServer->mLd ? PR_SUCCESS : PR_FAILURE, nullptr));
  }

 private:
  DirectoryServer* mServer;
  ResultListener* mListener;
};

}  // namespace zr_directory

using zr_directory::SearchCommand;

PRTime (*DirectoryServer::sNow)() = PR_Now;
int DirectoryServer::sRequestLimitMs = DirectoryServer::kRequestLimitMs;

void DirectoryServer::SetSSLFuncs(SSLAttachFunc attach, SSLConfirmFunc confirm) {
  zr_directory::SetSSLFunctions(attach, confirm);
}

DirectoryServer::DirectoryServer(const char* host, int port, const char* base, int delay, bool useSSL,
                                 const char* extra)
    : mHost(CopyString(host)),
      mPort(port),
      mBase(CopyString(base)),
      mDelay(delay),
      mExtra(CopyString(extra)),
      mUseSSL(useSSL),
      mSink(CommandSink::CreateUIThreadCommandSink()),
      mLd(nullptr),
      mLock(PR_NewLock()),
      mCurrent(nullptr),
      mFailureReported(false),
      mFailureTime(0),
      mWatch(new zr_directory::ConnectionWatch),
      mSSLData(nullptr),
      mHandleLost(false),
      mClosing(false),
      mSendingTo(nullptr) {
  SetFailureTime(0);
  mRetiredHosts.AdoptItemDestructor(new FreeVoidItemDestructor);
}

DirectoryServer::~DirectoryServer() {
  // A running search stops at its next check, a wait on the directory ends now (its socket is shut
  // down), and a worker waiting on the sink is let go before the worker is joined, so destruction on the
  // sink's own thread cannot deadlock.
  mClosing.store(true, std::memory_order_release);
  CancelSearch();
  mWatch->Wake();
  {
    std::lock_guard<std::mutex> guard(mSinkMutex);
    mSink->Shutdown();
  }
  mWorker.Shutdown();
  PR_DestroyLock(mLock);
  mLock = nullptr;
  DropHandle();
  delete mWatch;
  FreeString(mHost.load());
  FreeString(mBase);
  FreeString(mExtra);
  delete mSink;
}

void DirectoryServer::Change(const char* host, int port, const char* base, int delay, bool useSSL) {
  mWorker.PostCommand(new zr_directory::ChangeCommand(this, host, port, base, delay, useSSL));
}

void DirectoryServer::ApplyChange(char* host, int port, char* base, int delay, bool useSSL) {
  char* oldHost = mHost.exchange(host);
  if (oldHost) mRetiredHosts.Append(oldHost);
  FreeString(mBase);
  mBase = base;
  mPort = port;
  mDelay.store(delay);
  mUseSSL = useSSL;
  mFailureReported = false;
  if (mLd) Reconnect();
}

void DirectoryServer::Connect(ResultListener* listener) {
  mWorker.PostCommand(new zr_directory::ConnectCommand(this, listener));
}

void DirectoryServer::AdoptCommandSink(CommandSink* sink) {
  CommandSink* old;
  {
    std::lock_guard<std::mutex> guard(mSinkMutex);
    old = mSink;
    mSink = sink;
  }
  // Shutting the old sink down first lets a worker blocked in SendCommand on it go.
  old->Shutdown();
  {
    std::unique_lock<std::mutex> guard(mSinkMutex);
    mSinkIdle.wait(guard, [&] { return mSendingTo != old; });
  }
  delete old;
}

const char* DirectoryServer::GetHostName() { return mHost.load(); }

int DirectoryServer::GetDelay() { return mDelay.load(); }

void DirectoryServer::SetFailureTime(PRInt64 time) {
  if (mFailureTime == 0 || time == 0) mFailureTime = time;
}

void DirectoryServer::DropHandle() {
  if (mLd) {
    ldap_unbind(mLd);
    mLd = nullptr;
  }
  zr_directory::FreeSocketLayer(mSSLData);
  mSSLData = nullptr;
  mHandleLost = false;
}

void DirectoryServer::Reconnect(SearchCommand* search) {
  DropHandle();
  if (IsClosing()) return;
  if (mFailureTime != 0) {
    if (sNow() <= mFailureTime + kFailureBackOffMicroseconds) return;
    SetFailureTime(0);
  }
  mLd = ldap_init(mHost.load(), mPort);
  if (!mLd) return;

  // Settings are explicit: nothing comes from ldap.conf or the environment's defaults.
  int version = LDAP_VERSION3;
  ldap_set_option(mLd, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(mLd, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  struct timeval networkTimeout = {kNetworkTimeoutSeconds, 0};
  ldap_set_option(mLd, LDAP_OPT_NETWORK_TIMEOUT, &networkTimeout);
  // libldap only starts the connect; the socket layer waits for it, where destruction and CancelSearch
  // can end the wait.
  ldap_set_option(mLd, LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_ON);
  struct timeval syncTimeout = {sRequestLimitMs / 1000, (sRequestLimitMs % 1000) * 1000};
  ldap_set_option(mLd, LDAP_OPT_TIMEOUT, &syncTimeout);
  int deref = LDAP_DEREF_NEVER;
  ldap_set_option(mLd, LDAP_OPT_DEREF, &deref);
  int noLimit = 0;  // what a search passes as -1 (replication) means: none
  ldap_set_option(mLd, LDAP_OPT_SIZELIMIT, &noLimit);
  ldap_set_option(mLd, LDAP_OPT_TIMELIMIT, &noLimit);

  if (!(mUseSSL && InstallSSL())) zr_directory::InstallPlainLayer(mLd, mWatch);

  mWatch->ConnectingFor(search);
  const bool bound = Bind(search);
  mWatch->ConnectingFor(nullptr);
  if (!bound) DropHandle();
}

// The anonymous bind, waited for in polls, so that destruction or the cancelling of the search that
// needs the connection ends it within one poll; at most the request limit in all.
bool DirectoryServer::Bind(SearchCommand* search) {
  struct berval noPassword = {0, nullptr};
  int msgid = -1;
  if (ldap_sasl_bind(mLd, nullptr, LDAP_SASL_SIMPLE, &noPassword, nullptr, nullptr, &msgid) != LDAP_SUCCESS)
    return false;
  const PRIntervalTime started = PR_IntervalNow();
  const PRIntervalTime limit = PR_MillisecondsToInterval(static_cast<PRUint32>(sRequestLimitMs));
  for (;;) {
    if (IsClosing() || (search && search->IsCancelled()) ||
        PRIntervalTime(PR_IntervalNow() - started) >= limit)
      return false;
    struct timeval wait = {kPollInterval.seconds, kPollInterval.microseconds};
    LDAPMessage* result = nullptr;
    const int type = ldap_result(mLd, msgid, LDAP_MSG_ALL, &wait, &result);
    if (type == 0) continue;
    int code = LDAP_OTHER;
    if (type == LDAP_RES_BIND) {
      if (ldap_parse_result(mLd, result, &code, nullptr, nullptr, nullptr, nullptr, 1) != LDAP_SUCCESS)
        code = LDAP_OTHER;
    } else {
      ldap_msgfree(result);
    }
    return code == LDAP_SUCCESS;
  }
}

bool DirectoryServer::InstallSSL() {
  if (!mLd) return false;
  mSSLData = zr_directory::InstallSocketLayer(mLd, mHost.load(), mWatch);
  return mSSLData != nullptr;
}

void DirectoryServer::PostToSink(Command* command) {
  std::lock_guard<std::mutex> guard(mSinkMutex);
  mSink->PostCommand(command);
}

void DirectoryServer::SendToSink(Command* command) {
  CommandSink* sink;
  {
    std::lock_guard<std::mutex> guard(mSinkMutex);
    sink = mSink;
    mSendingTo = sink;
  }
  sink->SendCommand(command);
  {
    std::lock_guard<std::mutex> guard(mSinkMutex);
    mSendingTo = nullptr;
  }
  mSinkIdle.notify_all();
}

void DirectoryServer::QueueSearch(SearchCommand* command, bool cancelCurrent, bool becomeCurrent) {
  PR_Lock(mLock);
  if (cancelCurrent && mCurrent) {
    mCurrent->SetCancelled();
    mWatch->Interrupt(mCurrent);
    mCurrent = nullptr;
  }
  if (becomeCurrent) mCurrent = command;
  PR_Unlock(mLock);
  mWorker.PostCommand(command);
}

void DirectoryServer::CancelSearch() {
  PR_Lock(mLock);
  if (mCurrent) {
    mCurrent->SetCancelled();
    // A search still connecting may be in a handshake, which only a shut-down socket ends.
    mWatch->Interrupt(mCurrent);
    mCurrent = nullptr;
  }
  PR_Unlock(mLock);
}

void DirectoryServer::TypeDownSearch(const char* text, int maxResults, DirectorySearchListener* listener) {
  static const char* const kAttrs[] = {"cn", "mail"};
  const char* typed = text ? text : "";
  char* filter = PR_smprintf("(|(%s=%s*)(%s=%s*))", "cn", typed, "mail", typed);
  QueueSearch(
      new SearchCommand(this, filter, maxResults, kAttrs, 2, listener, kSearchTimeLimit, kPollInterval), true,
      true);
}

void DirectoryServer::Search(DirectorySearch& search, List<const char*>& attrs, int maxResults,
                             DirectorySearchListener* listener) {
  QueueSearch(NewSearchCommand(search, attrs, maxResults, listener), true, true);
}

void DirectoryServer::SearchNoCancel(DirectorySearch& search, List<const char*>& attrs, int maxResults,
                                     DirectorySearchListener* listener) {
  QueueSearch(NewSearchCommand(search, attrs, maxResults, listener), false, false);
}

SearchCommand* DirectoryServer::NewSearchCommand(DirectorySearch& search, List<const char*>& attrs,
                                                 int maxResults, DirectorySearchListener* listener) {
  StringArray names(attrs);
  return new SearchCommand(this, search.CreateFilter(), maxResults, names.Items(), names.Count(), listener,
                           kSearchTimeLimit, kPollInterval);
}

void DirectoryServer::Replicate(List<const char*>& attrs, DirectoryReplicateListener* listener) {
  DirectorySearch everything("objectclass", "top");
  StringArray names(attrs);
  QueueSearch(
      new SearchCommand(this, everything.CreateFilter(), -1, names.Items(), names.Count(),
                        new zr_directory::ReplicateListenerAdapter(listener), kNoTimeLimit, kPollInterval),
      false, true);
}

void DirectoryServer::LookupCerts(List<const char*>& addresses, DirectoryCertLookupListener* listener) {
  StringArray items(addresses);
  mWorker.PostCommand(new zr_directory::CertLookupCommand(this, items.Items(), items.Count(), listener));
}
