// What the address book's tests share: counting listeners of the address book family, serialised
// contacts and sources, a view into the book's private state, and a fixture with a fake "kv_abook"
// service that streams a full load on request.
#ifndef ZRAPPAPI_TESTS_ADDRESSBOOKTESTSUPPORT_H
#define ZRAPPAPI_TESTS_ADDRESSBOOKTESTSUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Address.h"
#include "AddressBook.h"
#include "AddressBookIndex.h"
#include "CountingListeners.h"
#include "FakeService.h"
#include "TestRuntimeDir.h"
#include "UIPump.h"
#include "ZorlinEvents.h"

using Record = std::shared_ptr<zr::test::ListenerRecord>;
using Texts = std::vector<std::string>;
using BookRef = ZorlinClientRef<AddressBook>;
// A message's fields that can be kept (an initializer list's items cannot outlive its expression).
using FieldList = std::vector<std::pair<std::string, std::string>>;

// "{k1=v1, ...}" of the fields, for failure output.
std::string DescribeFields(const FieldList& fields);

// The calls of record from the from-th on.
Texts Tail(const Record& record, size_t from);

// "uid/name" of an address, "-" for a null field.
std::string Describe(const Address* a);
// The serialised text of a message made of fields.
std::string Serialized(zr::test::Fields fields);
// A serialised contact; an empty uid leaves "_xuid" out.
std::string Contact(const std::string& uid, const std::string& name);
// A serialised source with id sid; with a host, the directory keys of a directory source.
std::string Source(const std::string& sid, const std::string& host = "");

class CountingListListener : public zr::test::Counting<AddressBookListListener> {
 public:
  void OnSourceAdded(IPCMessage* s) override;
  void OnSourceRemoved(IPCMessage* s) override;
  void OnSourceChanged(IPCMessage* o, IPCMessage* n) override;
  void OnSourcesSentAll() override;
  std::function<void()> onCall;  // runs after each call is recorded
};

class CountingContactListener : public zr::test::Counting<AddressBookContactListener> {
 public:
  void OnContactsInit() override;
  void OnContactAdded(Address* a) override;
  void OnContactRemoved(Address* a) override;
  void OnContactChanged(Address* o, Address* n) override;
  void OnAllContactsRemoved() override;
};

class CountingUpgradeListener : public zr::test::Counting<UpgradeListener> {
 public:
  void OnUpgradeAvailable(bool available) override;
};

class CountingIndexListener : public zr::test::Counting<AddressBookIndexListener> {
 public:
  void OnIndexReserved() override;
  void OnItemsInserted(unsigned int index, unsigned int count) override;
  void OnItemChanged(unsigned int index) override;
  void OnItemsRemoved(unsigned int index, unsigned int count) override;
  std::function<void()> onCall;
};

class CountingEventListener : public zr::test::Counting<ZorlinEventListener> {
 public:
  // Recorded as "OnEvent(<name>,<message described>)".
  void OnEvent(const char* name, IPCMessage* event) override;
  std::function<void()> onCall;
};

// Sorts by name (null first), the order of the list displays.
class NameComparator : public AddressComparator {
 public:
  int Compare(const Address* a, const Address* b) const override;
};

template <typename L>
L* Make(Record* record) {
  L* listener = new L;
  *record = listener->record();
  return listener;
}

// The book's private state, read by the tests.
class AddressBookTestPeer {
 public:
  explicit AddressBookTestPeer(AddressBook* book) : mBook(book) {}
  bool HasCache() const { return mBook->mContacts != nullptr; }
  // "uid/name" of each cached contact, in cache order.
  Texts Cache() const;
  Address* CachedAt(unsigned int i) const { return mBook->mContacts->ItemAt(i); }
  int SourceCount() const { return mBook->mSources.GetSize(); }
  // The cached directory server of a source id, or null.
  DirectoryServer* Directory(unsigned int sourceId) const;
  int DirectoryCount() const { return mBook->mDirectories.GetSize(); }
  int BookCookie() const { return mBook->mBookCookie; }
  bool Loaded() const { return mBook->mContactsLoaded; }
  bool SourcesSubscribed() const { return mBook->mSourcesSubscribed; }
  void Deliver(IPCMessage* msg) { mBook->OnMessage(msg); }

 private:
  AddressBook* mBook;
};

class AddressBookFixture : public ::testing::Test {
 protected:
  AddressBookFixture();
  // Makes the service answer "ab_getAllAddrs" with these contacts and the end of the load.
  void ServeLoad(std::vector<std::string> contacts);
  // Waits until the service has seen n messages with this command (on any connection).
  bool WaitForCommands(const std::string& command, int n);
  // The commands the service saw on connection c, with their "bookCookie" or "zr_proxyEvent" if any.
  Texts CommandsOn(int connection);
  // Waits until the UI thread has handled everything the service sent so far: a marker event follows,
  // whose only effect is a call of the fixture's upgrade listener (registered with book on first use).
  void Settle(AddressBook* book);
  void SendAndSettle(AddressBook* book, const FieldList& fields);
  // Pushes the fields as one message on the latest connection.
  PRStatus Send(const FieldList& fields);

  zr::test::TestRuntimeDir mDir;
  zr::test::FakeService mService{"kv_abook"};
  std::mutex mLoadMutex;
  std::vector<std::string> mLoad;
  Record mMarker;
  bool mMarkerAdded = false;
  int mMarkers = 0;
};

#endif
