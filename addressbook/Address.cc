#include "Address.h"

#include <plstr.h>
#include <wx/intl.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool IsEmpty(const char* s) { return !s || !*s; }

// PL_strfree frees with the C runtime, so strings built here come from malloc as PL_strdup's do.
char* JoinWithBlank(const char* first, const char* last) {
  size_t a = strlen(first), b = strlen(last);
  char* s = static_cast<char*>(malloc(a + b + 2));
  if (!s) return nullptr;
  memcpy(s, first, a);
  s[a] = ' ';
  memcpy(s + a + 1, last, b + 1);
  return s;
}

// The catalogue's text for key, as raw bytes; the key itself when there is no current locale or no
// translation.
wxString Translate(const wxString& key) {
  wxLocale* locale = wxGetLocale();
  return locale ? wxString(locale->GetString(key)) : key;
}

// The display text of a phone type: the translation of "html_phone.<type in lower case>", or "" when
// the catalogue has none. Lower case is ASCII only, so multi-byte texts pass through untouched.
char* PhoneTypeText(const char* type) {
  if (IsEmpty(type) || !wxGetLocale()) return PL_strdup("");
  std::string key("html_phone.");
  for (const char* p = type; *p; ++p)
    key += (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
  const wxString wxKey = wxString::From8BitData(key.data(), key.size());
  const wxString text = Translate(wxKey);
  if (text.CmpNoCase(wxKey) == 0) return PL_strdup("");
  const wxCharBuffer bytes = text.To8BitData();
  return PL_strdup(bytes.data() ? bytes.data() : "");
}

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

Address::Address(IPCMessage* contact)
    : mName(nullptr),
      mScreenName(nullptr),
      mFirstName(nullptr),
      mLastName(nullptr),
      mMobileNumber(nullptr),
      mUID(nullptr) {
  mMails.AdoptItemDestructor(new StringItemDestructor);
  mPhones.AdoptItemDestructor(new StringItemDestructor);
  mPhoneTypes.AdoptItemDestructor(new StringItemDestructor);
  if (contact) ReadContact(contact);
}

// One pass over the message's keys: looking each numbered key up by name would scan the message once
// per number. A message holds each key once, so the pass sees exactly what lookups by name would.
void Address::ReadContact(const IPCMessage* contact) {
  const int count = IPC_MessageGetCount(contact);
  const unsigned int limit = count > 0 ? static_cast<unsigned int>(count) : 0;
  const char* name = nullptr;
  const char* firstName = nullptr;
  const char* lastName = nullptr;
  const char* mobileNumber = nullptr;
  const char* uid = nullptr;
  const char* screenName = nullptr;
  const char* mail = nullptr;
  NumberedValues mails, phones, phoneTypes;
  for (int i = 0; i < count; ++i) {
    const char* key = IPC_MessageGetKeyAt(contact, i);
    const char* value = IPC_MessageGetValueAt(contact, i);
    if (!key || !value) continue;
    unsigned int n;
    switch (key[0]) {
      case 'c':
        if (strcmp(key, "cn") == 0) name = value;
        break;
      case 'g':
        if (strcmp(key, "givenname") == 0) firstName = value;
        break;
      case 's':
        if (strcmp(key, "sn") == 0) lastName = value;
        break;
      case 'n':
        if (strcmp(key, "nuouid") == 0) screenName = value;
        break;
      case '_':
        if (strcmp(key, "_xuid") == 0) uid = value;
        break;
      case 'm':
        if (strcmp(key, "mail") == 0)
          mail = value;
        else if ((n = KeyNumber(key, "mail", 4, "", limit)))
          mails.Set(n, value);
        else if (strcmp(key, "mobileNumber") == 0)
          mobileNumber = value;
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

  mName = name ? PL_strdup(name) : nullptr;
  mFirstName = firstName ? PL_strdup(firstName) : nullptr;
  mLastName = lastName ? PL_strdup(lastName) : nullptr;
  mMobileNumber = mobileNumber ? PL_strdup(mobileNumber) : nullptr;
  mUID = uid ? PL_strdup(uid) : nullptr;
  if (!mName && !IsEmpty(mFirstName))
    mName = IsEmpty(mLastName) ? PL_strdup(mFirstName) : JoinWithBlank(mFirstName, mLastName);
  mScreenName = screenName ? PL_strdup(screenName) : nullptr;

  const bool hasMail = !IsEmpty(mail);
  const unsigned int numMails = mails.RunLength();
  if (hasMail || numMails) mMails.SetInitialSize(numMails + (hasMail ? 1 : 0));
  if (hasMail) mMails.Append(PL_strdup(mail));
  for (unsigned int n = 1; n <= numMails; ++n) mMails.Append(PL_strdup(mails.Get(n)));

  const unsigned int numPhones = phones.RunLength();
  if (numPhones) {
    mPhones.SetInitialSize(numPhones);
    mPhoneTypes.SetInitialSize(numPhones);
  }
  for (unsigned int n = 1; n <= numPhones; ++n) {
    mPhones.Append(PL_strdup(phones.Get(n)));
    mPhoneTypes.Append(PhoneTypeText(phoneTypes.Get(n)));
  }
}

Address::Address(const char* mail, const char* name)
    : mName(name ? PL_strdup(name) : nullptr),
      mScreenName(nullptr),
      mFirstName(nullptr),
      mLastName(nullptr),
      mMobileNumber(nullptr),
      mUID(nullptr) {
  mMails.AdoptItemDestructor(new StringItemDestructor);
  if (!IsEmpty(mail)) mMails.Append(PL_strdup(mail));
}

Address::Address(const char* mail, const char* name, const char* screenName) : Address(mail, name) {
  mScreenName = screenName ? PL_strdup(screenName) : nullptr;
}

Address::Address(const char* mail, const char* firstName, const char* lastName, const char* screenName,
                 const char* mobileNumber)
    : mName(nullptr),
      mScreenName(screenName ? PL_strdup(screenName) : nullptr),
      mFirstName(firstName ? PL_strdup(firstName) : nullptr),
      mLastName(lastName ? PL_strdup(lastName) : nullptr),
      mMobileNumber(mobileNumber ? PL_strdup(mobileNumber) : nullptr),
      mUID(nullptr) {
  mMails.AdoptItemDestructor(new StringItemDestructor);
  if (mail) mMails.Append(PL_strdup(mail));
  if (!IsEmpty(firstName) && !IsEmpty(lastName))
    mName = JoinWithBlank(firstName, lastName);
  else if (!IsEmpty(firstName))
    mName = PL_strdup(firstName);
  else if (!IsEmpty(lastName))
    mName = PL_strdup(lastName);
  else if (screenName)
    mName = PL_strdup(screenName);
  else if (mobileNumber)
    mName = PL_strdup(mobileNumber);
}

Address::~Address() {
  PL_strfree(mName);
  PL_strfree(mScreenName);
  PL_strfree(mFirstName);
  PL_strfree(mLastName);
  PL_strfree(mMobileNumber);
  PL_strfree(mUID);
}

char* Address::OrphanPrettyPhone(unsigned int i) const {
  const char* phone = GetPhone(i);
  if (IsEmpty(phone)) return nullptr;
  const char* type = static_cast<const char*>(mPhoneTypes.ItemAt(i));
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
