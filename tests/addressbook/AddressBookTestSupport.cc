#include "AddressBookTestSupport.h"

#include <algorithm>
#include <cstring>

using zr::test::Text;

std::string Describe(const Address* a) {
  if (!a) return "null";
  return Text(a->GetUID() ? a->GetUID() : "-") + "/" + Text(a->GetName() ? a->GetName() : "-");
}

std::string Serialized(zr::test::Fields fields) {
  IPCMessage* m = zr::test::NewMessage(fields);
  std::string text = IPC_Serialize(m);
  IPC_DestroyMessage(m);
  return text;
}

std::string Contact(const std::string& uid, const std::string& name) {
  if (uid.empty()) return Serialized({{"cn", name}});
  return Serialized({{"_xuid", uid}, {"cn", name}});
}

std::string Source(const std::string& sid, const std::string& host) {
  if (host.empty()) return Serialized({{"_xsid", sid}, {"name", "book" + sid}});
  return Serialized({{"_xsid", sid}, {"server", host}, {"port", "389"}, {"base", "o=x"}, {"delay", "2"}});
}

Texts Tail(const Record& record, size_t from) {
  Texts calls = record->Calls();
  return Texts(calls.begin() + static_cast<long>(std::min(from, calls.size())), calls.end());
}

namespace {
std::string Sid(IPCMessage* m) { return Text(IPC_MessageGetValue(m, "_xsid")); }
}  // namespace

void CountingListListener::OnSourceAdded(IPCMessage* s) {
  Record("OnSourceAdded(" + Sid(s) + ")");
  if (onCall) onCall();
}
void CountingListListener::OnSourceRemoved(IPCMessage* s) {
  Record("OnSourceRemoved(" + Sid(s) + ")");
  if (onCall) onCall();
}
void CountingListListener::OnSourceChanged(IPCMessage* o, IPCMessage* n) {
  Record("OnSourceChanged(" + Sid(o) + "," + Text(IPC_MessageGetValue(n, "server")) + ")");
  if (onCall) onCall();
}
void CountingListListener::OnSourcesSentAll() {
  Record("OnSourcesSentAll");
  if (onCall) onCall();
}

void CountingContactListener::OnContactsInit() { Record("OnContactsInit"); }
void CountingContactListener::OnContactAdded(Address* a) { Record("OnContactAdded(" + Describe(a) + ")"); }
void CountingContactListener::OnContactRemoved(Address* a) {
  Record("OnContactRemoved(" + Describe(a) + ")");
}
void CountingContactListener::OnContactChanged(Address* o, Address* n) {
  Record("OnContactChanged(" + Describe(o) + "," + Describe(n) + ")");
}
void CountingContactListener::OnAllContactsRemoved() { Record("OnAllContactsRemoved"); }

void CountingUpgradeListener::OnUpgradeAvailable(bool available) {
  Record(available ? "OnUpgradeAvailable(true)" : "OnUpgradeAvailable(false)");
}

void CountingIndexListener::OnIndexReserved() { Record("OnIndexReserved"); }
void CountingIndexListener::OnItemsInserted(unsigned int index, unsigned int count) {
  Record("OnItemsInserted(" + std::to_string(index) + "," + std::to_string(count) + ")");
  if (onCall) onCall();
}
void CountingIndexListener::OnItemChanged(unsigned int index) {
  Record("OnItemChanged(" + std::to_string(index) + ")");
  if (onCall) onCall();
}
void CountingIndexListener::OnItemsRemoved(unsigned int index, unsigned int count) {
  Record("OnItemsRemoved(" + std::to_string(index) + "," + std::to_string(count) + ")");
  if (onCall) onCall();
}

void CountingEventListener::OnEvent(const char* name, IPCMessage* event) {
  Record("OnEvent(" + Text(name) + "," + zr::test::Describe(event) + ")");
  if (onCall) onCall();
}

int NameComparator::Compare(const Address* a, const Address* b) const {
  const char* x = a->GetName();
  const char* y = b->GetName();
  if (!x || !y) return (x ? 1 : 0) - (y ? 1 : 0);
  return strcmp(x, y);
}

Texts AddressBookTestPeer::Cache() const {
  Texts out;
  if (!mBook->mContacts) return out;
  for (unsigned int i = 0; i < mBook->mContacts->GetSize(); ++i) out.push_back(Describe(CachedAt(i)));
  return out;
}

DirectoryServer* AddressBookTestPeer::Directory(unsigned int sourceId) const {
  ListIterator<DirectoryInfo*> it(mBook->mDirectories);
  for (it.First(); !it.IsDone(); it.Next()) {
    if (it.CurrentItem()->sourceId == sourceId) return it.CurrentItem()->server;
  }
  return nullptr;
}

AddressBookFixture::AddressBookFixture() {
  mService.OnCommand("ab_getAllAddrs", [this](const zr::test::ReceivedMessage&, zr::test::Responder& r) {
    std::vector<std::string> load;
    {
      std::lock_guard<std::mutex> lock(mLoadMutex);
      load = mLoad;
    }
    for (const std::string& contact : load)
      r.Send({{"zr_event", "ab_eventAddrExists"}, {"contact", contact}});
    r.Send({{"zr_event", "ab_eventAddrEndExists"}});
  });
}

void AddressBookFixture::ServeLoad(std::vector<std::string> contacts) {
  std::lock_guard<std::mutex> lock(mLoadMutex);
  mLoad = std::move(contacts);
}

bool AddressBookFixture::WaitForCommands(const std::string& command, int n) {
  return mService.WaitForCommand(command, zr::test::FakeService::kWait, n).has_value();
}

Texts AddressBookFixture::CommandsOn(int connection) {
  Texts out;
  for (const zr::test::ReceivedMessage& m : mService.Messages()) {
    if (m.Connection() != connection || m.Command() == "subscribeUpgrades") continue;
    std::string line = m.Command();
    if (m.Has("bookCookie")) line += " " + m.Value("bookCookie");
    if (m.Has("zr_proxyEvent")) line += " " + m.Value("zr_proxyEvent");
    out.push_back(line);
  }
  return out;
}

void AddressBookFixture::Settle(AddressBook* book) {
  if (!mMarkerAdded) {
    mMarkerAdded = true;
    book->AddUpgradeListener(Make<CountingUpgradeListener>(&mMarker));
    ASSERT_TRUE(WaitForCommands("subscribeUpgrades", 1));
  }
  const int before = mMarker->CallCount();
  ASSERT_EQ(PR_SUCCESS, mService.Send({{"zr_event", "upgradeAvailable"}, {"available", "false"}}));
  ASSERT_TRUE(zr::test::PumpUntil([&] { return mMarker->CallCount() > before; }));
}

PRStatus AddressBookFixture::Send(const FieldList& fields) {
  IPCMessage* m = IPC_NewMessage();
  for (const auto& [key, value] : fields) IPC_MessageSetValue(m, key.c_str(), value.c_str());
  const PRStatus status = mService.Send(m);
  IPC_DestroyMessage(m);
  return status;
}

void AddressBookFixture::SendAndSettle(AddressBook* book, const FieldList& fields) {
  ASSERT_EQ(PR_SUCCESS, Send(fields));
  Settle(book);
}

std::string DescribeFields(const FieldList& fields) {
  std::string out = "{";
  for (const auto& [key, value] : fields) out += (out.size() > 1 ? ", " : "") + key + "=" + value;
  return out + "}";
}
