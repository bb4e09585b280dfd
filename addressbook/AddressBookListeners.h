// The listener interfaces of the address book family (the event broker's ZorlinEventListener lives with
// the broker in ZorlinEvents.h). Applications implement them and hand heap instances to the library,
// which calls every callback and Release() on the UI thread and releases each listener exactly once when
// done with it. Pointer arguments are valid only during the call unless the callback says it takes them
// over. The virtual slot order (destructor, Release, then the callbacks as declared) is part of the
// exported interface: never reorder.
#ifndef ZRAPPAPI_ADDRESSBOOKLISTENERS_H
#define ZRAPPAPI_ADDRESSBOOKLISTENERS_H

#include <wx/object.h>

#include "AliasTarget.h"
#include "IPCMessage.h"
#include "List.h"
#include "Listener.h"
#include "VoidArray.h"
#include "ZrAppApiExport.h"

class Address;
class DirectoryServer;

// Whether the address book service offers an upgrade.
class ZRAPPAPI_EXPORT UpgradeListener : public Listener {
 public:
  ~UpgradeListener() override;
  virtual void OnUpgradeAvailable(bool available) = 0;
};

// The address book's sources (books and directories), each a message owned by the library.
class ZRAPPAPI_EXPORT AddressBookListListener : public Listener {
 public:
  ~AddressBookListListener() override;
  virtual void OnSourceAdded(IPCMessage* source) = 0;
  virtual void OnSourceRemoved(IPCMessage* source) = 0;
  virtual void OnSourceChanged(IPCMessage* oldSource, IPCMessage* newSource) = 0;
  virtual void OnSourcesSentAll() = 0;
};

// The contact cache's changes; the Addresses belong to the cache.
class ZRAPPAPI_EXPORT AddressBookContactListener : public Listener {
 public:
  ~AddressBookContactListener() override;
  virtual void OnContactsInit() = 0;
  virtual void OnContactAdded(Address* address) = 0;
  virtual void OnContactRemoved(Address* address) = 0;
  virtual void OnContactChanged(Address* oldAddress, Address* newAddress) = 0;
  virtual void OnAllContactsRemoved() = 0;
};

// Row changes of an AddressBookIndex.
class ZRAPPAPI_EXPORT AddressBookIndexListener : public Listener {
 public:
  ~AddressBookIndexListener() override;
  virtual void OnIndexReserved() = 0;  // kept for its slot; the library never calls it
  virtual void OnItemsInserted(unsigned int index, unsigned int count) = 0;
  virtual void OnItemChanged(unsigned int index) = 0;
  virtual void OnItemsRemoved(unsigned int index, unsigned int count) = 0;
};

// The outcome of resolving a name or mail. OnResolved gets at least one address, OnNotResolved an empty
// list; the lists and their Addresses belong to the library.
class ZRAPPAPI_EXPORT AddressBookResolveListener : public Listener {
 public:
  AddressBookResolveListener();
  AddressBookResolveListener(const AddressBookResolveListener& other);
  AddressBookResolveListener& operator=(const AddressBookResolveListener& other);
  ~AddressBookResolveListener() override;
  virtual void OnResolved(List<Address*>& addresses) = 0;
  virtual void OnNotResolved(List<Address*>& addresses) = 0;
  void SetDirectoryID(unsigned int id) { directoryID = id; }
  unsigned int GetDirectoryID() const { return directoryID; }

 private:
  unsigned int directoryID;
};

// One address book source. OnAddressBook takes the source message over and must destroy it.
class ZRAPPAPI_EXPORT GetAddressBookListener : public Listener {
 public:
  ~GetAddressBookListener() override;
  virtual void OnAddressBook(IPCMessage* source) = 0;
  virtual void OnAddressBookFailed() = 0;
};

// The list of books. An alias target, so a pending request holds only a weak reference to it.
// OnAddressBookList takes the array of AddressBookName* (with its AddressBookNameDestructor) over.
class ZRAPPAPI_EXPORT GetAddressBookListListener : public Listener, public AliasTarget {
 public:
  GetAddressBookListListener();
  ~GetAddressBookListListener() override;
  virtual void OnAddressBookList(VoidArray* books, int genIndex) = 0;

 private:
  GetAddressBookListListener(const GetAddressBookListListener&) = delete;
  GetAddressBookListListener& operator=(const GetAddressBookListListener&) = delete;
};

class ZRAPPAPI_EXPORT GetHTMLSummaryListener : public Listener {
 public:
  ~GetHTMLSummaryListener() override;
  virtual void OnHTMLSummary(const char* html) = 0;
  virtual void OnHTMLSummaryError() = 0;
};

// The directory server of an address book source; keep it beyond the call only through an
// Alias<DirectoryServer>.
class ZRAPPAPI_EXPORT AddressBookGetDirectoryServerListener : public Listener {
 public:
  ~AddressBookGetDirectoryServerListener() override;
  virtual void OnDirectoryServer(DirectoryServer* server, unsigned int sourceId) = 0;
};

// An account-service request: its final reply, or a prompt for a password or a SecurID code.
class ZRAPPAPI_EXPORT NUOServiceListener : public Listener {
 public:
  ~NUOServiceListener() override;
  virtual void OnServiceComplete(IPCMessage* reply) = 0;
  virtual void OnAskPassword(const char* screenName, const char* cookie) = 0;
  virtual void OnAskSecurID(const char* screenName, bool waitForNext, const char* cookie) = 0;
};

class ZRAPPAPI_EXPORT QuerySessionListener : public Listener {
 public:
  ~QuerySessionListener() override;
  virtual void OnSessionQueried(bool session) = 0;
};

class ZRAPPAPI_EXPORT NUOPasswordForSNameListener : public Listener {
 public:
  ~NUOPasswordForSNameListener() override;
  virtual void OnPasswordForSName(const char* screenName, const char* password) = 0;
};

class ZRAPPAPI_EXPORT KTSAccountInfoListener : public Listener {
 public:
  ~KTSAccountInfoListener() override;
  virtual void OnAccountInfo(const char* screenName, const char* accountType, const char* isPayingMember) = 0;
};

// Packet traffic of an account-service session. An alias target, and a wxObject so that it can be
// stored in a wxHashTable.
class ZRAPPAPI_EXPORT DOVPacketListener : public Listener, public AliasTarget, public wxObject {
 public:
  DOVPacketListener();
  ~DOVPacketListener() override;
  virtual void OnLogMessage(const char* screenName, const char* text) = 0;
  virtual void OnPacket(bool incoming, const char* screenName, const char* data, int length, short token) = 0;
  virtual void OnPacketReserved() = 0;  // kept for its slot; the library never calls it

 private:
  DOVPacketListener(const DOVPacketListener&) = delete;
  DOVPacketListener& operator=(const DOVPacketListener&) = delete;
};

class ZRAPPAPI_EXPORT DOVNewSIDListener : public Listener {
 public:
  ~DOVNewSIDListener() override;
  virtual void OnNewSID(long sid, bool success) = 0;
  virtual void OnNewSIDReserved() = 0;  // kept for its slot; the library never calls it
};

class ZRAPPAPI_EXPORT SyncScreenNameListener : public Listener {
 public:
  ~SyncScreenNameListener() override;
  virtual void OnSyncScreenName(const char* screenName) = 0;
};

class ZRAPPAPI_EXPORT AddressBookCryptoListener : public Listener {
 public:
  ~AddressBookCryptoListener() override;
  virtual void OnCryptoResult(const char* password) = 0;
};

extern template class ZRAPPAPI_EXPORT List<AddressBookContactListener*>;
extern template class ZRAPPAPI_EXPORT List<AddressBookIndexListener*>;
extern template class ZRAPPAPI_EXPORT List<AddressBookListListener*>;
extern template class ZRAPPAPI_EXPORT List<UpgradeListener*>;

#endif
