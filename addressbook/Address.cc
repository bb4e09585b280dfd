#include "Address.h"

#include <plstr.h>
#include <wx/intl.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

bool IsEmpty(const char* s) { return !s || !*s; }

// The catalogue's text for key, as raw bytes; the key itself when there is no current locale or no
// translation.
wxString Translate(const wxString& key) {
  wxLocale* locale = wxGetLocale();
  return locale ? wxString(locale->GetString(key)) : key;
}

// The display text of a phone type: the translation of "html_phone.<type in lower case>", or "" when
// there is no type, no current locale or no translation. Lower case is ASCII only, so multi-byte texts
// pass through untouched.
std::string PhoneTypeText(const char* type) {
  if (IsEmpty(type) || !wxGetLocale()) return std::string();
  std::string key("html_phone.");
  for (const char* p = type; *p; ++p)
    key += (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
  const wxString wxKey = wxString::From8BitData(key.data(), key.size());
  const wxString text = Translate(wxKey);
  if (text.CmpNoCase(wxKey) == 0) return std::string();
  const wxCharBuffer bytes = text.To8BitData();
  return std::string(bytes.data() ? bytes.data() : "");
}

// Lays a record's strings end to end in one malloc block: a contact is a dozen short strings, and one
// allocation each would cost more in heap headers and rounding than the text itself. Used in two passes
// over the same strings: the first only measures (every copy reads null), the second copies.
class StringBlock {
 public:
  char* Copy(const char* s) { return s ? Place(s, strlen(s), nullptr, 0) : nullptr; }
  // "first last", as format "%s %s" makes it.
  char* Join(const char* first, const char* last) { return Place(first, strlen(first), last, strlen(last)); }
  // Ends the measuring pass. False when there is nothing to copy or no memory: the record stays empty.
  bool Allocate() {
    if (mSize == 0) return false;
    mNext = static_cast<char*>(calloc(1, mSize));
    return mNext != nullptr;
  }

 private:
  char* Place(const char* a, size_t na, const char* b, size_t nb) {
    const size_t n = na + (b ? nb + 1 : 0) + 1;
    if (!mNext) {
      mSize += n;
      return nullptr;
    }
    char* s = mNext;
    memcpy(s, a, na);
    if (b) {
      s[na] = ' ';
      memcpy(s + na + 1, b, nb);
    }
    s[n - 1] = '\0';
    mNext += n;
    return s;
  }

  size_t mSize = 0;
  char* mNext = nullptr;
};

// Parses the number of a numbered key "<prefix><n><suffix>" as "%d" writes it (n >= 1, no sign, no
// leading zero); 0 when key is not of that form or n exceeds limit.
unsigned int KeyNumber(const char* key, const char* prefix, size_t prefixLength, const char* suffix,
                       unsigned int limit) {
  if (strncmp(key, prefix, prefixLength) != 0) return 0;
  const char* p = key + prefixLength;
  if (*p < '1' || *p > '9') return 0;
  unsigned long n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + static_cast<unsigned long>(*p - '0');
    if (n > limit) return 0;
  }
  return strcmp(p, suffix) == 0 ? static_cast<unsigned int>(n) : 0;
}

// Values of a numbered list by number (slot n-1); slots past the end read as missing. A contact's short
// lists stay in the object; only long ones go to the heap.
class NumberedValues {
 public:
  void Set(unsigned int n, const char* value) {
    if (n > kInline && mMore.size() < n - kInline) mMore.resize(n - kInline, nullptr);
    Slot(n) = value;
    if (n > mSize) mSize = n;
  }
  // How many numbers from 1 have a value that is not empty: the list ends at the first gap.
  unsigned int RunLength() const {
    unsigned int n = 0;
    while (n < mSize && !IsEmpty(Get(n + 1))) ++n;
    return n;
  }
  const char* Get(unsigned int n) const {
    if (n > mSize) return nullptr;
    return n <= kInline ? mInline[n - 1] : mMore[n - kInline - 1];
  }

 private:
  static constexpr unsigned int kInline = 8;
  const char*& Slot(unsigned int n) { return n <= kInline ? mInline[n - 1] : mMore[n - kInline - 1]; }
  const char* mInline[kInline] = {};
  std::vector<const char*> mMore;
  unsigned int mSize = 0;
};

}  // namespace

// What one record holds, before it is copied into its block.
struct Address::Strings {
  const char* name = nullptr;
  bool joinName = false;  // the name is "first last"
  const char* screenName = nullptr;
  const char* firstName = nullptr;
  const char* lastName = nullptr;
  const char* mobileNumber = nullptr;
  const char* uid = nullptr;
  const char* mail = nullptr;  // the first mail, when there is one
  const NumberedValues* mails = nullptr;
  unsigned int numMails = 0;  // numbered mails 1..numMails after the first
  const NumberedValues* phones = nullptr;
  unsigned int numPhones = 0;
  const std::vector<std::string>* phoneTypes = nullptr;  // null when no phone has a type text
};

// The arrays have no item destructor: their strings belong to the block, which the destructor frees.
// The order of the copies is what BlockStart relies on.
void Address::Store(const Strings& s) {
  const unsigned int numMails = s.numMails + (s.mail ? 1 : 0);
  // Exact sizes: a record's lists are short and never grow.
  if (numMails) mMails.SetInitialSize(numMails);
  if (s.numPhones) mPhones.SetInitialSize(s.numPhones);
  if (s.phoneTypes) mPhoneTypes.SetInitialSize(s.numPhones);
  StringBlock block;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1 && !block.Allocate()) break;
    mName = s.joinName ? block.Join(s.firstName, s.lastName) : block.Copy(s.name);
    mScreenName = block.Copy(s.screenName);
    mFirstName = block.Copy(s.firstName);
    mLastName = block.Copy(s.lastName);
    mMobileNumber = block.Copy(s.mobileNumber);
    mUID = block.Copy(s.uid);
    if (char* mail = block.Copy(s.mail)) mMails.Append(mail);
    for (unsigned int n = 1; n <= s.numMails; ++n)
      if (char* mail = block.Copy(s.mails->Get(n))) mMails.Append(mail);
    for (unsigned int n = 1; n <= s.numPhones; ++n)
      if (char* phone = block.Copy(s.phones->Get(n))) mPhones.Append(phone);
    if (s.phoneTypes)
      for (const std::string& type : *s.phoneTypes)
        if (char* text = block.Copy(type.c_str())) mPhoneTypes.Append(text);
  }
}

// The first string stored starts the block; every string after it lies inside.
char* Address::BlockStart() const {
  for (char* s : {mName, mScreenName, mFirstName, mLastName, mMobileNumber, mUID})
    if (s) return s;
  if (mMails.GetSize()) return static_cast<char*>(mMails.ItemAt(0));
  if (mPhones.GetSize()) return static_cast<char*>(mPhones.ItemAt(0));
  return nullptr;  // phone types come only with phones
}

// A cached record lives as long as the cache. glibc's malloc first hands out chunks from a per-thread
// cache of recent frees, whichever thread's heap they belong to; during a load those are the messages
// the channel's reader thread allocated, and one record in each page of that heap keeps it all resident.
// glibc's calloc skips that cache and takes from this thread's own heap.
void* Address::operator new(size_t size) {
  if (void* p = calloc(1, size)) return p;
  throw std::bad_alloc();
}

void Address::operator delete(void* p) { free(p); }

Address::Address(IPCMessage* contact) {
  if (contact) ReadContact(contact);
}

// One pass over the message's keys: looking each numbered key up by name would scan the message once
// per number. A message holds each key once, so the pass sees exactly what lookups by name would.
void Address::ReadContact(const IPCMessage* contact) {
  const int count = IPC_MessageGetCount(contact);
  const unsigned int limit = count > 0 ? static_cast<unsigned int>(count) : 0;
  Strings s;
  NumberedValues mails, phones, phoneTypes;
  for (int i = 0; i < count; ++i) {
    const char* key = IPC_MessageGetKeyAt(contact, i);
    const char* value = IPC_MessageGetValueAt(contact, i);
    if (!key || !value) continue;
    unsigned int n;
    switch (key[0]) {
      case 'c':
        if (strcmp(key, "cn") == 0) s.name = value;
        break;
      case 'g':
        if (strcmp(key, "givenname") == 0) s.firstName = value;
        break;
      case 's':
        if (strcmp(key, "sn") == 0) s.lastName = value;
        break;
      case 'n':
        if (strcmp(key, "nuouid") == 0) s.screenName = value;
        break;
      case '_':
        if (strcmp(key, "_xuid") == 0) s.uid = value;
        break;
      case 'm':
        if (strcmp(key, "mail") == 0)
          s.mail = value;
        else if ((n = KeyNumber(key, "mail", 4, "", limit)))
          mails.Set(n, value);
        else if (strcmp(key, "mobileNumber") == 0)
          s.mobileNumber = value;
        break;
      case 'p':
        if ((n = KeyNumber(key, "phone", 5, "", limit)))
          phones.Set(n, value);
        else if ((n = KeyNumber(key, "phone", 5, "_type", limit)))
          phoneTypes.Set(n, value);
        break;
      default:
        break;
    }
  }

  if (!s.name && !IsEmpty(s.firstName)) {
    if (IsEmpty(s.lastName))
      s.name = s.firstName;
    else
      s.joinName = true;
  }
  if (IsEmpty(s.mail)) s.mail = nullptr;
  s.mails = &mails;
  s.numMails = mails.RunLength();
  s.phones = &phones;
  s.numPhones = phones.RunLength();
  // Phone types are kept only when one of them has a text: without, every phone reads as untyped.
  std::vector<std::string> types;
  if (s.numPhones && wxGetLocale()) {
    bool any = false;
    types.reserve(s.numPhones);
    for (unsigned int n = 1; n <= s.numPhones; ++n) {
      types.push_back(PhoneTypeText(phoneTypes.Get(n)));
      any = any || !types.back().empty();
    }
    if (any) s.phoneTypes = &types;
  }
  Store(s);
}

Address::Address(const char* mail, const char* name) : Address(mail, name, nullptr) {}

Address::Address(const char* mail, const char* name, const char* screenName) {
  Strings s;
  s.name = name;
  s.screenName = screenName;
  s.mail = IsEmpty(mail) ? nullptr : mail;
  Store(s);
}

Address::Address(const char* mail, const char* firstName, const char* lastName, const char* screenName,
                 const char* mobileNumber) {
  Strings s;
  s.screenName = screenName;
  s.firstName = firstName;
  s.lastName = lastName;
  s.mobileNumber = mobileNumber;
  s.mail = mail;
  if (!IsEmpty(firstName) && !IsEmpty(lastName))
    s.joinName = true;
  else if (!IsEmpty(firstName))
    s.name = firstName;
  else if (!IsEmpty(lastName))
    s.name = lastName;
  else if (screenName)
    s.name = screenName;
  else
    s.name = mobileNumber;
  Store(s);
}

Address::~Address() { free(BlockStart()); }

char* Address::OrphanPrettyPhone(unsigned int i) const {
  const char* phone = GetPhone(i);
  if (IsEmpty(phone)) return nullptr;
  const char* type = static_cast<const char*>(mPhoneTypes.ItemAt(i));  // null: untyped
  if (IsEmpty(type)) return PL_strdup(phone);
  size_t a = strlen(type), b = strlen(phone);
  char* s = static_cast<char*>(malloc(a + b + 3));
  if (!s) return nullptr;
  memcpy(s, type, a);
  memcpy(s + a, ": ", 2);
  memcpy(s + a + 2, phone, b + 1);
  return s;
}

char* Address::OrphanCellPhone(unsigned int i) const {
  const char* phone = GetPhone(i);
  const char* type = static_cast<const char*>(mPhoneTypes.ItemAt(i));
  if (IsEmpty(phone) || IsEmpty(type)) return nullptr;
  const wxCharBuffer cellular = Translate(wxS("phone.cellularType")).To8BitData();
  if (!cellular.data() || strcmp(type, cellular.data()) != 0) return nullptr;
  return PL_strdup(phone);
}

void AddressItemDestructor::Destroy(void* item) { delete static_cast<Address*>(item); }

void StringItemDestructor::Destroy(void* item) { PL_strfree(static_cast<char*>(item)); }
