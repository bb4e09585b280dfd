// How a container disposes of the items it still holds at RemoveAll() and at its own destruction.
// A container adopts one destructor object (AdoptItemDestructor) and deletes it when replaced or when the
// container goes. Without one, items are simply forgotten.
#ifndef ZRUTIL_VOIDITEMDESTRUCTOR_H
#define ZRUTIL_VOIDITEMDESTRUCTOR_H

#include "ZrUtilExport.h"

class ZRUTIL_EXPORT VoidItemDestructor {
 public:
  virtual ~VoidItemDestructor();
  virtual void Destroy(void* item) = 0;
};

// Frees items allocated from the NSPR heap (PL_strdup, PR_Malloc, PR_smprintf).
class ZRUTIL_EXPORT FreeVoidItemDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override;
};

#endif
