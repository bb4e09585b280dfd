#include "ZorlinEvents.h"

#include <plstr.h>

#include "AddressBook.h"
#include "VoidItemDestructor.h"

template class ZorlinClientRef<ZorlinEvents>;
template class List<ZorlinEventListener*>;

ZorlinEvents* ZorlinEvents::theInstance = nullptr;

ZorlinEventListenerInfo::ZorlinEventListenerInfo(const char* name)
    : eventName(PL_strdup(name)), stickyEvent(nullptr) {}

ZorlinEventListenerInfo::~ZorlinEventListenerInfo() {
  while (listeners.GetSize() > 0) listeners.RemoveHead()->Release();
  PL_strfree(eventName);
  IPC_DestroyMessage(stickyEvent);
}

ZorlinEvents::ZorlinEvents() : mRefCount(0) {}

ZorlinEvents::~ZorlinEvents() {}

int ZorlinEvents::AddRef() { return ++mRefCount; }

int ZorlinEvents::Release() { return --mRefCount; }

void ZorlinEvents::AddEventListener(const char* name, ZorlinEventListener* listener) {
  mAddressBook->AddEventListener(name, listener);
}

void ZorlinEvents::ReleaseEventListener(const char* name, ZorlinEventListener* listener) {
  mAddressBook->ReleaseEventListener(name, listener);
}

void ZorlinEvents::FireEvent(const char* name, IPCMessage* event) { mAddressBook->FireEvent(name, event); }

void ZorlinEvents::FireStickyEvent(const char* name, IPCMessage* event) {
  mAddressBook->FireStickyEvent(name, event);
}
