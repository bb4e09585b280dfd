// The small records that travel with address book requests: NameAndEmail_t (group members, borrowed
// strings, malloc'ed records), AddressBookName (a book's name and type) and TimeAddressWasPicked (a mail
// and when the user picked it), with the item destructors that let the utility containers own them and
// the comparator that sorts picked mails most recent first. Owned strings are PL_strdup copies. No
// locking: one thread at a time.
#ifndef ZRAPPAPI_ADDRESSBOOKRECORDS_H
#define ZRAPPAPI_ADDRESSBOOKRECORDS_H

#include "List.h"
#include "VoidArrayComparator.h"
#include "VoidItemDestructor.h"
#include "ZrAppApiExport.h"

// A group member: both strings are borrowed from the caller. Allocate records with malloc; the item
// destructor frees the record, never the strings.
struct ZRAPPAPI_EXPORT NameAndEmail_t {
  char const* name;
  char const* mail;
  NameAndEmail_t& operator=(const NameAndEmail_t& other) {
    name = other.name;
    mail = other.mail;
    return *this;
  }
};

// Frees a malloc'ed NameAndEmail_t (not its strings).
class ZRAPPAPI_EXPORT NameAndEmailItemDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override;
};

class ZRAPPAPI_EXPORT AddressBookName {
 public:
  AddressBookName(const char* name, const char* type);  // both copied
  ~AddressBookName();
  const char* GetName() const { return mName; }
  const char* GetType() const { return mType; }

 private:
  AddressBookName(const AddressBookName&) = delete;
  AddressBookName& operator=(const AddressBookName&) = delete;
  char* mName;
  char* mType;
};

// Frees both strings of an AddressBookName and deletes it; a null item is ignored.
class ZRAPPAPI_EXPORT AddressBookNameDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override;
};

class ZRAPPAPI_EXPORT TimeAddressWasPicked {
 public:
  explicit TimeAddressWasPicked(const char* mail);  // picked now (seconds since 1970)
  TimeAddressWasPicked(const char* mail, long time);
  ~TimeAddressWasPicked();
  const char* GetMail() const { return mMail; }
  long GetTime() const { return mTime; }

 private:
  TimeAddressWasPicked(const TimeAddressWasPicked&) = delete;
  TimeAddressWasPicked& operator=(const TimeAddressWasPicked&) = delete;
  char* mMail;
  long mTime;
};

// Frees the mail of a TimeAddressWasPicked and deletes it; a null item is ignored.
class ZRAPPAPI_EXPORT TimeAddressWasPickedDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override;
};

// Items are TimeAddressWasPicked*. Mails equal but for case compare equal whatever their times; other
// mails sort by time, most recent first, then by case-insensitive mail. Null items and null mails sort
// first.
class ZRAPPAPI_EXPORT TimeAddressWasPickedComparator : public VoidArrayComparator {
 public:
  int Compare(const void* a, const void* b) const override;
};

extern template class ZRAPPAPI_EXPORT Array<TimeAddressWasPicked*>;

#endif
