// What the directory tests share: the private slapd started once by the test main, a fixture that needs
// it, NSS as the application's SSL functions, counting listeners of the directory interfaces, helpers
// that run a request and wait for its listener's release, and access to a server's private parts.
#ifndef ZR_TESTS_DIRECTORY_DIRECTORYTESTENVIRONMENT_H
#define ZR_TESTS_DIRECTORY_DIRECTORYTESTENVIRONMENT_H

#include <gtest/gtest.h>
#include <prtime.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "CountingListeners.h"
#include "DirectorySearchListener.h"
#include "DirectoryServer.h"
#include "IPCMessage.h"
#include "SlapdFixture.h"

namespace zr {
namespace test {

using Calls = std::vector<std::string>;

// A list of attribute names or addresses, as the server's calls take them.
struct Names : List<const char*> {
  Names(std::initializer_list<const char*> names) {
    for (const char* name : names) Append(name);
  }
};

// People generated for the test run (several thousand).
constexpr int kTestPeople = 3000;

// "key=value;key=value" in the message's order.
inline std::string Describe(IPCMessage* entry) {
  std::string text;
  for (int i = 0; i < IPC_MessageGetCount(entry); ++i) {
    if (i) text += ";";
    text += std::string(IPC_MessageGetKeyAt(entry, i)) + "=" + IPC_MessageGetValueAt(entry, i);
  }
  return text;
}

// Counts like Counting<Interface>, and may also copy each call, as "<tag>:<call>", into a journal shared
// by several listeners, which shows the order in which they were called. Application code may run after
// each call (onCall, given the call's text) and in Release, before the release is counted.
template <typename Interface>
class Journaled : public Counting<Interface> {
 public:
  explicit Journaled(ListenerRecord* journal = nullptr, std::string tag = "")
      : mJournal(journal), mTag(std::move(tag)) {}
  void Release() override {
    if (onRelease) onRelease();
    Counting<Interface>::Release();
  }
  std::function<void(const std::string&)> onCall;
  std::function<void()> onRelease;

 protected:
  void Note(const std::string& call) {
    this->Record(call);
    if (mJournal) mJournal->AddCall(mTag + ":" + call, CurrentThreadIsUIThread());
    if (onCall) onCall(call);
  }

 private:
  ListenerRecord* mJournal;
  std::string mTag;
};

class CountingSearchListener : public Journaled<DirectorySearchListener> {
 public:
  using Journaled::Journaled;
  void OnSearchBegin() override { Note("OnSearchBegin"); }
  void OnServerUnavailable(const char* host) override { Note("OnServerUnavailable(" + Text(host) + ")"); }
  void OnSearchEnd() override { Note("OnSearchEnd"); }
  void OnSearchEntry(IPCMessage* entry) override { Note("OnSearchEntry(" + Describe(entry) + ")"); }
};

// Certificates are recorded by name when they equal one of the two known ones.
class CountingCertListener : public Journaled<DirectoryCertLookupListener> {
 public:
  CountingCertListener(const std::string* certA, const std::string* certB) : mCertA(certA), mCertB(certB) {}
  void OnSearchBegin() override { Note("OnSearchBegin"); }
  void OnServerUnavailable(const char* host) override { Note("OnServerUnavailable(" + Text(host) + ")"); }
  void OnSearchEnd() override { Note("OnSearchEnd"); }
  void OnCertFound(const char* address, const char* data, unsigned long length) override {
    const std::string bytes(data, length);
    const char* name = (mCertA && bytes == *mCertA) ? "A" : (mCertB && bytes == *mCertB) ? "B" : "?";
    Note("OnCertFound(" + Text(address) + "," + name + ")");
  }
  void OnCertNotFound(const char* address) override { Note("OnCertNotFound(" + Text(address) + ")"); }

 private:
  const std::string* mCertA;
  const std::string* mCertB;
};

class CountingReplicateListener : public Journaled<DirectoryReplicateListener> {
 public:
  using Journaled::Journaled;
  void OnReplicateUnavailable(const char* host) override {
    Note("OnReplicateUnavailable(" + Text(host) + ")");
  }
  void OnReplicateBegin() override { Note("OnReplicateBegin"); }
  void OnReplicateEnd() override { Note("OnReplicateEnd"); }
  void OnReplicateEntry(IPCMessage* entry) override { Note("OnReplicateEntry(" + Describe(entry) + ")"); }
};

// Null when slapd could not start (the tests needing it fail with the reason).
Slapd* TestSlapd();
const std::string& TestSlapdError();

// Runs the UI queue until every given record shows a release, or 10 s pass.
bool PumpUntilReleased(std::initializer_list<const ListenerRecord*> records);
bool Finished(const std::shared_ptr<ListenerRecord>& record);

// Hands the listener to start, which queues a request; Queue answers the listener's record, RunAndWait
// also waits for its release: once, on the UI thread.
template <typename Listener, typename Start>
std::shared_ptr<ListenerRecord> Queue(Listener* listener, Start start) {
  auto record = listener->record();
  start(listener);
  return record;
}
template <typename Listener, typename Start>
std::shared_ptr<ListenerRecord> RunAndWait(Listener* listener, Start start) {
  auto record = Queue(listener, start);
  EXPECT_TRUE(Finished(record));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  return record;
}
std::shared_ptr<ListenerRecord> ConnectAndWait(DirectoryServer& server);
std::shared_ptr<ListenerRecord> TypeDownAndWait(DirectoryServer& server, const char* text, int max = 10);
std::shared_ptr<ListenerRecord> SearchAndWait(DirectoryServer& server, DirectorySearch& search,
                                              std::initializer_list<const char*> attrs, int max);
// The entries of a search listener's calls, as Describe gives them.
Calls Entries(const ListenerRecord& record);

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slapd = TestSlapd();
    ASSERT_NE(slapd, nullptr) << TestSlapdError();
  }
  Slapd* slapd = nullptr;
};

// NSS in the part of the application's SSL functions: attach imports the socket into NSS as a client
// (accepting the test's self-signed certificate unless told to reject it), confirm completes the handshake.
struct NssCalls {
  std::atomic<int> attach{0};
  std::atomic<int> confirm{0};
  std::atomic<bool> rejectCertificate{false};
  std::string lastHost;  // written by attach on the worker; read once the work is done
  std::atomic<unsigned long> lastPort{0};
};
extern NssCalls gNssCalls;
int NssAttach(const char* host, unsigned long port, const char*, unsigned long, PRFileDesc* socket, int flag,
              void*);
int NssConfirm(PRFileDesc* socket);
bool InitNss();

// NSS initialised, the counters cleared; the SSL functions are unset again after each test.
class DirectorySSLTest : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    ASSERT_TRUE(InitNss());
    gNssCalls.attach = 0;
    gNssCalls.confirm = 0;
    gNssCalls.rejectCertificate = false;
  }
  void TearDown() override { DirectoryServer::SetSSLFuncs(nullptr, nullptr); }
};

}  // namespace test
}  // namespace zr

class DirectoryServerTestPeer {
 public:
  static void SetClock(PRTime (*now)()) { DirectoryServer::sNow = now; }
  static void ResetClock() { DirectoryServer::sNow = PR_Now; }
  // The bound on a bind or a certificate search; restored by ResetRequestLimit.
  static void SetRequestLimit(int milliseconds) { DirectoryServer::sRequestLimitMs = milliseconds; }
  static void ResetRequestLimit() { DirectoryServer::sRequestLimitMs = DirectoryServer::kRequestLimitMs; }
  static void SearchNoCancel(DirectoryServer* server, DirectorySearch& search, List<const char*>& attrs,
                             int maxResults, DirectorySearchListener* listener) {
    server->SearchNoCancel(search, attrs, maxResults, listener);
  }
};

#endif
