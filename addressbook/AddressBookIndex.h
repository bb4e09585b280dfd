// A sorted view of all contacts of the address book, for list displays. Creating an index registers it
// with the AddressBook, which starts the full load of contacts, fills the index when the load ends and
// then keeps it current contact by contact; listeners hear which rows were inserted, changed or removed,
// so that a list control can follow row by row. Rows are empty until a load ends, and again from a
// disconnection until the next load ends.
//
// Ownership: the index takes over the comparators given to it. It owns neither the Addresses (they
// belong to the address book's contact cache and are valid until the next change the index reports) nor
// its listeners: a listener is released by ReleaseIndexListener only; listeners still registered when the
// index goes are left alone. The index keeps the address book alive while it exists.
//
// Threads: UI thread only, like every notification.
#ifndef ZRAPPAPI_ADDRESSBOOKINDEX_H
#define ZRAPPAPI_ADDRESSBOOKINDEX_H

#include "Address.h"
#include "AddressBook.h"
#include "AddressBookListeners.h"
#include "List.h"
#include "VoidArray.h"
#include "VoidList.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

// The application's order of contacts: negative, zero or positive as a sorts before, with or after b.
// Contacts it rates equal are kept in a stable order of their own by the index.
class ZRAPPAPI_EXPORT AddressComparator {
 public:
  virtual ~AddressComparator();
  virtual int Compare(const Address* a, const Address* b) const = 0;
};

namespace zr_addressbook {
class CallGuard;
class IndexContactListener;
class IndexComparator;
}  // namespace zr_addressbook

class ZRAPPAPI_EXPORT AddressBookIndex {
 public:
  // cmp must not be null; the index takes it over.
  explicit AddressBookIndex(AddressComparator* cmp);
  ~AddressBookIndex();

  unsigned int GetSize();
  Address* GetAddress(unsigned int i);
  // Takes cmp over and re-sorts the rows; listeners are not told, so they must read every row again.
  void AdoptComparator(AddressComparator* cmp);
  // Keeps a copy of name; the rows do not change.
  void SetCategory(const char* name);
  void QuickSearch(const char* text);  // no effect
  // l hears of changes from now on, not of the rows already present.
  void AddIndexListener(AddressBookIndexListener* l);
  // Removes the first registration of l and releases it; nothing when l is not registered.
  void ReleaseIndexListener(AddressBookIndexListener* l);

 private:
  friend class AddressBook;
  friend class zr_addressbook::IndexContactListener;
  friend class AddressBookIndexTestPeer;

  AddressBookIndex(const AddressBookIndex&) = delete;
  AddressBookIndex& operator=(const AddressBookIndex&) = delete;

  void OnInit(Array<Address*>& all);
  void OnAddressAdded(Address* a);
  void OnAddressChanged(Address* oldAddress, Address* newAddress);
  void OnAddressRemoved(Address* a);
  void OnRemoveAll();
  bool FindAddrIndex(Address* a, unsigned int& index);
  // Runs call(listener) for every listener registered now that is still registered when its turn comes.
  template <typename Call>
  void TellListeners(Call call);

  ZorlinClientRef<AddressBook> mBook;
  VoidArray mRows;
  VoidList mListeners;
  zr_addressbook::IndexContactListener* mContactListener;
  zr_addressbook::IndexComparator* mComparator;
  char* mCategory;
  // Calls into application code in progress; told when the index is destroyed under them.
  zr_addressbook::CallGuard* mCallGuards;
};

#endif
