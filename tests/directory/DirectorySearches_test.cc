// Searches on a directory server: type-down entries and limits, what reaches the wire, superseded
// searches, SearchNoCancel, replication, certificate lookups, and directories that misbehave.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "DirectoryServer.h"
#include "DirectoryTestEnvironment.h"
#include "ScriptedLdapServer.h"
#include "UIPump.h"

namespace zr {
namespace test {
namespace {

using std::chrono::milliseconds;

std::vector<ScriptedEntry> People(int count) {
  std::vector<ScriptedEntry> people;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    people.push_back(
        {"uid=s" + n + ",dc=zr,dc=test", {{"cn", {"Slow " + n}}, {"mail", {"slow" + n + "@zr.test"}}}});
  }
  return people;
}

// A scripted directory (slow entries come one per interval), with a server for it.
struct Scripted {
  explicit Scripted(ScriptedLdapServer::Script script, std::vector<ScriptedEntry> entries = {},
                    int intervalMs = 20)
      : directory(script) {
    directory.SetEntries(std::move(entries));
    directory.SetInterval(milliseconds(intervalMs));
    EXPECT_TRUE(directory.Start());
    server.reset(new DirectoryServer("127.0.0.1", directory.port(), "o=t", 0, false, nullptr));
  }
  ScriptedLdapServer directory;
  std::unique_ptr<DirectoryServer> server;
};
using Script = ScriptedLdapServer::Script;

int IndexOf(const Calls& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

using DirectorySearchesTest = DirectoryTest;

TEST_F(DirectorySearchesTest, TypeDownDeliversFirstValuesOfCnAndMailUpToTheSizeLimit) {
  DirectoryServer server("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
  auto jo = TypeDownAndWait(server, "jo", 10);
  EXPECT_EQ(jo->Calls().front(), "OnSearchBegin");
  EXPECT_EQ(jo->Calls().back(), "OnSearchEnd");
  const Calls entries = Entries(*jo);
  EXPECT_EQ(entries.size(), 10u);
  for (const std::string& e : entries) {
    EXPECT_TRUE(e.rfind("cn=Jo", 0) == 0) << e;
    EXPECT_NE(e.find(";mail=jo"), std::string::npos) << e;
  }
  EXPECT_EQ(jo->CallCount("OnServerUnavailable"), 0);

  EXPECT_EQ(Entries(*TypeDownAndWait(server, "Twomail")),
            Calls{"cn=Twomail Person;mail=first.twomail@zr.test"});
  EXPECT_EQ(Entries(*TypeDownAndWait(server, "second.twomail")),
            Calls{"cn=Twomail Person;mail=first.twomail@zr.test"});
  EXPECT_EQ(Entries(*TypeDownAndWait(server, "Nomail")), Calls{"cn=Nomail Person"});
  EXPECT_TRUE(Entries(*TypeDownAndWait(server, "Nobody")).empty());

  // An unbalanced ')' makes a filter that cannot be sent: begin and end, nothing else.
  EXPECT_EQ(TypeDownAndWait(server, "a)")->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));

  // General searches fetch the attributes asked for, in that order, skipping those the entry lacks.
  DirectorySearch who("cn", "Nomail");
  EXPECT_EQ(Entries(*SearchAndWait(server, who, {"mail", "sn"}, 5)), Calls{"sn=Person"});
}

TEST_F(DirectorySearchesTest, RequestsOnTheWire) {
  ScriptedLdapServer directory(ScriptedLdapServer::Script::kAnswer);
  directory.SetEntries({{"uid=x,o=t", {{"cn", {"Xavier"}}, {"mail", {"x1@t", "x2@t"}}, {"sn", {"X"}}}},
                        {"uid=y,o=t", {{"telephoneNumber", {"555"}}}}});
  ASSERT_TRUE(directory.Start());
  DirectoryServer server("127.0.0.1", directory.port(), "o=t", 0, false, nullptr);

  // Only the first mail; an entry without any requested attribute still arrives, empty.
  EXPECT_EQ(Entries(*TypeDownAndWait(server, "jo", 10)), (Calls{"cn=Xavier;mail=x1@t", ""}));
  EXPECT_EQ(TypeDownAndWait(server, "a*b", 3)->CallCount("OnSearchEntry"), 2);

  DirectorySearch cn("cn", "ann"), mail("mail", "ann@t");
  mail.SetExactMatch(true);
  List<DirectorySearch*> terms;
  terms.Append(&cn);
  terms.Append(&mail);
  ComplexDirectorySearch both(ComplexDirectorySearch::And, terms);
  EXPECT_EQ(Entries(*SearchAndWait(server, both, {"sn", "cn"}, 7)), (Calls{"sn=X;cn=Xavier", ""}));

  Names attrs{"sn", "cn"};
  auto replicated = RunAndWait(new CountingReplicateListener, [&](auto* l) { server.Replicate(attrs, l); });
  EXPECT_EQ(replicated->Calls(), (Calls{"OnReplicateBegin", "OnReplicateEntry(sn=X;cn=Xavier)",
                                        "OnReplicateEntry()", "OnReplicateEnd"}));

  const auto searches = directory.Searches();
  ASSERT_EQ(searches.size(), 4u);
  EXPECT_EQ(searches[0].filter, "(|(cn=jo*)(mail=jo*))");
  EXPECT_EQ(searches[0].attributes, (Calls{"cn", "mail"}));
  EXPECT_EQ(searches[0].sizeLimit, 10);
  EXPECT_EQ(searches[0].timeLimit, 1);  // half a second reaches the server as one whole second
  EXPECT_EQ(searches[0].scope, 2);
  EXPECT_EQ(searches[0].base, "o=t");
  EXPECT_EQ(searches[1].filter, "(|(cn=a*b*)(mail=a*b*))");  // the '*' travelled as a wildcard
  EXPECT_EQ(searches[1].sizeLimit, 3);
  EXPECT_EQ(searches[2].filter, "(&(cn=ann*)(mail=ann@t))");
  EXPECT_EQ(searches[2].attributes, (Calls{"sn", "cn"}));
  EXPECT_EQ(searches[2].sizeLimit, 7);
  EXPECT_EQ(searches[3].filter, "(objectclass=top*)");
  EXPECT_EQ(searches[3].attributes, (Calls{"sn", "cn"}));
  EXPECT_EQ(searches[3].sizeLimit, 0);  // no limit
  EXPECT_EQ(searches[3].timeLimit, 0);
  EXPECT_EQ(directory.Binds(), 1);
}

TEST_F(DirectorySearchesTest, ASupersededTypeDownStopsAndBothEndInQueueOrder) {
  Scripted slow(Script::kSlowEntries, People(50), 10);
  ListenerRecord journal;
  auto* first = new CountingSearchListener(&journal, "first");
  auto* second = new CountingSearchListener(&journal, "second");
  auto firstRecord = first->record();
  auto secondRecord = second->record();
  slow.server->TypeDownSearch("s", 100, first);
  ASSERT_TRUE(PumpUntil([&] { return firstRecord->CallCount("OnSearchEntry") >= 2; }));
  slow.server->TypeDownSearch("sl", 100, second);
  ASSERT_TRUE(PumpUntilReleased({firstRecord.get(), secondRecord.get()}));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*firstRecord));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*secondRecord));

  const Calls lines = journal.Calls();
  const int firstEnd = IndexOf(lines, "first:OnSearchEnd");
  const int secondBegin = IndexOf(lines, "second:OnSearchBegin");
  EXPECT_EQ(IndexOf(lines, "first:OnSearchBegin"), 0);
  EXPECT_LT(0, firstEnd);
  EXPECT_LT(firstEnd, secondBegin);
  EXPECT_LT(secondBegin, IndexOf(lines, "second:OnSearchEnd"));
  EXPECT_EQ(lines.back(), "second:OnSearchEnd");
  // Stopped within a poll or two, well before its half-second limit would have let ~50 entries in.
  EXPECT_LT(firstRecord->CallCount("OnSearchEntry"), 30);
  EXPECT_EQ(firstRecord->CallCount("OnServerUnavailable"), 0);
  EXPECT_TRUE(slow.directory.WaitFor([&] { return slow.directory.Abandons() >= 1; }, milliseconds(5000)));
}

TEST_F(DirectorySearchesTest, SearchNoCancelIsNotStoppedByATypeDown) {
  Scripted slow(Script::kSlowEntries, People(100), 10);
  ListenerRecord journal;
  DirectorySearch search("cn", "Slow");
  Names attrs{"cn"};
  auto* resolving = new CountingSearchListener(&journal, "resolve");
  auto* typeDown = new CountingSearchListener(&journal, "typedown");
  auto resolveRecord = resolving->record();
  auto typeDownRecord = typeDown->record();
  DirectoryServerTestPeer::SearchNoCancel(slow.server.get(), search, attrs, 1000, resolving);
  ASSERT_TRUE(PumpUntil([&] { return resolveRecord->CallCount("OnSearchEntry") >= 1; }));
  const int atTypeDown = resolveRecord->CallCount("OnSearchEntry");
  slow.server->TypeDownSearch("x", 10, typeDown);
  slow.server->CancelSearch();  // cancels the type-down only
  ASSERT_TRUE(PumpUntilReleased({resolveRecord.get(), typeDownRecord.get()}));
  // It ran on to its own half-second limit: a cancelled search would stop within one 0.1 s poll.
  EXPECT_GE(resolveRecord->CallCount("OnSearchEntry"), atTypeDown + 20);
  EXPECT_EQ(typeDownRecord->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));
  const Calls lines = journal.Calls();
  EXPECT_LT(IndexOf(lines, "resolve:OnSearchEnd"), IndexOf(lines, "typedown:OnSearchBegin"));
}

TEST_F(DirectorySearchesTest, ReplicationRunsUntilALaterSearchStopsIt) {
  Scripted slow(Script::kSlowEntries, People(5), 5);
  ListenerRecord journal;
  Names attrs{"cn", "mail"};
  auto* replicate = new CountingReplicateListener(&journal, "replicate");
  auto replicated = replicate->record();
  slow.server->Replicate(attrs, replicate);
  // No time limit: it goes on well past half a second.
  ASSERT_TRUE(
      PumpUntil([&] { return replicated->CallCount("OnReplicateEntry") >= 150; }, milliseconds(20000)));
  EXPECT_FALSE(replicated->Released());
  EXPECT_EQ(replicated->CallCount("OnReplicateEntry(cn=Slow 0;mail=slow0@zr.test)"), 30);

  auto* typeDown = new CountingSearchListener(&journal, "typedown");
  auto typeDownRecord = typeDown->record();
  slow.server->TypeDownSearch("Slow 1", 10, typeDown);
  ASSERT_TRUE(PumpUntilReleased({replicated.get(), typeDownRecord.get()}));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*replicated));
  EXPECT_EQ(replicated->Calls().front(), "OnReplicateBegin");
  EXPECT_EQ(replicated->Calls().back(), "OnReplicateEnd");
  const Calls lines = journal.Calls();
  EXPECT_LT(IndexOf(lines, "replicate:OnReplicateEnd"), IndexOf(lines, "typedown:OnSearchBegin"));
  EXPECT_TRUE(slow.directory.WaitFor([&] { return slow.directory.Abandons() >= 1; }, milliseconds(5000)));
}

TEST_F(DirectorySearchesTest, CertificateLookups) {
  DirectoryServer server("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
  Names addresses{"nobody@zr.test", "dup@zr.test", "certone@zr.test", "certtwo@zr.test",
                  "first.twomail@zr.test"};
  auto record = RunAndWait(new CountingCertListener(&slapd->certA(), &slapd->certB()),
                           [&](auto* l) { server.LookupCerts(addresses, l); });
  EXPECT_EQ(record->Calls(), (Calls{"OnSearchBegin", "OnCertNotFound(nobody@zr.test)",
                                    "OnCertNotFound(dup@zr.test)", "OnCertFound(certone@zr.test,A)",
                                    "OnCertFound(certtwo@zr.test,A)", "OnCertFound(certtwo@zr.test,B)",
                                    "OnCertNotFound(first.twomail@zr.test)", "OnSearchEnd"}));

  // Unreachable: reported once, and no failure time, so a Connect right after tries the network.
  const int port = FreeLoopbackPort();
  DirectoryServer down("127.0.0.1", port, Slapd::Base(), 0, false, nullptr);
  record = RunAndWait(new CountingCertListener(nullptr, nullptr),
                      [&](auto* l) { down.LookupCerts(addresses, l); });
  EXPECT_EQ(record->Calls(), (Calls{"OnSearchBegin", "OnServerUnavailable(127.0.0.1)", "OnSearchEnd"}));
  ScriptedLdapServer directory(ScriptedLdapServer::Script::kAnswer);
  ASSERT_TRUE(directory.Start(port));
  EXPECT_EQ(ConnectAndWait(down)->Calls(), Calls{"OnSuccess"});
}

TEST_F(DirectorySearchesTest, MisbehavingDirectoriesEndSearchesCleanly) {
  // Closes the connection after the first entry: that entry, then the end; the next search reconnects.
  // Writing to the closed connection (abandon, unbind) must not raise SIGPIPE: the default action is
  // restored for this part, as in an application that does not ignore the signal.
  struct SigpipeDefault {
    SigpipeDefault() { previous = signal(SIGPIPE, SIG_DFL); }
    ~SigpipeDefault() { signal(SIGPIPE, previous); }
    void (*previous)(int);
  } sigpipeDefault;
  Scripted closing(Script::kCloseMidSearch, {{"uid=a,o=t", {{"cn", {"Ann"}}, {"mail", {"ann@t"}}}},
                                             {"uid=b,o=t", {{"cn", {"Ben"}}, {"mail", {"ben@t"}}}}});
  const auto closingStarted = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(TypeDownAndWait(*closing.server, "a")->Calls(),
              (Calls{"OnSearchBegin", "OnSearchEntry(cn=Ann;mail=ann@t)", "OnSearchEnd"}));
  }
  EXPECT_EQ(closing.directory.Connections(), 3);
  // Each saw the close at once, instead of taking it for a pause and waiting out its half second.
  EXPECT_LT(std::chrono::steady_clock::now() - closingStarted, milliseconds(1200));
  closing.directory.Stop();

  // Goes away between searches: the next search finds out while writing to a dead connection.
  Scripted leaving(Script::kCloseAfterBind);
  EXPECT_EQ(ConnectAndWait(*leaving.server)->Calls(), Calls{"OnSuccess"});
  ASSERT_TRUE(
      leaving.directory.WaitFor([&] { return leaving.directory.Connections() == 1; }, milliseconds(5000)));
  PumpFor(milliseconds(50));  // the close reaches the client's socket
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(TypeDownAndWait(*leaving.server, "a")->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));
  leaving.directory.Stop();

  // Never answers the search: it ends at the time limit, without an unavailable report.
  Scripted stalled(Script::kStall);
  EXPECT_EQ(TypeDownAndWait(*stalled.server, "a")->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));
  EXPECT_TRUE(
      stalled.directory.WaitFor([&] { return stalled.directory.Abandons() == 1; }, milliseconds(5000)));

  // Not a directory at all.
  Scripted garbage(Script::kGarbage);
  EXPECT_EQ(ConnectAndWait(*garbage.server)->Calls(), Calls{"OnFailure(null)"});
  EXPECT_EQ(TypeDownAndWait(*garbage.server, "a")->Calls(),
            (Calls{"OnSearchBegin", "OnServerUnavailable(127.0.0.1)", "OnSearchEnd"}));
  EXPECT_EQ(TypeDownAndWait(*garbage.server, "a")->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));

  // Announces a message far larger than any directory answer: refused, not awaited.
  Scripted oversized(Script::kOversized);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(TypeDownAndWait(*oversized.server, "a")->Calls(),
            (Calls{"OnSearchBegin", "OnServerUnavailable(127.0.0.1)", "OnSearchEnd"}));
  EXPECT_EQ(oversized.directory.Binds(), 1);
  // Refused on sight: waiting for the announced bytes would have lasted the 5-second bind limit.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

}  // namespace
}  // namespace test
}  // namespace zr
