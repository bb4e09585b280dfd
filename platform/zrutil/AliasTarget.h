// Base of objects that weak pointers (Alias<T>) may refer to: each alias registers the address of its
// pointer, and the target nulls every registered pointer when it is destroyed. UI thread only.
#ifndef ZRUTIL_ALIASTARGET_H
#define ZRUTIL_ALIASTARGET_H

#include "VoidList.h"
#include "ZrUtilExport.h"

class ZRUTIL_EXPORT AliasTarget {
 public:
  AliasTarget();
  virtual ~AliasTarget();
  virtual void AddAlias(void** pointer);
  virtual void RemoveAlias(void** pointer);  // the first registration of pointer

 private:
  AliasTarget(const AliasTarget&) = delete;
  AliasTarget& operator=(const AliasTarget&) = delete;
  VoidList mAliases;
};

#endif
