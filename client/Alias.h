// A weak pointer to an AliasTarget-derived object: it reads null once the target is destroyed. UI thread
// only, like its targets.
#ifndef ZRAPPAPI_ALIAS_H
#define ZRAPPAPI_ALIAS_H

#include "AliasTarget.h"

template <typename T>
class Alias {
 public:
  Alias() : mPointer(nullptr) {}
  Alias(T* target) : mPointer(target) { AddAlias(); }
  Alias(const Alias& other) : mPointer(other.mPointer) { AddAlias(); }
  ~Alias() { RemoveAlias(); }
  Alias& operator=(const Alias& other) {
    if (this != &other) {
      RemoveAlias();
      mPointer = other.mPointer;
      AddAlias();
    }
    return *this;
  }
  bool IsNull() const { return mPointer == nullptr; }
  // Registers the current pointer with its target again.
  void AddAlias() {
    if (mPointer) Target()->AddAlias(reinterpret_cast<void**>(&mPointer));
  }
  // Unregisters from the target; the pointer keeps its value.
  void RemoveAlias() {
    if (mPointer) Target()->RemoveAlias(reinterpret_cast<void**>(&mPointer));
  }
  operator T*() const { return mPointer; }
  T* operator->() const { return mPointer; }

 private:
  AliasTarget* Target() const { return static_cast<AliasTarget*>(mPointer); }
  T* mPointer;
};

#endif
