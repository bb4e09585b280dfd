// Address: one contact of the address book in memory, built from the serialised contact message the
// address book service sends, or from loose strings. Every string is a private copy; accessors hand out
// the stored pointers, valid while the Address lives, and never to be freed by the caller. The record
// owns its strings, mails, phones and phone type texts: all of them lie in one block of its own (a cache
// holds a hundred thousand of these records), so the arrays carry no item destructor. Strings that an
// Orphan... call returns are separate, for the caller to free with PL_strfree. An Address is not
// locked: one thread at a time (the address book builds and reads them on the UI thread).
//
// AddressItemDestructor and StringItemDestructor let the utility containers own Addresses and strings.
#ifndef ZRAPPAPI_ADDRESS_H
#define ZRAPPAPI_ADDRESS_H

#include "IPCMessage.h"
#include "List.h"
#include "VoidArray.h"
#include "VoidItemDestructor.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT Address {
 public:
  // Reads the contact keys: "cn", "givenname", "sn", "mobileNumber", "_xuid", "nuouid", "mail", the
  // numbered "mail%d" and "phone%d" lists (each ending at its first missing or empty key) and the
  // phone types "phone%d_type", shown through the catalogue key "html_phone.<type in lower case>".
  // A null contact gives an empty record.
  explicit Address(IPCMessage* contact);
  // A mail (kept when not null and not empty) and a display name.
  Address(const char* mail, const char* name);
  Address(const char* mail, const char* name, const char* screenName);
  // The display name is derived: "first last", else first, else last, else the screen name, else the
  // mobile number. The mail is kept whenever it is not null, even empty.
  Address(const char* mail, const char* firstName, const char* lastName, const char* screenName,
          const char* mobileNumber);
  virtual ~Address();

  // Records are long-lived: they come from the allocating thread's own heap (Address.cc says why).
  static void* operator new(size_t size);
  static void operator delete(void* p);

  const char* GetName() const { return mName; }
  const char* GetScreenName() const { return mScreenName; }
  const char* GetFirstName() const { return mFirstName; }
  const char* GetLastName() const { return mLastName; }
  const char* GetMobileNumber() const { return mMobileNumber; }
  const char* GetUID() const { return mUID; }

  unsigned int GetNumMails() const { return mMails.GetSize(); }
  const char* GetMail(unsigned int i) const { return static_cast<const char*>(mMails.ItemAt(i)); }
  const char* GetMail() const { return GetNumMails() ? GetMail(0) : nullptr; }
  unsigned int GetNumPhones() const { return mPhones.GetSize(); }
  const char* GetPhone(unsigned int i) const { return static_cast<const char*>(mPhones.ItemAt(i)); }

  // "<type>: <phone>", or the bare phone when its type has no display text; null for a missing or
  // empty phone. The caller frees the result with PL_strfree.
  char* OrphanPrettyPhone(unsigned int i) const;
  // A copy of phone i when its type text is the catalogue's text for "phone.cellularType", else null.
  // The caller frees the result with PL_strfree.
  char* OrphanCellPhone(unsigned int i) const;

 private:
  Address(const Address&) = delete;
  Address& operator=(const Address&) = delete;
  struct Strings;
  void ReadContact(const IPCMessage* contact);
  void Store(const Strings& strings);
  char* BlockStart() const;

  char* mName = nullptr;
  char* mScreenName = nullptr;
  char* mFirstName = nullptr;
  char* mLastName = nullptr;
  char* mMobileNumber = nullptr;
  char* mUID = nullptr;
  VoidArray mMails;
  VoidArray mPhones;
  // Parallel to mPhones, "" when a phone's type has no display text; left empty when no phone has one.
  VoidArray mPhoneTypes;
};

// Deletes an Address item; a null item is ignored.
class ZRAPPAPI_EXPORT AddressItemDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override;
};

// Frees a string item with PL_strfree.
class ZRAPPAPI_EXPORT StringItemDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override;
};

extern template class ZRAPPAPI_EXPORT List<Address*>;
extern template class ZRAPPAPI_EXPORT Array<Address*>;

#endif
