// The address book client against a scripted "kv_abook" service on a real socket: sources and their
// cookies, the directory cache, contact events with and without a contact cache, the full load into
// indexes, reconnection, proxied events, and listener ownership when application code destroys things
// from inside its callbacks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AddressBookTestSupport.h"
#include "Alias.h"
#include "DirectoryServer.h"

namespace {

using zr::test::NotReleased;
using zr::test::PumpUntil;
using zr::test::ReleasedOnceOnUIThread;

using AddressBookTest = AddressBookFixture;

TEST_F(AddressBookTest, SourcesFollowTheCurrentCookieAreReplayedAndDropTheirDirectories) {
  auto book = std::make_unique<BookRef>();
  AddressBookTestPeer peer(*book);
  Record early, empty, late;
  (*book)->AddAddressBookListListener(Make<CountingListListener>(&early));
  ASSERT_TRUE(WaitForCommands("subscribeSources", 1));
  EXPECT_EQ("2", mService.MessagesWithCommand("subscribeSources")[0].Value("bookCookie"));
  // Nothing cached yet: a late listener hears nothing, and the sources are not subscribed twice.
  (*book)->AddAddressBookListListener(Make<CountingListListener>(&empty));
  EXPECT_EQ(0, empty->CallCount());

  // Only current, well-formed sources with an id are kept.
  for (const FieldList& f : std::vector<FieldList>{
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Source("1")}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "1"}, {"source", Source("9")}},
           {{"zr_event", "sourceAdded"}, {"source", Source("8")}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Serialized({{"name", "no id"}})}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", "not a message"}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Source("7").substr(0, 5)}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Source("2", "ldap1")}},
           {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Source("3")}},
           {{"zr_event", "sourceSentAll"}, {"bookCookie", "1"}},
       }) {
    ASSERT_EQ(PR_SUCCESS, Send(f));
  }
  Settle(*book);
  EXPECT_EQ((Texts{"OnSourceAdded(1)", "OnSourceAdded(2)", "OnSourceAdded(3)"}), early->Calls());
  EXPECT_EQ(early->Calls(), empty->Calls());
  EXPECT_EQ(0, peer.DirectoryCount());  // an added source makes no directory

  // A late listener hears the cache replayed inside the call, and that all were sent.
  (*book)->AddAddressBookListListener(Make<CountingListListener>(&late));
  EXPECT_EQ((Texts{"OnSourceAdded(1)", "OnSourceAdded(2)", "OnSourceAdded(3)", "OnSourcesSentAll"}),
            late->Calls());
  EXPECT_EQ(1, mService.CommandCount("subscribeSources"));

  // A change of a cached source makes (then updates in place) its directory; mismatched ids, unknown
  // sources and stale cookies change nothing.
  const size_t before = early->Calls().size();
  for (const FieldList& f : std::vector<FieldList>{
           {{"zr_event", "sourceChanged"},
            {"bookCookie", "2"},
            {"oldSource", Source("2", "ldap1")},
            {"newSource", Source("2", "ldap2")}},
           {{"zr_event", "sourceChanged"},
            {"bookCookie", "2"},
            {"oldSource", Source("2")},
            {"newSource", Source("3", "ldap9")}},
           {{"zr_event", "sourceChanged"},
            {"bookCookie", "2"},
            {"oldSource", Source("6")},
            {"newSource", Source("6", "ldap6")}},
           {{"zr_event", "sourceChanged"},
            {"bookCookie", "1"},
            {"oldSource", Source("1")},
            {"newSource", Source("1", "ldap1")}},
           {{"zr_event", "sourceChanged"}, {"bookCookie", "2"}, {"oldSource", Source("1")}},
           // A book, not a directory: changed, but no directory server for it.
           {{"zr_event", "sourceChanged"},
            {"bookCookie", "2"},
            {"oldSource", Source("1")},
            {"newSource", Source("1")}},
           {{"zr_event", "sourceSentAll"}, {"bookCookie", "2"}},
       }) {
    ASSERT_EQ(PR_SUCCESS, Send(f));
  }
  Settle(*book);
  EXPECT_EQ((Texts{"OnSourceChanged(2,ldap2)", "OnSourceChanged(1,null)", "OnSourcesSentAll"}),
            Tail(early, before));
  ASSERT_EQ(1, peer.DirectoryCount());
  Alias<DirectoryServer> directory(peer.Directory(2));
  ASSERT_FALSE(directory.IsNull());
  SendAndSettle(*book, {{"zr_event", "sourceChanged"},
                        {"bookCookie", "2"},
                        {"oldSource", Source("2", "ldap2")},
                        {"newSource", Source("2", "ldap3")}});
  EXPECT_EQ(static_cast<DirectoryServer*>(directory), peer.Directory(2));
  EXPECT_EQ(1, peer.DirectoryCount());

  // Removal: a stale one is ignored; a current one tells the listeners and drops the directory.
  SendAndSettle(*book, {{"zr_event", "sourceRemoved"}, {"bookCookie", "1"}, {"source", Source("2")}});
  EXPECT_FALSE(directory.IsNull());
  SendAndSettle(*book, {{"zr_event", "sourceRemoved"}, {"bookCookie", "2"}, {"source", Source("2")}});
  EXPECT_TRUE(directory.IsNull());
  EXPECT_EQ("OnSourceRemoved(2)", early->Calls().back());
  EXPECT_EQ(2, peer.SourceCount());

  // A later request with a cookie (the full load of a new index) makes cookie 2 stale.
  {
    AddressBookIndex index(new NameComparator);
    ASSERT_TRUE(WaitForCommands("ab_getAllAddrs", 1));
    EXPECT_EQ("3", mService.MessagesWithCommand("ab_getAllAddrs")[0].Value("bookCookie"));
    const int calls = early->CallCount();
    SendAndSettle(*book, {{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Source("4")}});
    SendAndSettle(*book, {{"zr_event", "sourceSentAll"}, {"bookCookie", "2"}});
    EXPECT_EQ(calls, early->CallCount());
  }

  book.reset();
  for (const Record& r : {early, empty, late, mMarker}) EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
}

TEST_F(AddressBookTest, AFailedSubscriptionIsSentAgainWhileUpgradeNewsReachesEveryListener) {
  mService.StopListening();
  BookRef book;
  AddressBookTestPeer peer(book);
  Record first, second, up, late;
  book->AddAddressBookListListener(Make<CountingListListener>(&first));
  EXPECT_TRUE(peer.SourcesSubscribed());
  // No service: the failed write lets the next listener subscribe the sources again, with a new cookie.
  ASSERT_TRUE(PumpUntil([&] { return !peer.SourcesSubscribed(); }));
  ASSERT_TRUE(mService.StartListening());
  book->AddAddressBookListListener(Make<CountingListListener>(&second));
  ASSERT_TRUE(WaitForCommands("subscribeSources", 1));
  EXPECT_EQ("3", mService.MessagesWithCommand("subscribeSources")[0].Value("bookCookie"));
  book->AddUpgradeListener(Make<CountingUpgradeListener>(&up));
  EXPECT_EQ(Texts{"OnUpgradeAvailable(false)"}, up->Calls());  // told at once
  ASSERT_TRUE(WaitForCommands("subscribeUpgrades", 1));

  // (The fixture's settling marker is an upgrade listener itself, so this test pumps on its own.)
  ASSERT_EQ(PR_SUCCESS, Send({{"zr_event", "upgradeAvailable"}, {"available", "true"}}));
  ASSERT_TRUE(PumpUntil([&] { return up->CallCount() == 2; }));
  book->AddUpgradeListener(Make<CountingUpgradeListener>(&late));
  EXPECT_EQ(Texts{"OnUpgradeAvailable(true)"}, late->Calls());
  ASSERT_EQ(PR_SUCCESS, Send({{"zr_event", "upgradeAvailable"}, {"available", "TRUE"}}));
  ASSERT_TRUE(PumpUntil([&] { return late->CallCount() == 2; }));
  EXPECT_EQ((Texts{"OnUpgradeAvailable(false)", "OnUpgradeAvailable(true)", "OnUpgradeAvailable(false)"}),
            up->Calls());
  EXPECT_EQ((Texts{"OnUpgradeAvailable(true)", "OnUpgradeAvailable(false)"}), late->Calls());
  EXPECT_EQ(1, mService.CommandCount("subscribeUpgrades"));
  EXPECT_EQ(1, mService.CommandCount("subscribeSources"));
}

TEST_F(AddressBookTest, ContactEventsWithoutACacheReachTheListenersAsFreshAddresses) {
  BookRef book;
  Record contacts;
  book->AddAddressBookContactListener(Make<CountingContactListener>(&contacts));
  ASSERT_TRUE(WaitForCommands("subscribeContacts", 1));
  const std::string ann = Contact("u1", "Ann");
  struct Case {
    FieldList fields;
    Texts calls;
  };
  const std::vector<Case> cases = {
      {{{"zr_event", "contactInit"}}, {"OnContactsInit"}},
      {{{"zr_event", "contactAdded"}, {"newContact", ann}}, {"OnContactAdded(u1/Ann)"}},
      {{{"zr_event", "contactAdded"}, {"newContact", Contact("", "Nobody")}}, {"OnContactAdded(-/Nobody)"}},
      {{{"zr_event", "contactAdded"}}, {}},
      {{{"zr_event", "contactAdded"}, {"newContact", "garbage"}}, {}},
      {{{"zr_event", "contactAdded"}, {"newContact", ann.substr(0, ann.size() / 2)}}, {}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", ann}}, {"OnContactRemoved(u1/Ann)"}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", ann.substr(0, ann.size() - 1)}}, {}},
      {{{"zr_event", "contactChanged"}, {"oldContact", ann}, {"newContact", Contact("u1", "Bea")}},
       {"OnContactChanged(u1/Ann,u1/Bea)"}},
      {{{"zr_event", "contactChanged"}, {"oldContact", ann}}, {}},
      {{{"zr_event", "contactChanged"}, {"oldContact", "x"}, {"newContact", ann}}, {}},
      {{{"zr_event", "contactRemoveAll"}}, {"OnAllContactsRemoved"}},
      {{{"zr_event", "ab_eventAddrExists"}, {"contact", ann}}, {}},
      {{{"zr_event", "ab_eventAddrEndExists"}}, {}},
      {{{"zr_event", "contactExploded"}, {"newContact", ann}}, {}},
      {{{"zr_event", "ContactAdded"}, {"newContact", ann}}, {}},
      {{{"newContact", ann}}, {}},
  };
  for (const Case& c : cases) {
    const size_t before = contacts->Calls().size();
    SendAndSettle(book, c.fields);
    EXPECT_EQ(c.calls, Tail(contacts, before)) << DescribeFields(c.fields);
  }
  EXPECT_FALSE(AddressBookTestPeer(book).HasCache());
}

TEST_F(AddressBookTest, ContactEventsWithACacheKeepPositionsAndFindTheFirstOfAUid) {
  ServeLoad({Contact("u1", "Ann"), Contact("u2", "Bob"), Contact("u1", "Cid"), Contact("", "NoUid"),
             Contact("u3", "Dan"), "not a contact"});
  BookRef book;
  AddressBookTestPeer peer(book);
  Record contacts, rows;
  AddressBookIndex index(new NameComparator);
  CountingIndexListener* rowListener = Make<CountingIndexListener>(&rows);
  index.AddIndexListener(rowListener);
  book->AddAddressBookContactListener(Make<CountingContactListener>(&contacts));
  ASSERT_TRUE(PumpUntil([&] { return rows->CallCount() > 0; }));
  EXPECT_EQ(Texts{"OnItemsInserted(0,5)"}, rows->Calls());  // the malformed contact was dropped
  EXPECT_EQ((Texts{"u1/Ann", "u2/Bob", "u1/Cid", "-/NoUid", "u3/Dan"}), peer.Cache());

  struct Case {
    FieldList fields;
    Texts calls;
    Texts cache;
  };
  const std::vector<Case> cases = {
      // The first u1 changes in place.
      {{{"zr_event", "contactChanged"},
        {"oldContact", Contact("u1", "?")},
        {"newContact", Contact("u1", "Zed")}},
       {"OnContactChanged(u1/Ann,u1/Zed)"},
       {"u1/Zed", "u2/Bob", "u1/Cid", "-/NoUid", "u3/Dan"}},
      // A change may carry a new uid: the contact is then found under it.
      {{{"zr_event", "contactChanged"},
        {"oldContact", Contact("u3", "?")},
        {"newContact", Contact("u4", "Dan")}},
       {"OnContactChanged(u3/Dan,u4/Dan)"},
       {"u1/Zed", "u2/Bob", "u1/Cid", "-/NoUid", "u4/Dan"}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", Contact("u3", "?")}},
       {},
       {"u1/Zed", "u2/Bob", "u1/Cid", "-/NoUid", "u4/Dan"}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", Contact("u1", "?")}},
       {"OnContactRemoved(u1/Zed)"},
       {"u2/Bob", "u1/Cid", "-/NoUid", "u4/Dan"}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", Contact("u1", "?")}},
       {"OnContactRemoved(u1/Cid)"},
       {"u2/Bob", "-/NoUid", "u4/Dan"}},
      // Unknown uids and contacts without one are not in the cache: dropped.
      {{{"zr_event", "contactRemoved"}, {"oldContact", Contact("u9", "?")}},
       {},
       {"u2/Bob", "-/NoUid", "u4/Dan"}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", Contact("", "NoUid")}},
       {},
       {"u2/Bob", "-/NoUid", "u4/Dan"}},
      {{{"zr_event", "contactChanged"},
        {"oldContact", Contact("u9", "?")},
        {"newContact", Contact("u9", "X")}},
       {},
       {"u2/Bob", "-/NoUid", "u4/Dan"}},
      // A uid already cached is appended all the same; the first one is the one found.
      {{{"zr_event", "contactAdded"}, {"newContact", Contact("u2", "Bob2")}},
       {"OnContactAdded(u2/Bob2)"},
       {"u2/Bob", "-/NoUid", "u4/Dan", "u2/Bob2"}},
      {{{"zr_event", "contactChanged"},
        {"oldContact", Contact("u2", "?")},
        {"newContact", Contact("u2", "Abe")}},
       {"OnContactChanged(u2/Bob,u2/Abe)"},
       {"u2/Abe", "-/NoUid", "u4/Dan", "u2/Bob2"}},
      {{{"zr_event", "contactRemoved"}, {"oldContact", Contact("u2", "?")}},
       {"OnContactRemoved(u2/Abe)"},
       {"-/NoUid", "u4/Dan", "u2/Bob2"}},
      // Everyone hears that all went; the cache keeps its contacts.
      {{{"zr_event", "contactRemoveAll"}}, {"OnAllContactsRemoved"}, {"-/NoUid", "u4/Dan", "u2/Bob2"}},
  };
  for (const Case& c : cases) {
    const size_t before = contacts->Calls().size();
    SendAndSettle(book, c.fields);
    EXPECT_EQ(c.calls, Tail(contacts, before)) << DescribeFields(c.fields);
    EXPECT_EQ(c.cache, peer.Cache());
  }
  EXPECT_EQ(0u, index.GetSize());  // emptied by the removal of all
  EXPECT_EQ("OnItemsRemoved(0,3)", rows->Calls().back());
  index.ReleaseIndexListener(rowListener);
}

// What the application still owns once its indexes left their listeners alone.
void ReleaseLeftAlone(const std::vector<AddressBookIndexListener*>& listeners) {
  for (AddressBookIndexListener* l : listeners) l->Release();
}

TEST_F(AddressBookTest, AFullLoadFeedsEveryIndexAndTheLastIndexTakesTheCacheAlong) {
  ServeLoad({Contact("u1", "Cat"), Contact("u2", "Ann"), Contact("u3", "Bob")});
  BookRef book;
  AddressBookTestPeer peer(book);
  Record rowsA, rowsB, rowsC;
  auto a = std::make_unique<AddressBookIndex>(new NameComparator);
  auto b = std::make_unique<AddressBookIndex>(new NameComparator);
  std::vector<AddressBookIndexListener*> leftAlone = {Make<CountingIndexListener>(&rowsA),
                                                      Make<CountingIndexListener>(&rowsB)};
  a->AddIndexListener(leftAlone[0]);
  b->AddIndexListener(leftAlone[1]);
  EXPECT_EQ(0u, a->GetSize());
  ASSERT_TRUE(PumpUntil([&] { return rowsA->CallCount() > 0 && rowsB->CallCount() > 0; }));
  EXPECT_EQ(Texts{"OnItemsInserted(0,3)"}, rowsA->Calls());
  EXPECT_EQ(Texts{"OnItemsInserted(0,3)"}, rowsB->Calls());
  EXPECT_EQ("u2/Ann", Describe(a->GetAddress(0)));
  EXPECT_EQ("u3/Bob", Describe(b->GetAddress(1)));
  EXPECT_EQ(1, mService.CommandCount("ab_getAllAddrs"));

  // An index made after the load has its rows at once, without a notification.
  auto c = std::make_unique<AddressBookIndex>(new NameComparator);
  leftAlone.push_back(Make<CountingIndexListener>(&rowsC));
  c->AddIndexListener(leftAlone.back());
  EXPECT_EQ(3u, c->GetSize());
  EXPECT_EQ("u1/Cat", Describe(c->GetAddress(2)));
  Settle(book);
  EXPECT_EQ(1, mService.CommandCount("ab_getAllAddrs"));
  EXPECT_EQ(1, mService.CommandCount("subscribeContacts"));

  // A contact reaches every index; the rows point at the cache's one object.
  SendAndSettle(book, {{"zr_event", "contactAdded"}, {"newContact", Contact("u4", "Abe")}});
  EXPECT_EQ(a->GetAddress(0), c->GetAddress(0));
  EXPECT_EQ(peer.CachedAt(3), a->GetAddress(0));
  for (const Record& r : {rowsA, rowsB, rowsC}) EXPECT_EQ("OnItemsInserted(0,1)", r->Calls().back());

  a.reset();
  b.reset();
  EXPECT_TRUE(peer.HasCache());
  c.reset();
  EXPECT_FALSE(peer.HasCache());
  EXPECT_FALSE(peer.Loaded());
  // The indexes leave their listeners alone.
  for (const Record& r : {rowsA, rowsB, rowsC}) EXPECT_TRUE(NotReleased(*r));
  ReleaseLeftAlone(leftAlone);

  ServeLoad({Contact("u5", "Eve")});
  Record rowsD;
  AddressBookIndex d(new NameComparator);
  CountingIndexListener* dListener = Make<CountingIndexListener>(&rowsD);
  d.AddIndexListener(dListener);
  ASSERT_TRUE(PumpUntil([&] { return rowsD->CallCount() > 0; }));
  EXPECT_EQ(Texts{"OnItemsInserted(0,1)"}, rowsD->Calls());
  ASSERT_EQ(2, mService.CommandCount("ab_getAllAddrs"));
  EXPECT_EQ("3", mService.MessagesWithCommand("ab_getAllAddrs")[1].Value("bookCookie"));
  EXPECT_EQ((Texts{"u5/Eve"}), peer.Cache());
  d.ReleaseIndexListener(dListener);
}

TEST_F(AddressBookTest, AReconnectionRenewsEverythingOnceAndRefillsTheIndexes) {
  ServeLoad({Contact("u1", "Ann"), Contact("u2", "Bob")});
  BookRef book;
  ZorlinClientRef<ZorlinEvents> events;
  AddressBookTestPeer peer(book);
  Record list, rows, news, weather;
  book->AddAddressBookListListener(Make<CountingListListener>(&list));
  events->AddEventListener("news", Make<CountingEventListener>(&news));
  events->AddEventListener("weather", Make<CountingEventListener>(&weather));
  AddressBookIndex index(new NameComparator);
  CountingIndexListener* rowListener = Make<CountingIndexListener>(&rows);
  index.AddIndexListener(rowListener);
  ASSERT_TRUE(PumpUntil([&] { return rows->CallCount() > 0; }));
  SendAndSettle(book, {{"zr_event", "sourceAdded"}, {"bookCookie", "3"}, {"source", Source("1")}});
  SendAndSettle(book, {{"zr_event", "sourceAdded"}, {"bookCookie", "3"}, {"source", Source("2", "ldap")}});
  SendAndSettle(book, {{"zr_event", "sourceChanged"},
                       {"bookCookie", "3"},
                       {"oldSource", Source("2", "ldap")},
                       {"newSource", Source("2", "ldap2")}});
  Alias<DirectoryServer> directory(peer.Directory(2));
  ASSERT_FALSE(directory.IsNull());
  EXPECT_EQ((Texts{"subscribeSources 2", "zr_proxySubscribe news", "zr_proxySubscribe weather",
                   "ab_getAllAddrs 3", "subscribeContacts"}),
            CommandsOn(1));

  // The service goes: the indexes empty themselves, the sources stay until the next connection.
  mService.DropConnections();
  ASSERT_TRUE(PumpUntil([&] { return rows->CallCount() > 1; }));
  EXPECT_EQ((Texts{"OnItemsInserted(0,2)", "OnItemsRemoved(0,2)"}), rows->Calls());
  EXPECT_EQ(0u, index.GetSize());
  EXPECT_EQ(2, peer.SourceCount());

  // The next request reconnects: old sources go, and every subscription is renewed once.
  ServeLoad({Contact("u1", "Ann"), Contact("u3", "Cy"), Contact("u2", "Bob")});
  const size_t listBefore = list->Calls().size();
  events->FireEvent("ping", nullptr);
  ASSERT_TRUE(PumpUntil([&] { return rows->CallCount() > 2; }));
  EXPECT_EQ((Texts{"OnSourceRemoved(1)", "OnSourceRemoved(2)"}), Tail(list, listBefore));
  EXPECT_EQ("OnItemsInserted(0,3)", rows->Calls().back());
  Settle(book);
  const int second = mService.OpenConnections().back();
  EXPECT_EQ((Texts{"zr_proxyFireEvent ping", "subscribeSources 4", "subscribeContacts",
                   "zr_proxySubscribe news", "zr_proxySubscribe weather", "ab_getAllAddrs 5"}),
            CommandsOn(second));
  // The fixture's upgrade listener: subscribed once on each connection.
  std::vector<zr::test::ReceivedMessage> upgrades = mService.MessagesWithCommand("subscribeUpgrades");
  ASSERT_EQ(2u, upgrades.size());
  EXPECT_EQ(second, upgrades[1].Connection());

  // The new connection's sources arrive under the new cookie; a directory whose source was not announced
  // again still goes with its removal, unheard.
  SendAndSettle(book, {{"zr_event", "sourceAdded"}, {"bookCookie", "3"}, {"source", Source("1")}});
  SendAndSettle(book, {{"zr_event", "sourceAdded"}, {"bookCookie", "5"}, {"source", Source("1")}});
  SendAndSettle(book, {{"zr_event", "sourceRemoved"}, {"bookCookie", "5"}, {"source", Source("2")}});
  EXPECT_EQ((Texts{"OnSourceRemoved(1)", "OnSourceRemoved(2)", "OnSourceAdded(1)"}), Tail(list, listBefore));
  EXPECT_TRUE(directory.IsNull());
  EXPECT_EQ(0, news->CallCount());
  index.ReleaseIndexListener(rowListener);
  EXPECT_TRUE(ReleasedOnceOnUIThread(*rows));
}

TEST_F(AddressBookTest, ProxiedEventsReachSubscribersAndStickyOnesReachLateSubscribersAtOnce) {
  auto events = std::make_unique<ZorlinClientRef<ZorlinEvents>>();
  BookRef book;
  Record first, second, late, later, contacts;
  book->AddAddressBookContactListener(Make<CountingContactListener>(&contacts));
  // Released by the first one, last of all, from inside its own call.
  std::vector<ZorlinEventListener*> listeners;
  CountingEventListener* firstListener = Make<CountingEventListener>(&first);
  (*events)->AddEventListener("news", firstListener);
  listeners.push_back(Make<CountingEventListener>(&second));
  (*events)->AddEventListener("news", listeners.back());
  ASSERT_TRUE(WaitForCommands("zr_proxySubscribe", 1));
  Settle(book);
  EXPECT_EQ(1, mService.CommandCount("zr_proxySubscribe"));

  const std::string payload = Serialized({{"k", "v"}});
  SendAndSettle(book,
                {{"zr_proxyEvent", "news"}, {"zr_proxyEventMsg", payload}, {"zr_proxyEventSticky", "true"}});
  EXPECT_EQ(Texts{"OnEvent(news,{k=v})"}, first->Calls());
  EXPECT_EQ(Texts{"OnEvent(news,{k=v})"}, second->Calls());
  listeners.push_back(Make<CountingEventListener>(&late));
  (*events)->AddEventListener("news", listeners.back());
  EXPECT_EQ(Texts{"OnEvent(news,{k=v})"}, late->Calls());

  // A plain event clears the remembered one; missing and malformed payloads arrive empty. An event with
  // no subscriber is consumed before the address book's own events see it.
  SendAndSettle(book, {{"zr_proxyEvent", "news"}});
  SendAndSettle(book, {{"zr_proxyEvent", "news"}, {"zr_proxyEventMsg", payload.substr(1)}});
  SendAndSettle(
      book, {{"zr_proxyEvent", "sports"}, {"zr_event", "contactAdded"}, {"newContact", Contact("u", "A")}});
  listeners.push_back(Make<CountingEventListener>(&later));
  (*events)->AddEventListener("news", listeners.back());
  EXPECT_EQ(0, later->CallCount());
  EXPECT_EQ((Texts{"OnEvent(news,{k=v})", "OnEvent(news,{})", "OnEvent(news,{})"}), first->Calls());
  EXPECT_EQ(0, contacts->CallCount());

  // Firing goes to the service only; the caller keeps its message.
  IPCMessage* event = zr::test::NewMessage({{"a", "1"}});
  (*events)->FireEvent("news", event);
  (*events)->FireStickyEvent("news", event);
  IPC_DestroyMessage(event);
  ASSERT_TRUE(WaitForCommands("zr_proxyFireEvent", 2));
  std::vector<zr::test::ReceivedMessage> fired = mService.MessagesWithCommand("zr_proxyFireEvent");
  EXPECT_EQ(3, fired[0].Count());
  EXPECT_EQ(Serialized({{"a", "1"}}), fired[0].Value("zr_proxyEventMsg"));
  EXPECT_EQ("true", fired[1].Value("zr_proxyEventSticky"));
  Settle(book);
  EXPECT_EQ(3, first->CallCount());
  listeners.push_back(firstListener);

  // A listener not subscribed under a name is left alone.
  (*events)->ReleaseEventListener("weather", firstListener);
  EXPECT_TRUE(NotReleased(*first));
  // A listener may release the others and itself from inside its call: those not yet called are skipped,
  // and the name's last release unsubscribes it, once.
  firstListener->onCall = [&events, l = listeners] {
    for (ZorlinEventListener* listener : l) (*events)->ReleaseEventListener("news", listener);
  };
  SendAndSettle(book, {{"zr_proxyEvent", "news"}});
  EXPECT_EQ(4, first->CallCount());
  EXPECT_EQ(3, second->CallCount());
  for (const Record& r : {first, second, late, later}) EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
  ASSERT_TRUE(WaitForCommands("zr_proxyUnsubscribe", 1));
  Settle(book);
  EXPECT_EQ(1, mService.CommandCount("zr_proxyUnsubscribe"));
  // With no entry left, the name's events are consumed unheard.
  SendAndSettle(book, {{"zr_proxyEvent", "news"}, {"zr_event", "contactRemoveAll"}});
  EXPECT_EQ(0, contacts->CallCount());
}

TEST_F(AddressBookTest, EveryListenerIsReleasedOnceWhenTheBookGoesFromInsideACallback) {
  auto book = std::make_unique<BookRef>();
  auto events = std::make_unique<ZorlinClientRef<ZorlinEvents>>();
  Record list, other, contacts, upgrades, news;
  CountingListListener* dropper = Make<CountingListListener>(&list);
  (*book)->AddAddressBookListListener(dropper);
  (*book)->AddAddressBookListListener(Make<CountingListListener>(&other));
  (*book)->AddAddressBookContactListener(Make<CountingContactListener>(&contacts));
  (*book)->AddUpgradeListener(Make<CountingUpgradeListener>(&upgrades));
  (*events)->AddEventListener("news", Make<CountingEventListener>(&news));
  ASSERT_TRUE(WaitForCommands("subscribeContacts", 1));
  Settle(*book);
  // The application drops its last references from inside the first listener's call.
  dropper->onCall = [&] {
    events.reset();
    book.reset();
  };
  ASSERT_EQ(PR_SUCCESS,
            mService.Send({{"zr_event", "sourceAdded"}, {"bookCookie", "2"}, {"source", Source("1")}}));
  ASSERT_TRUE(PumpUntil([&] { return !book && list->Released(); }));
  EXPECT_EQ(Texts{"OnSourceAdded(1)"}, list->Calls());
  EXPECT_EQ(0, other->CallCount());  // the book was gone before its turn
  for (const Record& r : {list, other, contacts, upgrades, news, mMarker})
    EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
}

TEST_F(AddressBookTest, TheBookDestroyedMidLoadReleasesEverythingAndLeaksNothing) {
  std::vector<std::string> load;
  for (int i = 0; i < 20000; ++i) load.push_back(Contact("u" + std::to_string(i), "N" + std::to_string(i)));
  ServeLoad(load);
  auto book = std::make_unique<BookRef>();
  AddressBookTestPeer peer(*book);
  Record contacts, rows;
  (*book)->AddAddressBookContactListener(Make<CountingContactListener>(&contacts));
  auto index = std::make_unique<AddressBookIndex>(new NameComparator);
  CountingIndexListener* rowListener = Make<CountingIndexListener>(&rows);
  index->AddIndexListener(rowListener);
  ASSERT_TRUE(PumpUntil([&] { return peer.Cache().size() >= 100; }));
  index.reset();
  EXPECT_FALSE(peer.HasCache());
  book.reset();  // the last reference, with the load's remaining events still on their way
  EXPECT_TRUE(ReleasedOnceOnUIThread(*contacts));
  zr::test::PumpFor(std::chrono::milliseconds(50));
  EXPECT_EQ(0, rows->CallCount());
  rowListener->Release();  // left alone by its index
}

TEST_F(AddressBookTest, AnIndexDestroyedByItsOwnListenerStopsTellingTheOthers) {
  ServeLoad({Contact("u1", "Ann")});
  BookRef book;
  Record first, second;
  auto index = std::make_unique<AddressBookIndex>(new NameComparator);
  CountingIndexListener* a = Make<CountingIndexListener>(&first);
  CountingIndexListener* b = Make<CountingIndexListener>(&second);
  index->AddIndexListener(a);
  index->AddIndexListener(b);
  a->onCall = [&] { index.reset(); };
  ASSERT_TRUE(PumpUntil([&] { return first->CallCount() > 0; }));
  EXPECT_FALSE(index);
  Settle(book);
  EXPECT_EQ(0, second->CallCount());
  EXPECT_FALSE(AddressBookTestPeer(book).HasCache());
  a->Release();
  b->Release();
}

}  // namespace
