#include "AddressBook.h"

#include <plstr.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AddressBookIndex.h"
#include "AddressBookInternal.h"
#include "DirectoryServer.h"
#include "UILoop.h"
#include "VoidItemDestructor.h"
#include "ZorlinEvents.h"

template class ZorlinClientRef<AddressBook>;
template class List<DirectoryInfo*>;
template class List<ZorlinEventListenerInfo*>;

AddressBook* AddressBook::theInstance = nullptr;

namespace zr_addressbook {

// Given to every subscribe and full-load request: a failed write lets the next SubscribeSources send
// again. A request still queued when the book goes is dropped with its listener, unheard.
class SubscribeResultListener : public ResultListener {
 public:
  explicit SubscribeResultListener(AddressBook* book) : mBook(book) {}
  void OnSuccess() override {}
  void OnFailure(const char*) override { mBook->mSourcesSubscribed = false; }
  void Release() override { delete this; }

 private:
  AddressBook* mBook;
};

}  // namespace zr_addressbook

namespace {

inline void AssertUIThread() { assert(zr::UILoop::IsUIThread()); }

bool Equal(const char* a, const char* b) { return a && b && strcmp(a, b) == 0; }

// A new message deserialised from msg's key, or null when the key is missing or its text malformed.
IPCMessage* ReadMessage(IPCMessage* msg, const char* key) {
  const char* text = IPC_MessageGetValue(msg, key);
  if (!text) return nullptr;
  IPCMessage* m = IPC_NewMessage();
  if (IPC_Deserialize(m, text) != PR_SUCCESS) {
    IPC_DestroyMessage(m);
    return nullptr;
  }
  return m;
}

// As ReadMessage, for a source: it must carry its id.
IPCMessage* ReadSource(IPCMessage* msg, const char* key) {
  IPCMessage* m = ReadMessage(msg, key);
  if (m && !IPC_MessageGetValue(m, "_xsid")) {
    IPC_DestroyMessage(m);
    return nullptr;
  }
  return m;
}

template <typename L>
void ReleaseFirst(List<L*>& list, L* l) {
  if (l && list.Remove(l)) l->Release();
}

template <typename L>
void ReleaseAll(List<L*>& list) {
  while (list.GetSize() > 0) list.RemoveHead()->Release();
}

}  // namespace

// Application code may release listeners, add new ones (they wait for the next event) or drop the last
// reference to the book, which then waits for the dispatch to end.
template <typename L, typename Call>
void AddressBook::TellAll(List<L*>& list, Call call) {
  L* few[8];
  std::vector<L*> many;
  L** snapshot = few;
  const int count = list.GetSize();
  if (count > 8) {
    many.resize(count);
    snapshot = many.data();
  }
  {
    int i = 0;
    ListIterator<L*> it(list);
    for (it.First(); !it.IsDone(); it.Next()) snapshot[i++] = it.CurrentItem();
  }
  DispatchScope scope(this);
  for (int i = 0; i < count && !IsReleased(); ++i) {
    if (list.Contains(snapshot[i])) call(snapshot[i]);
  }
}

// ---- DirectoryInfo -----------------------------------------------------------------------------------

DirectoryInfo::DirectoryInfo(unsigned int id, DirectoryServer* s) : sourceId(id), server(s) {}

DirectoryInfo::~DirectoryInfo() { delete server; }

// ---- Construction and destruction ----------------------------------------------------------------------

AddressBook::AddressBook()
    : ZorlinClient("kv_abook"),
      mContacts(nullptr),
      mBookCookie(1),
      mSourcesSubscribed(false),
      mAllAddrsRequested(false),
      mContactsLoaded(false),
      mContactsSubscribed(false),
      mUpgradesSubscribed(false),
      mProxySubscribed(true),
      mUpgradeAvailable(false),
      mDovRequests(wxKEY_STRING, 1000),
      mNextSessionCookie(1),
      mPacketListeners(wxKEY_STRING, 1000),
      mContactUids(new zr_addressbook::ContactUids) {}

AddressBook::~AddressBook() {
  AssertUIThread();
  while (mSources.GetSize() > 0) IPC_DestroyMessage(mSources.RemoveHead());
  while (mDirectories.GetSize() > 0) delete mDirectories.RemoveHead();
  while (mEventInfos.GetSize() > 0) delete mEventInfos.RemoveHead();
  ReleaseAll(mContactListeners);
  ReleaseAll(mListListeners);
  ReleaseAll(mUpgradeListeners);
  DropContactCache();
  delete mContactUids;
  mContactUids = nullptr;

  // Pending account-service requests are records (wxObjects) whose destruction releases their listener,
  // without a callback; packet listeners are held once per entry.
  std::vector<wxObject*> requests, packetListeners;
  mDovRequests.BeginFind();
  while (wxHashTable::Node* node = mDovRequests.Next()) requests.push_back(node->GetData());
  mDovRequests.Clear();
  for (wxObject* request : requests) delete request;
  mPacketListeners.BeginFind();
  while (wxHashTable::Node* node = mPacketListeners.Next()) packetListeners.push_back(node->GetData());
  mPacketListeners.Clear();
  for (wxObject* object : packetListeners) {
    if (DOVPacketListener* listener = dynamic_cast<DOVPacketListener*>(object)) listener->Release();
  }
}

// ---- Listeners -----------------------------------------------------------------------------------------

void AddressBook::AddAddressBookListListener(AddressBookListListener* l) {
  AssertUIThread();
  if (!l) return;
  SubscribeSources();
  mListListeners.Append(l);
  // Replay what is cached, for as long as l stays registered.
  std::vector<IPCMessage*> sources;
  {
    ListIterator<IPCMessage*> it(mSources);
    for (it.First(); !it.IsDone(); it.Next()) sources.push_back(it.CurrentItem());
  }
  if (sources.empty()) return;
  DispatchScope scope(this);
  for (IPCMessage* source : sources) {
    if (IsReleased() || !mListListeners.Contains(l)) return;
    if (mSources.Contains(source)) l->OnSourceAdded(source);
  }
  if (!IsReleased() && mListListeners.Contains(l)) l->OnSourcesSentAll();
}

void AddressBook::ReleaseAddressBookListListener(AddressBookListListener* l) {
  AssertUIThread();
  DispatchScope scope(this);
  ReleaseFirst(mListListeners, l);
}

void AddressBook::AddAddressBookContactListener(AddressBookContactListener* l) {
  AssertUIThread();
  if (!l) return;
  mContactListeners.Append(l);
  SubscribeContacts();
}

void AddressBook::ReleaseAddressBookContactListener(AddressBookContactListener* l) {
  AssertUIThread();
  DispatchScope scope(this);
  ReleaseFirst(mContactListeners, l);
}

void AddressBook::AddUpgradeListener(UpgradeListener* l) {
  AssertUIThread();
  if (!l) return;
  mUpgradeListeners.Append(l);
  SubscribeUpgrades();
  DispatchScope scope(this);
  l->OnUpgradeAvailable(mUpgradeAvailable);
}

void AddressBook::ReleaseUpgradeListener(UpgradeListener* l) {
  AssertUIThread();
  DispatchScope scope(this);
  ReleaseFirst(mUpgradeListeners, l);
}

// ---- Subscriptions -------------------------------------------------------------------------------------

void AddressBook::WriteSubscription(const char* command, bool withCookie) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", command);
  if (withCookie) IPC_MessageSetInt(msg, "bookCookie", mBookCookie);
  WriteMessage(msg, nullptr, new zr_addressbook::SubscribeResultListener(this), nullptr);
  IPC_DestroyMessage(msg);
}

void AddressBook::SubscribeSources() {
  if (mSourcesSubscribed) return;
  ++mBookCookie;
  mSourcesSubscribed = true;
  WriteSubscription("subscribeSources", true);
}

void AddressBook::GetAllAddrs() {
  if (mAllAddrsRequested) return;
  NewContactCache();
  ++mBookCookie;
  mAllAddrsRequested = true;
  WriteSubscription("ab_getAllAddrs", true);
}

void AddressBook::SubscribeContacts() {
  if (mContactListeners.GetSize() == 0 || mContactsSubscribed) return;
  mContactsSubscribed = true;
  WriteSubscription("subscribeContacts", false);
}

void AddressBook::SubscribeUpgrades() {
  if (mUpgradeListeners.GetSize() == 0 || mUpgradesSubscribed) return;
  mUpgradesSubscribed = true;
  WriteSubscription("subscribeUpgrades", false);
}

// ---- Connection ----------------------------------------------------------------------------------------

void AddressBook::OnConnect() {
  AssertUIThread();
  // The old connection's sources go before the service announces the new ones.
  while (mSources.GetSize() > 0) {
    IPCMessage* source = mSources.RemoveHead();
    TellAll(mListListeners, [&](AddressBookListListener* l) { l->OnSourceRemoved(source); });
    IPC_DestroyMessage(source);
    if (IsReleased()) return;
  }
  if (mListListeners.GetSize() > 0) SubscribeSources();
  SubscribeContacts();
  SubscribeUpgrades();
  if (!mProxySubscribed) {
    mProxySubscribed = true;
    ListIterator<ZorlinEventListenerInfo*> it(mEventInfos);
    for (it.First(); !it.IsDone(); it.Next()) ProxySubscribe(it.CurrentItem()->eventName);
  }
  if (mIndexes.GetSize() > 0) GetAllAddrs();
}

void AddressBook::OnDisconnect() {
  AssertUIThread();
  mSourcesSubscribed = false;
  mAllAddrsRequested = false;
  mContactsLoaded = false;
  mContactsSubscribed = false;
  mUpgradesSubscribed = false;
  mProxySubscribed = false;
  TellAll(mIndexes, [](AddressBookIndex* index) { index->OnRemoveAll(); });
}

// ---- Events --------------------------------------------------------------------------------------------

void AddressBook::OnMessage(IPCMessage* msg) {
  AssertUIThread();
  if (HandleProxyEvent(msg)) return;
  const char* event = IPC_MessageGetValue(msg, "zr_event");
  if (!event) return;
  static const struct {
    const char* name;
    void (AddressBook::*handler)(IPCMessage*);
  } kHandlers[] = {
      // The full load's two events first: a load brings one per contact.
      {"ab_eventAddrExists", &AddressBook::HandleContactExists},
      {"ab_eventAddrEndExists", &AddressBook::HandleContactEndExists},
      {"contactChanged", &AddressBook::HandleContactChanged},
      {"contactAdded", &AddressBook::HandleContactAdded},
      {"contactRemoved", &AddressBook::HandleContactRemoved},
      {"contactRemoveAll", &AddressBook::HandleRemoveAllContacts},
      {"contactInit", &AddressBook::HandleInitContacts},
      {"sourceAdded", &AddressBook::HandleSourceAdded},
      {"sourceRemoved", &AddressBook::HandleSourceRemoved},
      {"sourceChanged", &AddressBook::HandleSourceChanged},
      {"sourceSentAll", &AddressBook::HandleSourceSentAll},
      {"upgradeAvailable", &AddressBook::HandleUpgradeAvailable},
      // The account-service events ("ab_dov_...") have no handler yet: ignored like unknown ones.
  };
  for (const auto& entry : kHandlers) {
    if (strcmp(event, entry.name) == 0) {
      (this->*entry.handler)(msg);
      return;
    }
  }
}

bool AddressBook::CookieIsCurrent(IPCMessage* msg) {
  const char* cookie = IPC_MessageGetValue(msg, "bookCookie");
  return cookie && atoi(cookie) == mBookCookie;
}

void AddressBook::HandleSourceAdded(IPCMessage* msg) {
  if (!CookieIsCurrent(msg)) return;
  IPCMessage* source = ReadSource(msg, "source");
  if (!source) return;
  mSources.Append(source);
  TellAll(mListListeners, [&](AddressBookListListener* l) { l->OnSourceAdded(source); });
}

void AddressBook::HandleSourceRemoved(IPCMessage* msg) {
  if (!CookieIsCurrent(msg)) return;
  IPCMessage* source = ReadSource(msg, "source");
  if (!source) return;
  const char* sid = IPC_MessageGetValue(source, "_xsid");
  IPCMessage* cached = nullptr;
  {
    ListIterator<IPCMessage*> it(mSources);
    for (it.First(); !it.IsDone() && !cached; it.Next()) {
      if (Equal(IPC_MessageGetValue(it.CurrentItem(), "_xsid"), sid)) cached = it.RemoveCurrentItem();
    }
  }
  if (cached) {
    IPC_DestroyMessage(cached);
    TellAll(mListListeners, [&](AddressBookListListener* l) { l->OnSourceRemoved(source); });
  }
  {
    const unsigned int id = static_cast<unsigned int>(atoi(sid));
    ListIterator<DirectoryInfo*> it(mDirectories);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem()->sourceId == id) {
        delete it.RemoveCurrentItem();
        break;
      }
    }
  }
  IPC_DestroyMessage(source);
}

void AddressBook::HandleSourceChanged(IPCMessage* msg) {
  if (!CookieIsCurrent(msg)) return;
  IPCMessage* oldSource = ReadSource(msg, "oldSource");
  IPCMessage* newSource = ReadSource(msg, "newSource");
  const char* sid = oldSource ? IPC_MessageGetValue(oldSource, "_xsid") : nullptr;
  bool kept = false;
  if (newSource && Equal(sid, IPC_MessageGetValue(newSource, "_xsid"))) {
    ListIterator<IPCMessage*> it(mSources);
    for (it.First(); !it.IsDone() && !kept; it.Next()) {
      if (Equal(IPC_MessageGetValue(it.CurrentItem(), "_xsid"), sid)) {
        IPC_DestroyMessage(it.ReplaceCurrentItem(newSource));
        kept = true;
      }
    }
  }
  if (!kept) {
    IPC_DestroyMessage(oldSource);
    IPC_DestroyMessage(newSource);
    return;
  }
  TellAll(mListListeners, [&](AddressBookListListener* l) { l->OnSourceChanged(oldSource, newSource); });
  if (mSources.Contains(newSource)) {
    CacheDirectory(static_cast<unsigned int>(atoi(sid)), newSource);
  }
  IPC_DestroyMessage(oldSource);
}

void AddressBook::HandleSourceSentAll(IPCMessage* msg) {
  if (!CookieIsCurrent(msg)) return;
  TellAll(mListListeners, [](AddressBookListListener* l) { l->OnSourcesSentAll(); });
}

void AddressBook::HandleInitContacts(IPCMessage*) {
  TellAll(mContactListeners, [](AddressBookContactListener* l) { l->OnContactsInit(); });
}

void AddressBook::HandleContactAdded(IPCMessage* msg) {
  IPCMessage* contact = ReadMessage(msg, "newContact");
  if (!contact) return;
  Address* a = new Address(contact);
  IPC_DestroyMessage(contact);
  // Once in the cache, the address is the cache's, even if the cache goes during the calls.
  const bool cached = mContacts != nullptr;
  if (cached) AppendContact(a);
  TellAll(mContactListeners, [&](AddressBookContactListener* l) { l->OnContactAdded(a); });
  if (!cached) delete a;
}

void AddressBook::HandleContactRemoved(IPCMessage* msg) {
  IPCMessage* contact = ReadMessage(msg, "oldContact");
  if (!contact) return;
  Address* a;
  if (mContacts) {
    const int i = FindAddr(contact);
    IPC_DestroyMessage(contact);
    if (i < 0) return;
    // The hole closes at once, so that the cache is whole whatever the listeners do.
    a = mContacts->RemoveItemAt(i);
    mContacts->Remove(i, 1);
    mContactUids->Remove(i, a);
  } else {
    a = new Address(contact);
    IPC_DestroyMessage(contact);
  }
  TellAll(mContactListeners, [&](AddressBookContactListener* l) { l->OnContactRemoved(a); });
  delete a;
}

void AddressBook::HandleContactChanged(IPCMessage* msg) {
  IPCMessage* oldContact = ReadMessage(msg, "oldContact");
  IPCMessage* newContact = ReadMessage(msg, "newContact");
  if (!oldContact || !newContact) {
    IPC_DestroyMessage(oldContact);
    IPC_DestroyMessage(newContact);
    return;
  }
  Address* n = new Address(newContact);
  Address* o = nullptr;
  const bool cached = mContacts != nullptr;
  if (cached) {
    const int i = FindAddr(oldContact);
    if (i >= 0) {
      o = mContacts->RemoveItemAt(i);
      mContacts->SetItemAt(i, n);
      mContactUids->Replace(i, o, n);
    }
  } else {
    o = new Address(oldContact);
  }
  IPC_DestroyMessage(oldContact);
  IPC_DestroyMessage(newContact);
  if (!o) {
    delete n;
    return;
  }
  TellAll(mContactListeners, [&](AddressBookContactListener* l) { l->OnContactChanged(o, n); });
  delete o;
  if (!cached) delete n;
}

void AddressBook::HandleRemoveAllContacts(IPCMessage*) {
  TellAll(mContactListeners, [](AddressBookContactListener* l) { l->OnAllContactsRemoved(); });
}

void AddressBook::HandleContactExists(IPCMessage* msg) {
  if (!mContacts) return;
  // A contact that is missing or does not deserialise would only be an empty row: it is dropped.
  IPCMessage* contact = ReadMessage(msg, "contact");
  if (!contact) return;
  AppendContact(new Address(contact));
  IPC_DestroyMessage(contact);
}

void AddressBook::HandleContactEndExists(IPCMessage*) {
  // The end of a load that no index waits for any more has nothing to hand over.
  if (!mContacts) return;
  mContactsLoaded = true;
#if defined(__GLIBC__)
  // The load's messages came faster than they were read into the cache: the memory they held while
  // queued lies in free pages between the contacts. Give those pages back.
  malloc_trim(0);
#endif
  TellAll(mIndexes, [this](AddressBookIndex* index) {
    if (mContacts) index->OnInit(*mContacts);
  });
}

void AddressBook::HandleUpgradeAvailable(IPCMessage* msg) {
  mUpgradeAvailable = Equal(IPC_MessageGetValue(msg, "available"), "true");
  const bool available = mUpgradeAvailable;
  TellAll(mUpgradeListeners, [available](UpgradeListener* l) { l->OnUpgradeAvailable(available); });
}

// ---- Contact cache and indexes -------------------------------------------------------------------------

void AddressBook::NewContactCache() {
  DropContactCache();
  mContacts = new Array<Address*>;
  mContacts->AdoptItemDestructor(new AddressItemDestructor);
}

void AddressBook::DropContactCache() {
  if (!mContacts) return;
  mContactUids->Clear();
  delete mContacts;  // with its addresses
  mContacts = nullptr;
}

void AddressBook::AppendContact(Address* a) {
  if (mContacts->Append(a) != PR_SUCCESS) {
    delete a;
    return;
  }
  mContactUids->Append(a);
}

int AddressBook::FindAddr(IPCMessage* m) {
  if (!mContacts) return -1;
  return mContactUids->Find(IPC_MessageGetValue(m, "_xuid"), *mContacts);
}

void AddressBook::AddIndex(AddressBookIndex* index) {
  AssertUIThread();
  GetAllAddrs();
  mIndexes.Append(index);
  if (mContactsLoaded && mContacts) index->OnInit(*mContacts);
}

void AddressBook::RemoveIndex(AddressBookIndex* index) {
  AssertUIThread();
  while (mIndexes.Remove(index)) {
  }
  if (mIndexes.GetSize() > 0) return;
  DropContactCache();
  mAllAddrsRequested = false;
  mContactsLoaded = false;
}

DirectoryServer* AddressBook::CacheDirectory(unsigned int sourceId, IPCMessage* source) {
  DirectoryServer* cached = nullptr;
  {
    ListIterator<DirectoryInfo*> it(mDirectories);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem()->sourceId == sourceId) cached = it.CurrentItem()->server;
    }
  }
  const char* server = IPC_MessageGetValue(source, "server");
  const char* port = IPC_MessageGetValue(source, "port");
  const char* base = IPC_MessageGetValue(source, "base");
  const char* delay = IPC_MessageGetValue(source, "delay");
  const bool useSSL = Equal(IPC_MessageGetValue(source, "useSSL"), "true");
  if (!server || !port || !base || !delay) return cached;
  if (cached) {
    cached->Change(server, atoi(port), base, atoi(delay), useSSL);
    return cached;
  }
  DirectoryServer* created = new DirectoryServer(server, atoi(port), base, atoi(delay), useSSL, nullptr);
  mDirectories.Append(new DirectoryInfo(sourceId, created));
  return created;
}

// ---- Proxied events ------------------------------------------------------------------------------------

ZorlinEventListenerInfo* AddressBook::GetEventInfo(const char* name) {
  if (!name) return nullptr;
  ListIterator<ZorlinEventListenerInfo*> it(mEventInfos);
  for (it.First(); !it.IsDone(); it.Next()) {
    if (strcmp(it.CurrentItem()->eventName, name) == 0) return it.CurrentItem();
  }
  return nullptr;
}

void AddressBook::ProxySubscribe(const char* name) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "zr_proxySubscribe");
  IPC_MessageSetValue(msg, "zr_proxyEvent", name);
  WriteMessage(msg, nullptr, nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

void AddressBook::ProxyUnsubscribe(const char* name) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "zr_proxyUnsubscribe");
  IPC_MessageSetValue(msg, "zr_proxyEvent", name);
  WriteMessage(msg, nullptr, nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

void AddressBook::AddEventListener(const char* name, ZorlinEventListener* listener) {
  AssertUIThread();
  if (!listener) return;
  if (!name) {
    // No event can ever carry a null name; the listener is ours all the same.
    listener->Release();
    return;
  }
  ZorlinEventListenerInfo* info = GetEventInfo(name);
  if (!info) {
    info = new ZorlinEventListenerInfo(name);
    mEventInfos.Append(info);
    ProxySubscribe(name);
  }
  info->listeners.Append(listener);
  DispatchScope scope(this);
  if (info->stickyEvent) listener->OnEvent(info->eventName, info->stickyEvent);
}

void AddressBook::ReleaseEventListener(const char* name, ZorlinEventListener* listener) {
  AssertUIThread();
  ZorlinEventListenerInfo* info = GetEventInfo(name);
  if (!info) return;
  DispatchScope scope(this);
  if (listener && info->listeners.Remove(listener)) listener->Release();
  // The release may have run application code that changed the table.
  if (GetEventInfo(name) != info || info->listeners.GetSize() > 0) return;
  mEventInfos.Remove(info);
  ProxyUnsubscribe(info->eventName);
  delete info;
}

void AddressBook::WriteFireEvent(const char* name, IPCMessage* event, bool sticky) {
  if (!name) return;
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "zr_proxyFireEvent");
  IPC_MessageSetValue(msg, "zr_proxyEvent", name);
  if (sticky) IPC_MessageSetValue(msg, "zr_proxyEventSticky", "true");
  if (event) IPC_MessageSetValue(msg, "zr_proxyEventMsg", IPC_Serialize(event));
  WriteMessage(msg, nullptr, nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

void AddressBook::FireEvent(const char* name, IPCMessage* event) {
  AssertUIThread();
  WriteFireEvent(name, event, false);
}

void AddressBook::FireStickyEvent(const char* name, IPCMessage* event) {
  AssertUIThread();
  WriteFireEvent(name, event, true);
}

bool AddressBook::HandleProxyEvent(IPCMessage* msg) {
  const char* name = IPC_MessageGetValue(msg, "zr_proxyEvent");
  if (!name) return false;
  ZorlinEventListenerInfo* info = GetEventInfo(name);
  if (!info) return true;
  IPCMessage* event = IPC_NewMessage();
  const char* text = IPC_MessageGetValue(msg, "zr_proxyEventMsg");
  // A failed deserialisation leaves the message empty, as a missing payload does.
  if (text) IPC_Deserialize(event, text);
  const bool sticky = Equal(IPC_MessageGetValue(msg, "zr_proxyEventSticky"), "true");
  // Listeners may release themselves or others, even the entry's last one, which destroys the entry:
  // each call looks the entry up again and checks the listener is still in it.
  const std::string eventName(name);
  std::vector<ZorlinEventListener*> listeners;
  {
    ListIterator<ZorlinEventListener*> it(info->listeners);
    for (it.First(); !it.IsDone(); it.Next()) listeners.push_back(it.CurrentItem());
  }
  DispatchScope scope(this);
  for (ZorlinEventListener* listener : listeners) {
    if (IsReleased()) break;
    ZorlinEventListenerInfo* current = GetEventInfo(eventName.c_str());
    if (current && current->listeners.Contains(listener)) listener->OnEvent(current->eventName, event);
  }
  ZorlinEventListenerInfo* current = GetEventInfo(eventName.c_str());
  if (current) {
    IPC_DestroyMessage(current->stickyEvent);
    current->stickyEvent = nullptr;
    if (sticky) {
      current->stickyEvent = event;
      event = nullptr;
    }
  }
  IPC_DestroyMessage(event);
  return true;
}
