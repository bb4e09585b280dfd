#include "SharedPrefs.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CountingListeners.h"
#include "FakeService.h"
#include "TestRuntimeDir.h"
#include "UIPump.h"

namespace {

using zr::test::FakeService;
using zr::test::NotReleased;
using zr::test::PumpUntil;
using zr::test::ReceivedMessage;
using zr::test::ReleasedOnceOnUIThread;
using zr::test::Responder;
using zr::test::Text;
using Record = std::shared_ptr<zr::test::ListenerRecord>;
using Texts = std::vector<std::string>;

// Counts its calls. Application code may run after each call (onCall) and once it is released
// (onRelease): it may re-enter the client, release this very listener or drop the client's last
// reference. Registered more than once, it is released once per registration and goes with its last.
template <typename Interface>
class Hooked : public zr::test::Counting<Interface> {
 public:
  void Release() override {
    if (--registrations > 0) return;
    std::function<void()> hook = std::move(onRelease);
    zr::test::Counting<Interface>::Release();
    if (hook) hook();
  }
  std::function<void()> onCall, onRelease;
  int registrations = 1;

 protected:
  void Called(const std::string& call) {
    this->Record(call);
    std::function<void()> hook = onCall;
    if (hook) hook();
  }
};

class CountingLookup : public Hooked<SharedPrefsLookupListener> {
 public:
  void OnLookup(const char* key, const char* value) override {
    Called("OnLookup(" + Text(key) + "," + Text(value) + ")");
  }
};

class CountingNotify : public Hooked<SharedPrefsNotifyListener> {
 public:
  void OnPrefChanged(const char* key, const char* value) override {
    Called("OnPrefChanged(" + Text(key) + "," + Text(value) + ")");
  }
};

template <typename L>
L* Make(Record* record) {
  L* listener = new L;
  *record = listener->record();
  return listener;
}

// "<command>[ <pattern>][ <key>]" for each message the service has seen, in order.
Texts Commands(const FakeService& service) {
  Texts out;
  for (const ReceivedMessage& m : service.Messages()) {
    std::string line = m.Command();
    if (m.Has("sp_pattern")) line += " " + m.Value("sp_pattern");
    if (m.Has("sp_key")) line += " " + m.Value("sp_key");
    out.push_back(line);
  }
  return out;
}

class SharedPrefsTest : public ::testing::Test {
 protected:
  // Writes a store and waits for it: everything written before it has then reached the service. Answers
  // the commands that came before it, and forgets them all.
  Texts Settle(FakeService& service, ZorlinClientRef<SharedPrefs>& prefs) {
    std::string key = "settle" + std::to_string(++mSettles);
    prefs->Store(key.c_str(), nullptr, nullptr);
    Texts got;
    for (int i = 0; i < 500 && (got.empty() || got.back() != "sp_store " + key); ++i) {
      service.WaitForMessages(static_cast<int>(got.size()) + 1, std::chrono::milliseconds(10));
      got = Commands(service);
    }
    EXPECT_FALSE(got.empty());
    if (!got.empty()) got.pop_back();
    service.ClearMessages();
    return got;
  }
  zr::test::TestRuntimeDir mDir;
  int mSettles = 0;
};

TEST_F(SharedPrefsTest, LookupAnswersItsListenerOnceAndReleasesIt) {
  FakeService service("kv_secdbm");
  service.OnCommand("sp_lookup", [](const ReceivedMessage& request, Responder& r) {
    if (request.Value("sp_key") == "colour") r.Reply(request, {{"sp_key", "colour"}, {"sp_value", "blue"}});
    if (request.Value("sp_key") == "unset") r.Reply(request, {{"sp_key", "unset"}});
  });
  ZorlinClientRef<SharedPrefs> prefs;
  Record found, unset, pending;
  prefs->Lookup("colour", Make<CountingLookup>(&found));
  prefs->Lookup("unset", Make<CountingLookup>(&unset));
  prefs->Lookup("silent", Make<CountingLookup>(&pending));
  ASSERT_TRUE(PumpUntil([&] { return found->Released() && unset->Released(); }));
  EXPECT_EQ(Texts{"OnLookup(colour,blue)"}, found->Calls());
  EXPECT_EQ(Texts{"OnLookup(unset,null)"}, unset->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*found));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*unset));
  ASSERT_TRUE(service.WaitForMessages(3));
  EXPECT_EQ(3, service.Messages()[0].Count());
  EXPECT_EQ("1", service.Messages()[0].Value("zr_cookie"));

  // The channel goes before "silent" is answered: its listener is released without a call.
  service.DropConnections();
  ASSERT_TRUE(PumpUntil([&] { return pending->Released(); }));
  EXPECT_EQ(0, pending->CallCount());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*pending));
}

TEST_F(SharedPrefsTest, StoreSendsTheValueOnlyWhenThereIsOne) {
  FakeService service("kv_secdbm");
  ZorlinClientRef<SharedPrefs> prefs;
  Record stored, cleared;
  prefs->Store("k", "v", Make<zr::test::CountingResultListener>(&stored));
  prefs->Store("k", nullptr, Make<zr::test::CountingResultListener>(&cleared));
  ASSERT_TRUE(service.WaitForMessages(2));
  std::vector<ReceivedMessage> got = service.Messages();
  EXPECT_EQ(3, got[0].Count());  // no cookie: nobody waits for a reply
  EXPECT_EQ("v", got[0].Value("sp_value"));
  EXPECT_EQ(2, got[1].Count());
  EXPECT_EQ((Texts{"sp_store k", "sp_store k"}), Commands(service));
  ASSERT_TRUE(PumpUntil([&] { return stored->Released() && cleared->Released(); }));
  EXPECT_EQ(Texts{"OnSuccess"}, stored->Calls());
  EXPECT_EQ(Texts{"OnSuccess"}, cleared->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*stored));
}

TEST_F(SharedPrefsTest, APatternIsSubscribedByItsFirstListenerAndUnsubscribedByItsLast) {
  FakeService service("kv_secdbm");
  ZorlinClientRef<SharedPrefs> prefs;
  Record one, two, stranger;
  CountingNotify* first = Make<CountingNotify>(&one);
  CountingNotify* second = Make<CountingNotify>(&two);
  CountingNotify* outsider = Make<CountingNotify>(&stranger);
  prefs->AddPrefsListener("mail.*", first);
  prefs->AddPrefsListener("mail.*", second);
  EXPECT_EQ(Texts{"sp_subscribe mail.*"}, Settle(service, prefs));

  prefs->ReleasePrefsListener("never.added", outsider);
  prefs->ReleasePrefsListener("mail.*", outsider);  // not registered under it
  EXPECT_TRUE(NotReleased(*stranger));
  prefs->ReleasePrefsListener("mail.*", first);
  EXPECT_TRUE(ReleasedOnceOnUIThread(*one));
  EXPECT_EQ(Texts{}, Settle(service, prefs));

  prefs->ReleasePrefsListener("mail.*", second);
  EXPECT_TRUE(ReleasedOnceOnUIThread(*two));
  EXPECT_EQ(Texts{"sp_unsubscribe mail.*"}, Settle(service, prefs));
  prefs->ReleasePrefsListener("mail.*", second);  // the pattern is gone: nothing happens
  EXPECT_EQ(1, two->Releases());
  EXPECT_EQ(Texts{}, Settle(service, prefs));
  outsider->Release();  // still the test's own
}

TEST_F(SharedPrefsTest, SubscriptionsAreExactTextsWrittenOnceAndNotRenewedAfterAReconnection) {
  FakeService service("kv_secdbm");
  ZorlinClientRef<SharedPrefs> prefs;
  Record a, b, c, d, pending;
  prefs->AddPrefsListener("mail.*", Make<CountingNotify>(&a));
  prefs->AddPrefsListener("mail.*", Make<CountingNotify>(&b));
  prefs->AddPrefsListener("Mail.*", Make<CountingNotify>(&c));
  prefs->AddPrefsListener("mail.* ", Make<CountingNotify>(&d));
  EXPECT_EQ((Texts{"sp_subscribe mail.*", "sp_subscribe Mail.*", "sp_subscribe mail.* "}),
            Settle(service, prefs));
  // A lookup nobody answers shows when the client has seen the channel go: it is released then.
  prefs->Lookup("never answered", Make<CountingLookup>(&pending));
  ASSERT_TRUE(service.WaitForCommand("sp_lookup"));
  service.DropConnections();
  ASSERT_TRUE(PumpUntil([&] { return pending->Released(); }));
  // The next request opens a new channel; its OnConnect has been queued before the request was written.
  prefs->Store("after", nullptr, nullptr);
  ASSERT_TRUE(service.WaitForCommand("sp_store"));
  zr::test::PumpPending();
  EXPECT_EQ((Texts{"sp_lookup never answered", "sp_store after"}), Settle(service, prefs));
  EXPECT_EQ(2, service.ConnectionsAccepted());
}

TEST_F(SharedPrefsTest, ChangesReachEveryListenerOfTheExactPatternInOrder) {
  FakeService service("kv_secdbm");
  ZorlinClientRef<SharedPrefs> prefs;
  Record first, second, other;
  CountingNotify* twice = Make<CountingNotify>(&first);
  twice->registrations = 2;
  prefs->AddPrefsListener("mail.*", twice);
  prefs->AddPrefsListener("mail.*", Make<CountingNotify>(&second));
  prefs->AddPrefsListener("mail.*", twice);  // the same listener twice: called twice
  prefs->AddPrefsListener("news.*", Make<CountingNotify>(&other));
  Settle(service, prefs);

  service.Send({{"sp_pattern", "mail.*"}, {"sp_key", "mail.sig"}, {"sp_value", "bye"}});
  service.Send({{"sp_pattern", "MAIL.*"}, {"sp_key", "mail.sig"}, {"sp_value", "x"}});  // no such pattern
  service.Send({{"sp_pattern", "mail.*"}, {"sp_value", "no key"}});
  service.Send({{"zr_command", "anything"}, {"sp_pattern", "news.*"}, {"sp_key", "news.n"}});
  service.Send({{"sp_pattern", "news.*"}, {"sp_key", "news.end"}, {"sp_value", "1"}});
  ASSERT_TRUE(PumpUntil([&] { return other->CallCount() == 2; }));
  EXPECT_EQ((Texts{"OnPrefChanged(mail.sig,bye)", "OnPrefChanged(mail.sig,bye)"}), first->Calls());
  EXPECT_EQ(Texts{"OnPrefChanged(mail.sig,bye)"}, second->Calls());
  EXPECT_EQ((Texts{"OnPrefChanged(news.n,null)", "OnPrefChanged(news.end,1)"}), other->Calls());
  EXPECT_EQ(0, first->CallsOffUIThread());
  prefs->ReleasePrefsListener("mail.*", twice);  // its first registration
  EXPECT_TRUE(NotReleased(*first));
  service.Send({{"sp_pattern", "mail.*"}, {"sp_key", "mail.sig"}, {"sp_value", "again"}});
  ASSERT_TRUE(PumpUntil([&] { return second->CallCount() == 2; }));
  EXPECT_EQ(3, first->CallCount());
}

TEST_F(SharedPrefsTest, AListenerMayReleaseListenersFromInsideItsCall) {
  FakeService service("kv_secdbm");
  ZorlinClientRef<SharedPrefs> prefs;
  Record selfRec, victimRec, lastRec;
  CountingNotify* self = Make<CountingNotify>(&selfRec);
  CountingNotify* victim = Make<CountingNotify>(&victimRec);
  SharedPrefs* client = prefs;
  self->onCall = [client, self, victim] {
    client->ReleasePrefsListener("p", victim);
    client->ReleasePrefsListener("p", self);
  };
  prefs->AddPrefsListener("p", self);
  prefs->AddPrefsListener("p", victim);
  prefs->AddPrefsListener("p", Make<CountingNotify>(&lastRec));
  ASSERT_TRUE(service.WaitForMessages(1));
  service.Send({{"sp_pattern", "p"}, {"sp_key", "k"}, {"sp_value", "v"}});
  ASSERT_TRUE(PumpUntil([&] { return lastRec->CallCount() == 1; }));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*selfRec));
  EXPECT_EQ(1, selfRec->CallCount());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*victimRec));
  EXPECT_EQ(0, victimRec->CallCount());  // released before its turn
  EXPECT_TRUE(NotReleased(*lastRec));
}

TEST_F(SharedPrefsTest, TheClientsEndReleasesEveryNotifyListenerWithoutUnsubscribing) {
  FakeService service("kv_secdbm");
  Record a, b, c;
  {
    ZorlinClientRef<SharedPrefs> prefs;
    prefs->AddPrefsListener("x", Make<CountingNotify>(&a));
    prefs->AddPrefsListener("x", Make<CountingNotify>(&b));
    prefs->AddPrefsListener("y", Make<CountingNotify>(&c));
    ASSERT_TRUE(service.WaitForMessages(2));
  }
  for (const Record& r : {a, b, c}) EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
  ASSERT_TRUE(service.WaitForOpenConnections(0));
  EXPECT_EQ((Texts{"sp_subscribe x", "sp_subscribe y"}), Commands(service));
}

// A listener's Release may re-enter the client: release the last other listener of its own pattern, or
// drop the client's last reference. The pattern is unsubscribed at most once and each listener released
// once.
TEST_F(SharedPrefsTest, AReleasedListenerMayReenterTheClient) {
  FakeService service("kv_secdbm");
  for (bool dropClient : {false, true}) {
    SCOPED_TRACE(dropClient ? "drops the client" : "releases the other listener");
    service.ClearMessages();
    auto prefs = std::make_unique<ZorlinClientRef<SharedPrefs>>();
    SharedPrefs* client = *prefs;
    Record firstRec, secondRec;
    CountingNotify* first = Make<CountingNotify>(&firstRec);
    CountingNotify* second = Make<CountingNotify>(&secondRec);
    first->onRelease = [&] {
      if (dropClient)
        prefs.reset();
      else
        client->ReleasePrefsListener("p", second);
    };
    client->AddPrefsListener("p", first);
    client->AddPrefsListener("p", second);
    client->ReleasePrefsListener("p", first);
    EXPECT_TRUE(ReleasedOnceOnUIThread(*firstRec));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*secondRec));
    if (dropClient) {
      EXPECT_FALSE(prefs);
      ASSERT_TRUE(service.WaitForOpenConnections(0));
      EXPECT_EQ(0, service.CommandCount("sp_unsubscribe"));
    } else {
      EXPECT_EQ((Texts{"sp_subscribe p", "sp_unsubscribe p"}), Settle(service, *prefs));
      prefs.reset();
    }
  }
}

// Application code may drop the client's last reference from inside any call the client makes: a change
// (two listeners on one pattern, the first drops it), a lookup's answer or its release. Nobody else is
// called after that, and every listener is released once.
TEST_F(SharedPrefsTest, TheLastReferenceMayGoFromInsideACall) {
  for (const std::string at : {"OnPrefChanged", "OnLookup", "lookup release"}) {
    SCOPED_TRACE(at);
    FakeService service("kv_secdbm");
    service.OnCommand("sp_lookup", [](const ReceivedMessage& request, Responder& r) {
      r.Reply(request, {{"sp_key", "k"}, {"sp_value", "v"}});
    });
    auto prefs = std::make_unique<ZorlinClientRef<SharedPrefs>>();
    auto drop = [&prefs, at](const std::string& here) {
      if (here == at) prefs.reset();
    };
    Record firstRec, secondRec, lookupRec;
    CountingNotify* first = Make<CountingNotify>(&firstRec);
    first->onCall = [&] { drop("OnPrefChanged"); };
    CountingLookup* lookup = Make<CountingLookup>(&lookupRec);
    lookup->onCall = [&] { drop("OnLookup"); };
    lookup->onRelease = [&] { drop("lookup release"); };
    (*prefs)->AddPrefsListener("p", first);
    (*prefs)->AddPrefsListener("p", Make<CountingNotify>(&secondRec));
    (*prefs)->Lookup("k", lookup);
    ASSERT_TRUE(service.WaitForMessages(2));
    ASSERT_TRUE(PumpUntil([&] { return lookupRec->Released(); }));
    service.Send({{"sp_pattern", "p"}, {"sp_key", "k"}, {"sp_value", "changed"}});
    ASSERT_TRUE(PumpUntil([&] { return !prefs; }));
    zr::test::PumpFor(std::chrono::milliseconds(20));
    for (const Record& r : {firstRec, secondRec, lookupRec}) EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
    EXPECT_EQ(Texts{"OnLookup(k,v)"}, lookupRec->Calls());
    EXPECT_EQ(at == "OnPrefChanged" ? 1 : 0, firstRec->CallCount());
    EXPECT_EQ(0, secondRec->CallCount());
  }
}

}  // namespace
