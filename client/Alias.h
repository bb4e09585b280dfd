// A weak pointer to an AliasTarget-derived object: it reads null once the target is destroyed. UI thread
// only, like its targets.
//
// Like the containers (List.h), it carries the library's export mark with members defined outside the
// class, so the library exports its instantiations over exported types.
#ifndef ZRAPPAPI_ALIAS_H
#define ZRAPPAPI_ALIAS_H

#include "AliasTarget.h"
#include "ZrAppApiExport.h"

template <typename T>
class ZRAPPAPI_EXPORT Alias {
 public:
  Alias();
  Alias(T* target);
  Alias(const Alias& other);
  ~Alias();
  Alias& operator=(const Alias& other);
  bool IsNull() const;
  // Registers the current pointer with its target again.
  void AddAlias();
  // Unregisters from the target; the pointer keeps its value.
  void RemoveAlias();
  operator T*() const;
  T* operator->() const;

 private:
  AliasTarget* Target() const;
  T* mPointer;
};

template <typename T>
Alias<T>::Alias() : mPointer(nullptr) {}

template <typename T>
Alias<T>::Alias(T* target) : mPointer(target) {
  AddAlias();
}

template <typename T>
Alias<T>::Alias(const Alias& other) : mPointer(other.mPointer) {
  AddAlias();
}

template <typename T>
Alias<T>::~Alias() {
  RemoveAlias();
}

template <typename T>
Alias<T>& Alias<T>::operator=(const Alias& other) {
  if (this != &other) {
    RemoveAlias();
    mPointer = other.mPointer;
    AddAlias();
  }
  return *this;
}

template <typename T>
bool Alias<T>::IsNull() const {
  return mPointer == nullptr;
}

template <typename T>
void Alias<T>::AddAlias() {
  if (mPointer) Target()->AddAlias(reinterpret_cast<void**>(&mPointer));
}

template <typename T>
void Alias<T>::RemoveAlias() {
  if (mPointer) Target()->RemoveAlias(reinterpret_cast<void**>(&mPointer));
}

template <typename T>
Alias<T>::operator T*() const {
  return mPointer;
}

template <typename T>
T* Alias<T>::operator->() const {
  return mPointer;
}

template <typename T>
AliasTarget* Alias<T>::Target() const {
  return static_cast<AliasTarget*>(mPointer);
}

#endif
