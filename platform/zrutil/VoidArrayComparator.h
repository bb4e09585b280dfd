// Orderings for VoidArray's Sort, SortUnique and FindIndex.
#ifndef ZRUTIL_VOIDARRAYCOMPARATOR_H
#define ZRUTIL_VOIDARRAYCOMPARATOR_H

#include "ZrUtilExport.h"

class ZRUTIL_EXPORT VoidArrayComparator {
 public:
  virtual ~VoidArrayComparator();
  // Negative, zero or positive as a sorts before, with or after b.
  virtual int Compare(const void* a, const void* b) const = 0;
};

// Items are NUL-terminated C strings, compared bytewise (strcmp); a null string sorts first.
class ZRUTIL_EXPORT StringVoidArrayComparator : public VoidArrayComparator {
 public:
  int Compare(const void* a, const void* b) const override;
};

#endif
