// The event broker: any part of an application subscribes to named events that travel through the
// server, and fires such events, plain or sticky. A sticky event is remembered by name (by the server and
// here) and handed at once to every listener that subscribes later. Firing never calls local listeners
// directly: they hear an event only when the server sends it back.
//
// The broker has no channel of its own: it rides on the address book client ("kv_abook"), which it keeps
// alive, and whose table of event names holds the subscribers. Subscriptions are renewed after every
// reconnection. Reached through ZorlinClientRef<ZorlinEvents>.
//
// Ownership: the broker owns every listener handed to AddEventListener until ReleaseEventListener or the
// address book's destruction releases it, once, on the UI thread. Callers keep the messages they fire;
// the message given to OnEvent belongs to the broker and is valid only during the call.
//
// Threads: UI thread only, like every OnEvent call.
#ifndef ZRAPPAPI_ZORLINEVENTS_H
#define ZRAPPAPI_ZORLINEVENTS_H

#include "AddressBook.h"
#include "IPCMessage.h"
#include "List.h"
#include "Listener.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT ZorlinEventListener : public Listener {
 public:
  virtual void OnEvent(const char* eventName, IPCMessage* event) = 0;
};

extern template class ZRAPPAPI_EXPORT List<ZorlinEventListener*>;

// The subscribers of one event name, in subscription order, and the sticky event last heard for it.
// Destroying the entry frees the name, releases every listener left and destroys the sticky event.
struct ZRAPPAPI_EXPORT ZorlinEventListenerInfo {
  explicit ZorlinEventListenerInfo(const char* name);
  ~ZorlinEventListenerInfo();
  char* eventName;
  List<ZorlinEventListener*> listeners;
  IPCMessage* stickyEvent;

 private:
  ZorlinEventListenerInfo(const ZorlinEventListenerInfo&) = delete;
  ZorlinEventListenerInfo& operator=(const ZorlinEventListenerInfo&) = delete;
};

class ZRAPPAPI_EXPORT ZorlinEvents {
 public:
  // Subscribes listener to name; a sticky event already heard for name reaches it inside this call.
  void AddEventListener(const char* name, ZorlinEventListener* listener);
  // Removes the first subscription of listener to name and releases it; the last one unsubscribes name.
  void ReleaseEventListener(const char* name, ZorlinEventListener* listener);
  // Sends event under name; the caller keeps event.
  void FireEvent(const char* name, IPCMessage* event);
  // As FireEvent, but the server and the subscribers keep the event for later subscribers.
  void FireStickyEvent(const char* name, IPCMessage* event);

 private:
  friend class ZorlinClientRef<ZorlinEvents>;
  ZorlinEvents();
  ~ZorlinEvents();
  ZorlinEvents(const ZorlinEvents&) = delete;
  ZorlinEvents& operator=(const ZorlinEvents&) = delete;
  int AddRef();
  int Release();

  static ZorlinEvents* theInstance;

  ZorlinClientRef<AddressBook> mAddressBook;
  int mRefCount;
};

extern template class ZRAPPAPI_EXPORT ZorlinClientRef<ZorlinEvents>;

#endif
