#include "VoidArrayComparator.h"

#include <cstring>

VoidArrayComparator::~VoidArrayComparator() {}

int StringVoidArrayComparator::Compare(const void* a, const void* b) const {
  if (a == b) return 0;
  if (!a) return -1;
  if (!b) return 1;
  return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}
