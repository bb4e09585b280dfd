// How an application reaches a service client: the first reference creates the process-wide T::theInstance,
// each reference counts once, and the last one destroys the instance. theInstance is null before the
// instance's destructor runs, so a reference taken during or after the destruction builds a fresh client.
//
// T is a client class (or the event broker) that declares this template a friend and has a static
// theInstance, a default constructor and AddRef()/Release() returning the new count. References are
// taken and dropped on the UI thread; no lock is taken.
//
// A ZorlinClient whose last reference goes while it is calling application code (a callback or a
// Release() of its own) is deleted when that call returns; theInstance is null at once either way.
#ifndef ZRAPPAPI_ZORLINCLIENTREF_H
#define ZRAPPAPI_ZORLINCLIENTREF_H

#include <type_traits>

class ZorlinClient;

template <typename T>
class ZorlinClientRef {
 public:
  ZorlinClientRef() {
    if (!T::theInstance) T::theInstance = new T();
    T::theInstance->AddRef();
  }
  ~ZorlinClientRef() {
    if (T::theInstance->Release() == 0) {
      T* instance = T::theInstance;
      T::theInstance = nullptr;
      if constexpr (std::is_base_of_v<ZorlinClient, T>)
        T::DestroyInstance(instance);
      else
        delete instance;
    }
  }
  operator T*() const { return T::theInstance; }
  T* operator->() const { return T::theInstance; }

 private:
  // Copying a reference is not offered; these do nothing.
  ZorlinClientRef(const ZorlinClientRef&) {}
  ZorlinClientRef& operator=(const ZorlinClientRef&) { return *this; }
};

#endif
