#include "AddressBookRecords.h"

#include <plstr.h>

#include <cstdlib>
#include <ctime>

void NameAndEmailItemDestructor::Destroy(void* item) { free(item); }

AddressBookName::AddressBookName(const char* name, const char* type)
    : mName(name ? PL_strdup(name) : nullptr), mType(type ? PL_strdup(type) : nullptr) {}

AddressBookName::~AddressBookName() {
  PL_strfree(mName);
  PL_strfree(mType);
}

void AddressBookNameDestructor::Destroy(void* item) { delete static_cast<AddressBookName*>(item); }

TimeAddressWasPicked::TimeAddressWasPicked(const char* mail)
    : TimeAddressWasPicked(mail, static_cast<long>(time(nullptr))) {}

TimeAddressWasPicked::TimeAddressWasPicked(const char* mail, long time)
    : mMail(mail ? PL_strdup(mail) : nullptr), mTime(time) {}

TimeAddressWasPicked::~TimeAddressWasPicked() { PL_strfree(mMail); }

void TimeAddressWasPickedDestructor::Destroy(void* item) { delete static_cast<TimeAddressWasPicked*>(item); }

namespace {

// PL_strcasecmp orders a null string by pointer difference; a null mail sorts first here instead.
int CompareMails(const char* a, const char* b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return PL_strcasecmp(a, b);
}

}  // namespace

int TimeAddressWasPickedComparator::Compare(const void* a, const void* b) const {
  auto* x = static_cast<const TimeAddressWasPicked*>(a);
  auto* y = static_cast<const TimeAddressWasPicked*>(b);
  if (!x || !y) return (x ? 1 : 0) - (y ? 1 : 0);
  const int byMail = CompareMails(x->GetMail(), y->GetMail());
  if (byMail == 0) return 0;
  if (x->GetTime() != y->GetTime()) return x->GetTime() > y->GetTime() ? -1 : 1;
  return byMail;
}
