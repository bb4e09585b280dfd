#include "DirectorySearchCommand.h"

#include <ldap.h>
#include <plstr.h>
#include <prinrval.h>
#include <prlock.h>
#include <prmem.h>
#include <prprf.h>
#include <sys/time.h>

#include "CommandSink.h"
#include "DirectoryServer.h"
#include "DirectorySocketLayer.h"
#include "Releaser.h"
#include "UILoop.h"
#include "VoidItemDestructor.h"

namespace zr_directory {
namespace {

constexpr const char* kCertAttribute = "usercertificate;binary";
// Nothing more of a message begun for this long, and the directory counts as stalled in it.
constexpr PRUint32 kStallMicroseconds = 100000;

class SearchBeginCommand : public Command {
 public:
  explicit SearchBeginCommand(DirectoryBaseListener* listener) : mListener(listener) {}
  void Execute() override {
    if (mListener) mListener->OnSearchBegin();
  }

 private:
  DirectoryBaseListener* mListener;
};

// Reads the host name when it runs, so a Change queued meanwhile shows.
class ServerUnavailableCommand : public Command {
 public:
  ServerUnavailableCommand(DirectoryBaseListener* listener, DirectoryServer* server)
      : mListener(listener), mServer(server) {}
  void Execute() override {
    if (mListener) mListener->OnServerUnavailable(mServer->GetHostName());
  }

 private:
  DirectoryBaseListener* mListener;
  DirectoryServer* mServer;
};

class SearchEntryCommand : public Command {
 public:
  SearchEntryCommand(DirectorySearchListener* listener, DirectoryServer* server, IPCMessage* entry)
      : mListener(listener), mServer(server), mEntry(entry) {}
  ~SearchEntryCommand() override { IPC_DestroyMessage(mEntry); }
  void Execute() override {
    if (mListener) mListener->OnSearchEntry(mEntry);
  }

 private:
  DirectorySearchListener* mListener;
  DirectoryServer* mServer;
  IPCMessage* mEntry;
};

// Takes over the listener reference: released on the UI thread right after OnSearchEnd, or later when
// the command is dropped.
class SearchEndCommand : public Command {
 public:
  explicit SearchEndCommand(DirectoryBaseListener* listener) : mListener(listener), mRan(false) {}
  ~SearchEndCommand() override {
    if (mRan) {
      Releaser::ReleaseOnUIThread(mListener);
    } else {
      ReleaseLater(mListener);
    }
  }
  void Execute() override {
    mRan = true;
    if (mListener) mListener->OnSearchEnd();
  }

 private:
  DirectoryBaseListener* mListener;
  bool mRan;
};

class CertFoundCommand : public Command {
 public:
  CertFoundCommand(DirectoryCertLookupListener* listener, const char* address, const char* data,
                   unsigned long length)
      : mListener(listener), mAddress(address), mData(data), mLength(length) {}
  void Execute() override {
    if (mListener) mListener->OnCertFound(mAddress, mData, mLength);
  }

 private:
  DirectoryCertLookupListener* mListener;
  const char* mAddress;
  const char* mData;
  unsigned long mLength;
};

class CertNotFoundCommand : public Command {
 public:
  CertNotFoundCommand(DirectoryCertLookupListener* listener, const char* address)
      : mListener(listener), mAddress(address) {}
  void Execute() override {
    if (mListener) mListener->OnCertNotFound(mAddress);
  }

 private:
  DirectoryCertLookupListener* mListener;
  const char* mAddress;
};

char** CopyStringArray(const char* const* strings, int count) {
  char** copy = static_cast<char**>(PR_Calloc(count + 1, sizeof(char*)));
  for (int i = 0; i < count; ++i) copy[i] = PL_strdup(strings[i]);
  return copy;
}

void FreeStringArray(char** strings) {
  if (!strings) return;
  for (char** p = strings; *p; ++p) PL_strfree(*p);
  PR_Free(strings);
}

}  // namespace

void ReleaseLater(Listener* listener) {
  if (listener) zr::UILoop::Post([listener] { listener->Release(); });
}

SearchCommand::SearchCommand(DirectoryServer* server, char* filter, int sizeLimit, const char* const* attrs,
                             int attrCount, DirectorySearchListener* listener, SearchTime timeLimit,
                             SearchTime pollInterval)
    : mServer(server),
      mFilter(filter),
      mSizeLimit(sizeLimit),
      mAttrs(CopyStringArray(attrs, attrCount)),
      mListener(listener),
      mCancelled(false),
      mTimeLimit(timeLimit),
      mPollInterval(pollInterval) {}

SearchCommand::~SearchCommand() {
  PR_Lock(mServer->mLock);
  if (mServer->mCurrent == this) mServer->mCurrent = nullptr;
  PR_Unlock(mServer->mLock);
  if (mFilter) PR_smprintf_free(mFilter);
  FreeStringArray(mAttrs);
  ReleaseLater(mListener);
}

void SearchCommand::SetCancelled() { mCancelled.store(true, std::memory_order_release); }

bool SearchCommand::IsCancelled() {
  return mCancelled.load(std::memory_order_acquire) || mServer->IsClosing();
}

void SearchCommand::Execute() {
  mServer->PostToSink(new SearchBeginCommand(mListener));
  if (!IsCancelled()) {
    if (!mServer->mLd || !Run()) {
      mServer->Reconnect(this);
      if (mServer->mLd) Run();
    }
  }
  if (!IsCancelled() && !mServer->mLd) {
    mServer->SetFailureTime(DirectoryServer::sNow());
    if (!mServer->mFailureReported) {
      mServer->mFailureReported = true;
      mServer->PostToSink(new ServerUnavailableCommand(mListener, mServer));
    }
  }
  DirectorySearchListener* listener = mListener;
  mListener = nullptr;
  mServer->PostToSink(new SearchEndCommand(listener));
}

bool SearchCommand::Run() {
  if (IsCancelled()) return true;
  // A connection that went down under the previous search cannot start this one.
  if (mServer->mHandleLost) return false;
  LDAP* ld = mServer->mLd;
  struct timeval timeLimit = {mTimeLimit.seconds, mTimeLimit.microseconds};
  struct timeval* timeLimitArg = mTimeLimit.IsZero() ? nullptr : &timeLimit;
  int msgid = 0;
  int rc;
  do {
    rc = ldap_search_ext(ld, mServer->mBase, LDAP_SCOPE_SUBTREE, mFilter, mAttrs, 0, nullptr, nullptr,
                         timeLimitArg, mSizeLimit, &msgid);
  } while (rc == LDAP_TIMEOUT && !IsCancelled());
  if (rc == LDAP_TIMEOUT) return true;  // cancelled while retrying
  if (rc != LDAP_SUCCESS) return false;

  // The server learns the time limit in whole seconds; the client keeps the exact limit itself.
  const PRIntervalTime started = PR_IntervalNow();
  const PRIntervalTime limit = PR_MicrosecondsToInterval(
      static_cast<PRUint32>(mTimeLimit.seconds) * 1000000u + static_cast<PRUint32>(mTimeLimit.microseconds));
  struct timeval poll = {mPollInterval.seconds, mPollInterval.microseconds};

  for (;;) {
    if (IsCancelled() || (timeLimitArg && PRIntervalTime(PR_IntervalNow() - started) >= limit)) {
      // A directory that stopped in the middle of a message will not finish it: the next search starts
      // over on a new connection instead of waiting behind the half message.
      if (mServer->mWatch->StalledInsideMessage(PR_MicrosecondsToInterval(kStallMicroseconds)))
        mServer->mHandleLost = true;
      ldap_abandon(ld, msgid);
      return true;
    }
    LDAPMessage* result = nullptr;
    struct timeval wait = poll;
    const int type = ldap_result(ld, msgid, LDAP_MSG_ONE, mPollInterval.IsZero() ? nullptr : &wait, &result);
    if (type == LDAP_RES_SEARCH_ENTRY) {
      for (LDAPMessage* e = ldap_first_entry(ld, result); e; e = ldap_next_entry(ld, e)) {
        IPCMessage* entry = IPC_NewMessage();
        for (char** attr = mAttrs; *attr; ++attr) {
          char** values = ldap_get_values(ld, e, *attr);
          if (values) {
            if (values[0]) IPC_MessageSetValue(entry, *attr, values[0]);
            ldap_value_free(values);
          }
        }
        mServer->PostToSink(new SearchEntryCommand(mListener, mServer, entry));
      }
    }
    ldap_msgfree(result);
    if (type == 0 || type == LDAP_TIMEOUT || type == LDAP_RES_SEARCH_ENTRY) continue;
    if (type == -1) {
      int error = LDAP_SUCCESS;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &error);
      if (error == LDAP_SERVER_DOWN) mServer->mHandleLost = true;
    }
    ldap_abandon(ld, msgid);
    return true;
  }
}

CertLookupCommand::CertLookupCommand(DirectoryServer* server, const char* const* addresses, int count,
                                     DirectoryCertLookupListener* listener)
    : mServer(server), mListener(listener) {
  mAddresses.AdoptItemDestructor(new FreeVoidItemDestructor);
  for (int i = 0; i < count; ++i) mAddresses.Append(PL_strdup(addresses[i]));
}

CertLookupCommand::~CertLookupCommand() { ReleaseLater(mListener); }

void CertLookupCommand::Execute() {
  mServer->PostToSink(new SearchBeginCommand(mListener));
  if (!mServer->mLd || !LookupAddresses()) {
    mServer->Reconnect();
    if (mServer->mLd) LookupAddresses();
  }
  if (!mServer->mLd && !mServer->mFailureReported) {
    mServer->mFailureReported = true;
    mServer->PostToSink(new ServerUnavailableCommand(mListener, mServer));
  }
  DirectoryCertLookupListener* listener = mListener;
  mListener = nullptr;
  mServer->PostToSink(new SearchEndCommand(listener));
}

bool CertLookupCommand::LookupAddresses() {
  if (mServer->mHandleLost) return false;
  LDAP* ld = mServer->mLd;
  char attrName[] = "usercertificate;binary";
  char* attrs[] = {attrName, nullptr};
  while (char* address = static_cast<char*>(mAddresses.RemoveHead())) {
    char* filter = PR_smprintf("(%s=%s)", "mail", address);
    LDAPMessage* result = nullptr;
    const int rc = ldap_search_s(ld, mServer->mBase, LDAP_SCOPE_SUBTREE, filter, attrs, 0, &result);
    PR_smprintf_free(filter);
    if (rc != LDAP_SUCCESS) {
      ldap_msgfree(result);
      PL_strfree(address);
      return false;
    }
    if (ldap_count_entries(ld, result) != 1) {
      mServer->SendToSink(new CertNotFoundCommand(mListener, address));
    } else {
      struct berval** values = ldap_get_values_len(ld, ldap_first_entry(ld, result), kCertAttribute);
      if (values && values[0]) {
        for (struct berval** v = values; *v; ++v)
          mServer->SendToSink(new CertFoundCommand(mListener, address, (*v)->bv_val, (*v)->bv_len));
      } else {
        mServer->SendToSink(new CertNotFoundCommand(mListener, address));
      }
      ldap_value_free_len(values);
    }
    PL_strfree(address);
    ldap_msgfree(result);
  }
  return true;
}

void ReplicateListenerAdapter::OnSearchBegin() {
  if (mListener) mListener->OnReplicateBegin();
}
void ReplicateListenerAdapter::OnServerUnavailable(const char* host) {
  if (mListener) mListener->OnReplicateUnavailable(host);
}
void ReplicateListenerAdapter::OnSearchEnd() {
  if (mListener) mListener->OnReplicateEnd();
}
void ReplicateListenerAdapter::OnSearchEntry(IPCMessage* entry) {
  if (mListener) mListener->OnReplicateEntry(entry);
}
void ReplicateListenerAdapter::Release() {
  if (mListener) mListener->Release();
  delete this;
}

}  // namespace zr_directory
