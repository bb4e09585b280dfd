// Directory server connections: settings, Connect, the unavailable report and its reset, the 30-second
// back-off, Change, the sink, SSL through the application's functions, and destruction with work queued.
#include "DirectoryServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "Alias.h"
#include "Command.h"
#include "CommandSink.h"
#include "DirectoryTestEnvironment.h"
#include "DirectoryTestListeners.h"
#include "NssSslFuncs.h"
#include "ScriptedLdapServer.h"
#include "UIPump.h"

namespace zr {
namespace test {
namespace {

using std::chrono::milliseconds;

std::atomic<PRTime> gFakeNow{0};
PRTime FakeNow() { return gFakeNow.load(); }
constexpr PRTime kSecond = PR_USEC_PER_SEC;

class FakeClock {
 public:
  FakeClock() {
    gFakeNow = PRTime(1700000000) * kSecond;
    DirectoryServerTestPeer::SetClock(FakeNow);
  }
  ~FakeClock() { DirectoryServerTestPeer::ResetClock(); }
  void Advance(PRTime seconds) { gFakeNow += seconds * kSecond; }
};

std::vector<ScriptedEntry> TwoPeople() {
  return {{"uid=a,dc=zr,dc=test", {{"cn", {"Ann Able"}}, {"mail", {"ann@zr.test"}}}},
          {"uid=b,dc=zr,dc=test", {{"cn", {"Ben Baker"}}, {"mail", {"ben@zr.test", "b2@zr.test"}}}}};
}

// Waits for a listener's end and release.
bool Finished(const std::shared_ptr<ListenerRecord>& record) { return PumpUntilReleased({record.get()}); }

std::shared_ptr<ListenerRecord> ConnectAndWait(DirectoryServer& server) {
  auto* listener = new CountingResultListener;
  auto record = listener->record();
  server.Connect(listener);
  EXPECT_TRUE(Finished(record));
  return record;
}

std::shared_ptr<ListenerRecord> TypeDownAndWait(DirectoryServer& server, const char* text, int max = 10,
                                                Journal* journal = nullptr) {
  auto* listener = new CountingSearchListener(journal, text);
  auto record = listener->record();
  server.TypeDownSearch(text, max, listener);
  EXPECT_TRUE(Finished(record));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  return record;
}

class DirectoryServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slapd = TestSlapd();
    ASSERT_NE(slapd, nullptr) << TestSlapdError();
  }
  Slapd* slapd = nullptr;
};

TEST_F(DirectoryServerTest, NewServerAnswersAtOnceAndAliasesFollowIt) {
  auto* server = new DirectoryServer("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 250, false, "extra");
  EXPECT_STREQ(server->GetHostName(), "127.0.0.1");
  EXPECT_EQ(server->GetDelay(), 250);
  Alias<DirectoryServer> alias(server);
  Alias<DirectoryServer> copy(alias);
  Alias<DirectoryServer> assigned;
  assigned = alias;
  EXPECT_FALSE(alias.IsNull());
  EXPECT_EQ(static_cast<DirectoryServer*>(copy), server);
  delete server;
  EXPECT_TRUE(alias.IsNull());
  EXPECT_TRUE(copy.IsNull());
  EXPECT_EQ(static_cast<DirectoryServer*>(assigned), nullptr);

  DirectoryServer nulls(nullptr, 389, nullptr, 0, false, nullptr);
  EXPECT_EQ(nulls.GetHostName(), nullptr);
}

TEST_F(DirectoryServerTest, ConnectReportsSuccessOrFailureAndFailedConnectsKeepTrying) {
  DirectoryServer good("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
  auto ok = ConnectAndWait(good);
  EXPECT_EQ(ok->Calls(), std::vector<std::string>{"OnSuccess"});
  EXPECT_TRUE(ReleasedOnceOnUIThread(*ok));

  DirectoryServer closed("127.0.0.1", FreeLoopbackPort(), Slapd::Base(), 0, false, nullptr);
  auto failed = ConnectAndWait(closed);
  EXPECT_EQ(failed->Calls(), std::vector<std::string>{"OnFailure(null)"});
  EXPECT_TRUE(ReleasedOnceOnUIThread(*failed));

  // A directory that refuses the anonymous bind: every Connect tries the network again.
  ScriptedLdapServer refusing(ScriptedLdapServer::Script::kAnswer);
  refusing.SetBindResult(49);
  ASSERT_TRUE(refusing.Start());
  DirectoryServer server("127.0.0.1", refusing.port(), Slapd::Base(), 0, false, nullptr);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ConnectAndWait(server)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  EXPECT_EQ(refusing.Binds(), 3);
  EXPECT_EQ(refusing.Connections(), 3);
}

TEST_F(DirectoryServerTest, UnavailableIsReportedOnceUntilConnectOrChange) {
  FakeClock clock;
  const int port = FreeLoopbackPort();
  DirectoryServer server("127.0.0.1", port, Slapd::Base(), 0, false, nullptr);
  int unavailable = 0;
  for (int i = 0; i < 3; ++i) {
    auto record = TypeDownAndWait(server, "jo");
    EXPECT_EQ(record->Calls().front(), "OnSearchBegin");
    EXPECT_EQ(record->Calls().back(), "OnSearchEnd");
    EXPECT_EQ(record->CallCount("OnSearchEntry"), 0);
    unavailable += record->CallCount("OnServerUnavailable(127.0.0.1)");
    if (i == 0) {
      EXPECT_EQ(record->CallCount("OnServerUnavailable"), 1);
    }
  }
  EXPECT_EQ(unavailable, 1);

  // The directory comes up; after the back-off a successful Connect clears the report.
  clock.Advance(31);
  ScriptedLdapServer directory(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(directory.Start(port));
  EXPECT_EQ(ConnectAndWait(server)->Calls(), std::vector<std::string>{"OnSuccess"});
  directory.Stop();
  unavailable = 0;
  for (int i = 0; i < 3; ++i) unavailable += TypeDownAndWait(server, "jo")->CallCount("OnServerUnavailable");
  EXPECT_EQ(unavailable, 1);

  // Change clears it too.
  server.Change("127.0.0.1", FreeLoopbackPort(), Slapd::Base(), 0, false);
  clock.Advance(31);
  EXPECT_EQ(TypeDownAndWait(server, "jo")->CallCount("OnServerUnavailable(127.0.0.1)"), 1);
}

TEST_F(DirectoryServerTest, NoConnectionIsTriedWithin30SecondsOfAFailedSearch) {
  FakeClock clock;
  const int port = FreeLoopbackPort();
  DirectoryServer server("127.0.0.1", port, Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(TypeDownAndWait(server, "an")->CallCount("OnServerUnavailable"), 1);

  ScriptedLdapServer directory(ScriptedLdapServer::Script::kAnswer);
  directory.SetEntries(TwoPeople());
  ASSERT_TRUE(directory.Start(port));
  clock.Advance(10);
  EXPECT_EQ(ConnectAndWait(server)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  clock.Advance(19);  // 29 s after the failure
  auto quiet = TypeDownAndWait(server, "an");
  EXPECT_EQ(quiet->Calls(), (std::vector<std::string>{"OnSearchBegin", "OnSearchEnd"}));
  EXPECT_EQ(directory.Connections(), 0);

  clock.Advance(2);  // 31 s
  auto found = TypeDownAndWait(server, "an");
  EXPECT_EQ(found->Calls(),
            (std::vector<std::string>{"OnSearchBegin", "OnSearchEntry(cn=Ann Able;mail=ann@zr.test)",
                                      "OnSearchEntry(cn=Ben Baker;mail=ben@zr.test)", "OnSearchEnd"}));
  EXPECT_EQ(directory.Connections(), 1);

  // A failing Connect records no failure time: the next one tries the network again.
  directory.Stop();
  EXPECT_EQ(ConnectAndWait(server)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  ScriptedLdapServer again(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(again.Start(port));
  EXPECT_EQ(ConnectAndWait(server)->Calls(), std::vector<std::string>{"OnSuccess"});
}

TEST_F(DirectoryServerTest, ChangeReconnectsAtOnceOnlyWhenConnected) {
  ScriptedLdapServer first(ScriptedLdapServer::Script::kAnswer);
  ScriptedLdapServer second(ScriptedLdapServer::Script::kAnswer);
  ScriptedLdapServer third(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(first.Start() && second.Start() && third.Start());

  DirectoryServer connected("127.0.0.1", first.port(), "o=first", 100, false, nullptr);
  EXPECT_EQ(ConnectAndWait(connected)->Calls(), std::vector<std::string>{"OnSuccess"});
  connected.Change("localhost", second.port(), "o=second", 300, false);
  EXPECT_TRUE(second.WaitFor([&] { return second.Binds() == 1; }, milliseconds(5000)));  // no search needed
  EXPECT_STREQ(connected.GetHostName(), "localhost");
  EXPECT_EQ(connected.GetDelay(), 300);
  TypeDownAndWait(connected, "x");
  ASSERT_EQ(second.Searches().size(), 1u);
  EXPECT_EQ(second.Searches()[0].base, "o=second");
  EXPECT_TRUE(first.Searches().empty());

  DirectoryServer idle("127.0.0.1", first.port(), "o=first", 100, false, nullptr);
  idle.Change("127.0.0.1", third.port(), "o=third", 100, false);
  PumpFor(milliseconds(300));
  EXPECT_EQ(third.Connections(), 0);  // the settings wait for the next connection
  TypeDownAndWait(idle, "x");
  EXPECT_EQ(third.Connections(), 1);
  ASSERT_EQ(third.Searches().size(), 1u);
  EXPECT_EQ(third.Searches()[0].base, "o=third");
  EXPECT_EQ(first.Connections(), 1);  // only the connected server's first connection
}

// A sink that counts what reaches it and tells when it is deleted.
class CountingSink : public CommandSink {
 public:
  CountingSink(std::atomic<int>* commands, std::atomic<bool>* deleted)
      : mInner(CommandSink::CreateUIThreadCommandSink()), mCommands(commands), mDeleted(deleted) {}
  ~CountingSink() override {
    delete mInner;
    *mDeleted = true;
  }
  void PostCommand(Command* command) override {
    ++*mCommands;
    mInner->PostCommand(command);
  }
  void SendCommand(Command* command) override {
    ++*mCommands;
    mInner->SendCommand(command);
  }
  void Shutdown() override { mInner->Shutdown(); }

 private:
  CommandSink* mInner;
  std::atomic<int>* mCommands;
  std::atomic<bool>* mDeleted;
};

TEST_F(DirectoryServerTest, AdoptedSinkCarriesLaterNotificationsAndThePreviousIsDeleted) {
  std::atomic<int> firstCommands{0}, secondCommands{0};
  std::atomic<bool> firstDeleted{false}, secondDeleted{false};
  {
    DirectoryServer server("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
    server.AdoptCommandSink(new CountingSink(&firstCommands, &firstDeleted));
    EXPECT_EQ(ConnectAndWait(server)->Calls(), std::vector<std::string>{"OnSuccess"});
    EXPECT_EQ(firstCommands, 1);
    server.AdoptCommandSink(new CountingSink(&secondCommands, &secondDeleted));
    EXPECT_TRUE(firstDeleted);
    auto record = TypeDownAndWait(server, "Twomail");
    EXPECT_EQ(record->CallCount("OnSearchEntry"), 1);
    EXPECT_EQ(secondCommands, 3);  // begin, entry, end
    EXPECT_EQ(firstCommands, 1);
    EXPECT_FALSE(secondDeleted);
  }
  EXPECT_TRUE(secondDeleted);
}

// Forwards one TCP connection to a target port and keeps every byte the client sent.
class RecordingRelay {
 public:
  explicit RecordingRelay(int target) : mTarget(target) {
    mListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(mListen, 4);
    getsockname(mListen, reinterpret_cast<sockaddr*>(&addr), &len);
    mPort = ntohs(addr.sin_port);
    mThread = std::thread([this] { Run(); });
  }
  ~RecordingRelay() {
    mStop = true;
    shutdown(mListen, SHUT_RDWR);
    mThread.join();
    close(mListen);
  }
  int port() const { return mPort; }
  std::string Sent() {
    std::lock_guard<std::mutex> guard(mMutex);
    return mSent;
  }
  std::string Received() {
    std::lock_guard<std::mutex> guard(mMutex);
    return mReceived;
  }

 private:
  void Run() {
    while (!mStop) {
      int client = accept(mListen, nullptr, nullptr);
      if (client < 0) return;
      int server = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr = {};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<uint16_t>(mTarget));
      if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) Pump(client, server);
      close(server);
      close(client);
    }
  }
  void Pump(int client, int server) {
    char buffer[16384];
    for (;;) {
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (poll(fds, 2, 100) < 0 || mStop) return;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        {
          std::lock_guard<std::mutex> guard(mMutex);
          (i == 0 ? mSent : mReceived).append(buffer, static_cast<size_t>(n));
        }
        if (send(i == 0 ? server : client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    }
  }

  int mTarget;
  int mListen;
  int mPort = 0;
  std::atomic<bool> mStop{false};
  std::thread mThread;
  std::mutex mMutex;
  std::string mSent;
  std::string mReceived;
};

class DirectorySSLTest : public DirectoryServerTest {
 protected:
  void SetUp() override {
    DirectoryServerTest::SetUp();
    ASSERT_TRUE(InitNss());
    gNssCalls.attach = 0;
    gNssCalls.confirm = 0;
    gNssCalls.rejectCertificate = false;
  }
  void TearDown() override { DirectoryServer::SetSSLFuncs(nullptr, nullptr); }
};

TEST_F(DirectorySSLTest, SecureConnectionCarriesEncryptedTrafficThroughTheApplicationsFunctions) {
  DirectoryServer::SetSSLFuncs(NssAttach, NssConfirm);
  RecordingRelay relay(slapd->ldapsPort());
  DirectoryServer secure("127.0.0.1", relay.port(), Slapd::Base(), 0, true, nullptr);
  auto record = TypeDownAndWait(secure, "Twomail");
  EXPECT_EQ(
      record->Calls(),
      (std::vector<std::string>{
          "OnSearchBegin", "OnSearchEntry(cn=Twomail Person;mail=first.twomail@zr.test)", "OnSearchEnd"}));
  EXPECT_EQ(gNssCalls.attach, 1);
  EXPECT_EQ(gNssCalls.confirm, 1);
  EXPECT_EQ(gNssCalls.lastHost, "127.0.0.1");
  EXPECT_EQ(gNssCalls.lastPort, static_cast<unsigned long>(relay.port()));

  // On the wire: a TLS handshake first, and neither the filter nor the entry in clear.
  const std::string sent = relay.Sent();
  const std::string received = relay.Received();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(static_cast<unsigned char>(sent[0]), 0x16);
  EXPECT_EQ(sent.find("Twomail"), std::string::npos);
  EXPECT_EQ(sent.find("mail"), std::string::npos);
  EXPECT_EQ(received.find("Twomail"), std::string::npos);
  EXPECT_EQ(received.find("twomail@zr.test"), std::string::npos);

  // The same port spoken to in clear fails; so does TLS to the plain port.
  DirectoryServer plain("127.0.0.1", slapd->ldapsPort(), Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(ConnectAndWait(plain)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  DirectoryServer mismatched("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, true, nullptr);
  EXPECT_EQ(ConnectAndWait(mismatched)->Calls(), std::vector<std::string>{"OnFailure(null)"});
}

TEST_F(DirectorySSLTest, MissingOrFailingSSLFunctionsFailTheConnection) {
  DirectoryServer secure("127.0.0.1", slapd->ldapsPort(), Slapd::Base(), 0, true, nullptr);

  DirectoryServer::SetSSLFuncs(nullptr, nullptr);
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  EXPECT_EQ(gNssCalls.attach, 0);

  DirectoryServer::SetSSLFuncs(RefusingAttach, NssConfirm);
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  EXPECT_EQ(gNssCalls.attach, 1);
  EXPECT_EQ(gNssCalls.confirm, 0);

  DirectoryServer::SetSSLFuncs(NssAttach, RefusingConfirm);
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  EXPECT_EQ(gNssCalls.attach, 2);
  EXPECT_EQ(gNssCalls.confirm, 1);

  // A real handshake that fails: the certificate is refused.
  DirectoryServer::SetSSLFuncs(NssAttach, NssConfirm);
  gNssCalls.rejectCertificate = true;
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), std::vector<std::string>{"OnFailure(null)"});
  EXPECT_EQ(gNssCalls.confirm, 2);

  // The handle recovers once the functions work: every new socket gets attach and confirm again.
  gNssCalls.rejectCertificate = false;
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), std::vector<std::string>{"OnSuccess"});
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), std::vector<std::string>{"OnSuccess"});
  EXPECT_EQ(gNssCalls.attach, 5);
  EXPECT_EQ(gNssCalls.confirm, 4);
}

TEST_F(DirectoryServerTest, DestroyingAServerReleasesEveryListenerOnce) {
  ScriptedLdapServer stalled(ScriptedLdapServer::Script::kStall);
  ASSERT_TRUE(stalled.Start());
  std::vector<std::shared_ptr<ListenerRecord>> records;
  {
    DirectoryServer server("127.0.0.1", stalled.port(), Slapd::Base(), 0, false, nullptr);
    auto* connect = new CountingResultListener;
    records.push_back(connect->record());
    server.Connect(connect);
    auto* typeDown = new CountingSearchListener;
    records.push_back(typeDown->record());
    server.TypeDownSearch("jo", 10, typeDown);
    DirectorySearch search("cn", "x");
    List<const char*> attrs;
    attrs.Append("cn");
    auto* noCancel = new CountingSearchListener;
    records.push_back(noCancel->record());
    DirectoryServerTestPeer::SearchNoCancel(&server, search, attrs, 5, noCancel);
    auto* replicate = new CountingReplicateListener;
    records.push_back(replicate->record());
    server.Replicate(attrs, replicate);
    List<const char*> addresses;
    addresses.Append("certone@zr.test");
    auto* certs = new CountingCertListener(nullptr, nullptr);
    records.push_back(certs->record());
    server.LookupCerts(addresses, certs);
    // Destroy while the type-down is waiting on the stalled directory.
    EXPECT_TRUE(stalled.WaitFor([&] { return !stalled.Searches().empty(); }, milliseconds(5000)));
  }
  for (auto& record : records) {
    EXPECT_TRUE(Finished(record));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  }

  // Destroyed on the UI thread while the worker waits for the UI thread to take a certificate.
  for (int round = 0; round < 3; ++round) {
    auto* server = new DirectoryServer("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
    List<const char*> addresses;
    for (int i = 0; i < 20; ++i) addresses.Append("certtwo@zr.test");
    auto* certs = new CountingCertListener(&slapd->certA(), &slapd->certB());
    auto record = certs->record();
    server->LookupCerts(addresses, certs);
    std::this_thread::sleep_for(milliseconds(50 * round));
    delete server;
    EXPECT_TRUE(Finished(record));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  }
}

}  // namespace
}  // namespace test
}  // namespace zr
