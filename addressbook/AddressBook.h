// The client of the address book service (channel "kv_abook"), reached through
// ZorlinClientRef<AddressBook>. It caches the service's sources (books and directories) and replays them
// to late list listeners, makes and keeps a DirectoryServer per directory source, keeps the contact cache
// that feeds the sorted indexes (AddressBookIndex) during and after a full load, relays contact and
// upgrade events, and carries the proxied events of ZorlinEvents. Each connection renews the service
// subscriptions once; each disconnection empties the indexes until the next load ends.
//
// Ownership: the book owns every listener handed to it and releases each once, on the UI thread: when it
// is released through the matching Release... call, or when the book goes. It owns the cached sources,
// contacts and directory servers; an application keeps a directory server beyond a callback only through
// an Alias<DirectoryServer>. Indexes are not owned: each registers and unregisters itself.
//
// Threads: UI thread only. Application code called back from here may do anything, including dropping
// the last reference to the book and releasing or adding listeners.
#ifndef ZRAPPAPI_ADDRESSBOOK_H
#define ZRAPPAPI_ADDRESSBOOK_H

#include <wx/hash.h>

#include "Address.h"
#include "AddressBookListeners.h"
#include "IPCMessage.h"
#include "List.h"
#include "ZorlinClient.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

class AddressBookIndex;
class DirectoryServer;
class ZorlinEvents;
class ZorlinEventListener;
struct ZorlinEventListenerInfo;
struct QuerySessionForSNameInfo;

namespace zr_addressbook {
class ContactUids;
class SubscribeResultListener;
}  // namespace zr_addressbook

// The cached directory server of one directory source. Destroying the entry destroys the server.
struct ZRAPPAPI_EXPORT DirectoryInfo {
  DirectoryInfo(unsigned int sourceId, DirectoryServer* server);
  ~DirectoryInfo();
  unsigned int sourceId;
  DirectoryServer* server;

 private:
  DirectoryInfo(const DirectoryInfo&) = delete;
  DirectoryInfo& operator=(const DirectoryInfo&) = delete;
};

extern template class ZRAPPAPI_EXPORT List<DirectoryInfo*>;
extern template class ZRAPPAPI_EXPORT List<AddressBookIndex*>;
extern template class ZRAPPAPI_EXPORT List<ZorlinEventListenerInfo*>;

class ZRAPPAPI_EXPORT AddressBook : public ZorlinClient {
 public:
  // Subscribes to the sources, then tells l about every source cached so far (and that they were all
  // sent, when there is at least one).
  void AddAddressBookListListener(AddressBookListListener* l);
  // Each removes the first registration of l and releases it; nothing when l is not registered.
  void ReleaseAddressBookListListener(AddressBookListListener* l);
  void AddAddressBookContactListener(AddressBookContactListener* l);
  void ReleaseAddressBookContactListener(AddressBookContactListener* l);
  // Subscribes to upgrade news and tells l at once the last availability the service reported.
  void AddUpgradeListener(UpgradeListener* l);
  void ReleaseUpgradeListener(UpgradeListener* l);

 protected:
  AddressBook();
  ~AddressBook() override;
  void OnMessage(IPCMessage* msg) override;
  void OnConnect() override;
  void OnDisconnect() override;

 private:
  friend class ZorlinClientRef<AddressBook>;
  friend class AddressBookIndex;
  friend class ZorlinEvents;
  friend class AddressBookTestPeer;
  friend class zr_addressbook::SubscribeResultListener;

  // Indexes (AddressBookIndex).
  void AddIndex(AddressBookIndex* index);
  void RemoveIndex(AddressBookIndex* index);
  // Cache position of the first contact with m's "_xuid", or -1.
  int FindAddr(IPCMessage* m);
  DirectoryServer* CacheDirectory(unsigned int sourceId, IPCMessage* source);
  void GetAllAddrs();
  void SubscribeSources();
  void SubscribeContacts();
  void SubscribeUpgrades();
  void WriteSubscription(const char* command, bool withCookie);

  // Proxied events (ZorlinEvents).
  void AddEventListener(const char* name, ZorlinEventListener* listener);
  void ReleaseEventListener(const char* name, ZorlinEventListener* listener);
  void FireEvent(const char* name, IPCMessage* event);
  void FireStickyEvent(const char* name, IPCMessage* event);
  void WriteFireEvent(const char* name, IPCMessage* event, bool sticky);
  ZorlinEventListenerInfo* GetEventInfo(const char* name);
  bool HandleProxyEvent(IPCMessage* msg);
  void ProxySubscribe(const char* name);
  void ProxyUnsubscribe(const char* name);

  // Events of the service.
  bool CookieIsCurrent(IPCMessage* msg);
  void HandleSourceAdded(IPCMessage* msg);
  void HandleSourceRemoved(IPCMessage* msg);
  void HandleSourceChanged(IPCMessage* msg);
  void HandleSourceSentAll(IPCMessage* msg);
  void HandleInitContacts(IPCMessage* msg);
  void HandleContactAdded(IPCMessage* msg);
  void HandleContactRemoved(IPCMessage* msg);
  void HandleContactChanged(IPCMessage* msg);
  void HandleRemoveAllContacts(IPCMessage* msg);
  void HandleContactExists(IPCMessage* msg);
  void HandleContactEndExists(IPCMessage* msg);
  void HandleUpgradeAvailable(IPCMessage* msg);

  // The contact cache and its uid lookup change together through these.
  void NewContactCache();
  void DropContactCache();
  void AppendContact(Address* a);
  // Calls call(l) for every listener of list registered when the walk starts that is still registered
  // when its turn comes; stops once the last reference to the book has gone.
  template <typename L, typename Call>
  void TellAll(List<L*>& list, Call call);

  static AddressBook* theInstance;

  List<AddressBookListListener*> mListListeners;
  List<AddressBookContactListener*> mContactListeners;
  List<UpgradeListener*> mUpgradeListeners;
  List<IPCMessage*> mSources;
  List<DirectoryInfo*> mDirectories;
  List<QuerySessionForSNameInfo*> mSessionQueries;
  List<ZorlinEventListenerInfo*> mEventInfos;
  List<AddressBookIndex*> mIndexes;
  Array<Address*>* mContacts;
  int mBookCookie;
  bool mSourcesSubscribed;
  bool mAllAddrsRequested;
  bool mContactsLoaded;
  bool mContactsSubscribed;
  bool mUpgradesSubscribed;
  bool mProxySubscribed;
  bool mUpgradeAvailable;
  wxHashTable mDovRequests;
  int mNextSessionCookie;
  wxHashTable mPacketListeners;

  // Finds cached contacts by uid without walking the cache; exists with mContacts.
  zr_addressbook::ContactUids* mContactUids;
};

extern template class ZRAPPAPI_EXPORT ZorlinClientRef<AddressBook>;

#endif
