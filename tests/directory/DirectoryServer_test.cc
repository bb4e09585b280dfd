// Directory server connections: settings, Connect, the unavailable report and its reset, the 30-second
// back-off, Change, the sink, SSL through the application's functions, and destruction with work queued.
#include "DirectoryServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Alias.h"
#include "Command.h"
#include "CommandSink.h"
#include "DirectoryTestEnvironment.h"
#include "ScriptedLdapServer.h"
#include "UIPump.h"

namespace zr {
namespace test {
namespace {

using std::chrono::milliseconds;

std::atomic<PRTime> gFakeNow{0};
PRTime FakeNow() { return gFakeNow.load(); }

class FakeClock {
 public:
  FakeClock() {
    gFakeNow = PRTime(1700000000) * PR_USEC_PER_SEC;
    DirectoryServerTestPeer::SetClock(FakeNow);
  }
  ~FakeClock() { DirectoryServerTestPeer::ResetClock(); }
  void Advance(PRTime seconds) { gFakeNow += seconds * PR_USEC_PER_SEC; }
};

using DirectoryServerTest = DirectoryTest;

TEST_F(DirectoryServerTest, NewServerAnswersAtOnceAndAliasesFollowIt) {
  auto* server = new DirectoryServer("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 250, false, "extra");
  EXPECT_STREQ(server->GetHostName(), "127.0.0.1");
  EXPECT_EQ(server->GetDelay(), 250);
  Alias<DirectoryServer> alias(server);
  EXPECT_EQ(static_cast<DirectoryServer*>(alias), server);
  delete server;
  EXPECT_TRUE(alias.IsNull());

  DirectoryServer nulls(nullptr, 389, nullptr, 0, false, nullptr);
  EXPECT_EQ(nulls.GetHostName(), nullptr);
}

TEST_F(DirectoryServerTest, ConnectReportsSuccessOrFailureAndFailedConnectsKeepTrying) {
  DirectoryServer good("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(ConnectAndWait(good)->Calls(), Calls{"OnSuccess"});
  DirectoryServer closed("127.0.0.1", FreeLoopbackPort(), Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(ConnectAndWait(closed)->Calls(), Calls{"OnFailure(null)"});

  // A directory that refuses the anonymous bind: every Connect tries the network again.
  ScriptedLdapServer refusing(ScriptedLdapServer::Script::kAnswer);
  refusing.SetBindResult(49);
  ASSERT_TRUE(refusing.Start());
  DirectoryServer server("127.0.0.1", refusing.port(), Slapd::Base(), 0, false, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ConnectAndWait(server)->Calls(), Calls{"OnFailure(null)"});
  EXPECT_EQ(refusing.Binds(), 3);
  EXPECT_EQ(refusing.Connections(), 3);
}

TEST_F(DirectoryServerTest, UnavailableIsReportedOnceUntilConnectOrChange) {
  FakeClock clock;
  const int port = FreeLoopbackPort();
  DirectoryServer server("127.0.0.1", port, Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(TypeDownAndWait(server, "jo")->Calls(),
            (Calls{"OnSearchBegin", "OnServerUnavailable(127.0.0.1)", "OnSearchEnd"}));
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(TypeDownAndWait(server, "jo")->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));

  // The directory comes up; after the back-off a successful Connect clears the report.
  clock.Advance(31);
  ScriptedLdapServer directory(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(directory.Start(port));
  EXPECT_EQ(ConnectAndWait(server)->Calls(), Calls{"OnSuccess"});
  directory.Stop();
  int unavailable = 0;
  for (int i = 0; i < 3; ++i) unavailable += TypeDownAndWait(server, "jo")->CallCount("OnServerUnavailable");
  EXPECT_EQ(unavailable, 1);

  // Change clears it too; a replication hears of it through its own listener.
  server.Change("127.0.0.1", FreeLoopbackPort(), Slapd::Base(), 0, false);
  clock.Advance(31);
  Names attrs{"cn"};
  auto replicated = RunAndWait(new CountingReplicateListener, [&](auto* l) { server.Replicate(attrs, l); });
  EXPECT_EQ(replicated->Calls(),
            (Calls{"OnReplicateBegin", "OnReplicateUnavailable(127.0.0.1)", "OnReplicateEnd"}));
}

TEST_F(DirectoryServerTest, NoConnectionIsTriedWithin30SecondsOfAFailedSearch) {
  FakeClock clock;
  const int port = FreeLoopbackPort();
  DirectoryServer server("127.0.0.1", port, Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(TypeDownAndWait(server, "an")->CallCount("OnServerUnavailable"), 1);

  ScriptedLdapServer directory(ScriptedLdapServer::Script::kAnswer);
  directory.SetEntries({{"uid=a,dc=zr,dc=test", {{"cn", {"Ann Able"}}, {"mail", {"ann@zr.test"}}}}});
  ASSERT_TRUE(directory.Start(port));
  clock.Advance(10);
  EXPECT_EQ(ConnectAndWait(server)->Calls(), Calls{"OnFailure(null)"});
  clock.Advance(19);  // 29 s after the failure
  EXPECT_EQ(TypeDownAndWait(server, "an")->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));
  EXPECT_EQ(directory.Connections(), 0);

  clock.Advance(2);  // 31 s
  EXPECT_EQ(TypeDownAndWait(server, "an")->Calls(),
            (Calls{"OnSearchBegin", "OnSearchEntry(cn=Ann Able;mail=ann@zr.test)", "OnSearchEnd"}));
  EXPECT_EQ(directory.Connections(), 1);

  // A failing Connect records no failure time: the next one tries the network again.
  directory.Stop();
  EXPECT_EQ(ConnectAndWait(server)->Calls(), Calls{"OnFailure(null)"});
  ScriptedLdapServer again(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(again.Start(port));
  EXPECT_EQ(ConnectAndWait(server)->Calls(), Calls{"OnSuccess"});
}

TEST_F(DirectoryServerTest, ChangeReconnectsAtOnceOnlyWhenConnected) {
  ScriptedLdapServer first(ScriptedLdapServer::Script::kAnswer);
  ScriptedLdapServer second(ScriptedLdapServer::Script::kAnswer);
  ScriptedLdapServer third(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(first.Start() && second.Start() && third.Start());

  DirectoryServer connected("127.0.0.1", first.port(), "o=first", 100, false, nullptr);
  EXPECT_EQ(ConnectAndWait(connected)->Calls(), Calls{"OnSuccess"});
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
  ASSERT_EQ(third.Searches().size(), 1u);
  EXPECT_EQ(third.Searches()[0].base, "o=third");
  EXPECT_EQ(first.Connections(), 1);  // only the connected server's first connection
}

// A UI-thread sink that counts what reaches it and tells when it is deleted.
class CountingSink : public CommandSink {
 public:
  CountingSink(std::atomic<int>* commands, std::atomic<bool>* deleted)
      : mInner(CommandSink::CreateUIThreadCommandSink()), mCommands(commands), mDeleted(deleted) {}
  ~CountingSink() override { *mDeleted = true; }
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
  std::unique_ptr<CommandSink> mInner;
  std::atomic<int>* mCommands;
  std::atomic<bool>* mDeleted;
};

TEST_F(DirectoryServerTest, AdoptedSinkCarriesLaterNotificationsAndThePreviousIsDeleted) {
  std::atomic<int> firstCommands{0}, secondCommands{0};
  std::atomic<bool> firstDeleted{false}, secondDeleted{false};
  {
    DirectoryServer server("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
    server.AdoptCommandSink(new CountingSink(&firstCommands, &firstDeleted));
    EXPECT_EQ(ConnectAndWait(server)->Calls(), Calls{"OnSuccess"});
    EXPECT_EQ(firstCommands, 1);
    server.AdoptCommandSink(new CountingSink(&secondCommands, &secondDeleted));
    EXPECT_TRUE(firstDeleted);
    EXPECT_EQ(TypeDownAndWait(server, "Twomail")->CallCount("OnSearchEntry"), 1);
    EXPECT_EQ(secondCommands, 3);  // begin, entry, end
    EXPECT_EQ(firstCommands, 1);
    EXPECT_FALSE(secondDeleted);
  }
  EXPECT_TRUE(secondDeleted);
}

int RefusingAttach(const char*, unsigned long, const char*, unsigned long, PRFileDesc*, int, void*) {
  ++gNssCalls.attach;
  return 0;
}

int RefusingConfirm(PRFileDesc*) {
  ++gNssCalls.confirm;
  return 0;
}

TEST_F(DirectorySSLTest, SecureConnectionsGoThroughTheApplicationsFunctions) {
  // The ldaps port speaks only TLS: entries come back only if every byte went through the PRFileDesc
  // that the application's functions secured.
  DirectoryServer::SetSSLFuncs(NssAttach, NssConfirm);
  DirectoryServer secure("127.0.0.1", slapd->ldapsPort(), Slapd::Base(), 0, true, nullptr);
  EXPECT_EQ(
      TypeDownAndWait(secure, "Twomail")->Calls(),
      (Calls{"OnSearchBegin", "OnSearchEntry(cn=Twomail Person;mail=first.twomail@zr.test)", "OnSearchEnd"}));
  EXPECT_EQ(gNssCalls.attach, 1);
  EXPECT_EQ(gNssCalls.confirm, 1);
  EXPECT_EQ(gNssCalls.lastHost, "127.0.0.1");
  EXPECT_EQ(gNssCalls.lastPort, static_cast<unsigned long>(slapd->ldapsPort()));

  // Several TLS records' worth of entries, and a new host after Change gets its own attach.
  secure.Change("localhost", slapd->ldapsPort(), Slapd::Base(), 0, true);
  EXPECT_EQ(Entries(*TypeDownAndWait(secure, "J", 2000)).size(), static_cast<size_t>(kTestPeople / 4));
  EXPECT_EQ(gNssCalls.attach, 2);
  EXPECT_EQ(gNssCalls.lastHost, "localhost");

  // The same port spoken to in clear fails; so does TLS to the plain port.
  DirectoryServer plain("127.0.0.1", slapd->ldapsPort(), Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(ConnectAndWait(plain)->Calls(), Calls{"OnFailure(null)"});
  DirectoryServer mismatched("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, true, nullptr);
  EXPECT_EQ(ConnectAndWait(mismatched)->Calls(), Calls{"OnFailure(null)"});
}

TEST_F(DirectorySSLTest, MissingOrFailingSSLFunctionsFailTheConnection) {
  // In turn: no functions, a refusing attach, a refusing confirm, a real handshake that fails (the
  // certificate is refused); then the handle recovers, every new socket getting attach and confirm again.
  const struct {
    SSLAttachFunc attach;
    SSLConfirmFunc confirm;
    bool reject;
    const char* outcome;
    int attaches, confirms;  // so far
  } steps[] = {{nullptr, nullptr, false, "OnFailure(null)", 0, 0},
               {RefusingAttach, NssConfirm, false, "OnFailure(null)", 1, 0},
               {NssAttach, RefusingConfirm, false, "OnFailure(null)", 2, 1},
               {NssAttach, NssConfirm, true, "OnFailure(null)", 3, 2},
               {NssAttach, NssConfirm, false, "OnSuccess", 4, 3},
               {NssAttach, NssConfirm, false, "OnSuccess", 5, 4}};
  DirectoryServer secure("127.0.0.1", slapd->ldapsPort(), Slapd::Base(), 0, true, nullptr);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.attaches);
    DirectoryServer::SetSSLFuncs(step.attach, step.confirm);
    gNssCalls.rejectCertificate = step.reject;
    EXPECT_EQ(ConnectAndWait(secure)->Calls(), Calls{step.outcome});
    EXPECT_EQ(gNssCalls.attach, step.attaches);
    EXPECT_EQ(gNssCalls.confirm, step.confirms);
  }
}

TEST_F(DirectoryServerTest, DestroyingAServerReleasesEveryListenerOnce) {
  ScriptedLdapServer stalled(ScriptedLdapServer::Script::kStall);
  ASSERT_TRUE(stalled.Start());
  std::vector<std::shared_ptr<ListenerRecord>> records;
  {
    DirectoryServer server("127.0.0.1", stalled.port(), Slapd::Base(), 0, false, nullptr);
    DirectorySearch search("cn", "x");
    Names attrs{"cn"};
    records = {
        Queue(new CountingResultListener, [&](auto* l) { server.Connect(l); }),
        Queue(new CountingSearchListener, [&](auto* l) { server.TypeDownSearch("jo", 10, l); }),
        Queue(new CountingSearchListener,
              [&](auto* l) { DirectoryServerTestPeer::SearchNoCancel(&server, search, attrs, 5, l); }),
        Queue(new CountingReplicateListener, [&](auto* l) { server.Replicate(attrs, l); }),
        // any address: it never runs
        Queue(new CountingCertListener(nullptr, nullptr), [&](auto* l) { server.LookupCerts(attrs, l); })};
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
    auto record = Queue(new CountingCertListener(&slapd->certA(), &slapd->certB()),
                        [&](auto* l) { server->LookupCerts(addresses, l); });
    std::this_thread::sleep_for(milliseconds(50 * round));
    delete server;
    EXPECT_TRUE(Finished(record));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  }
}

}  // namespace
}  // namespace test
}  // namespace zr
