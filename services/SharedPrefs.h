// Client of the server's shared preference store (channel "kv_secdbm"): look a value up by key, store a
// value, and hear about changes to keys matching a subscribed pattern. Reached through
// ZorlinClientRef<SharedPrefs>.
//
// Ownership: the client owns every listener handed to it. A lookup listener is released after its answer
// (or without a call when the channel closes first); a notify listener when it is released with
// ReleasePrefsListener or when the client goes, once per registration (a listener registered twice is
// released twice).
//
// Threads: UI thread only, like every callback.
#ifndef ZRAPPAPI_SHAREDPREFS_H
#define ZRAPPAPI_SHAREDPREFS_H

#include "List.h"
#include "Listener.h"
#include "ZorlinClient.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SharedPrefsLookupListener : public Listener {
 public:
  // key and value are the answer's; either may be null.
  virtual void OnLookup(const char* key, const char* value) = 0;
};

class ZRAPPAPI_EXPORT SharedPrefsNotifyListener : public Listener {
 public:
  // value is null when the change carries none.
  virtual void OnPrefChanged(const char* key, const char* value) = 0;
};

// One subscribed pattern and its listeners in registration order (the same listener may appear twice).
// Destroying the entry frees the pattern and releases every listener still in it.
struct ZRAPPAPI_EXPORT SharedPrefsPatternInfo {
  explicit SharedPrefsPatternInfo(const char* pattern);
  ~SharedPrefsPatternInfo();
  char* pattern;
  List<SharedPrefsNotifyListener*> listeners;

 private:
  SharedPrefsPatternInfo(const SharedPrefsPatternInfo&) = delete;
  SharedPrefsPatternInfo& operator=(const SharedPrefsPatternInfo&) = delete;
};

class ZRAPPAPI_EXPORT SharedPrefs : public ZorlinClient {
 public:
  void Lookup(const char* key, SharedPrefsLookupListener* listener);
  // value may be null: the key is then sent alone. result reports the write.
  void Store(const char* key, const char* value, ResultListener* result);
  // Patterns are exact texts; the first listener of a pattern subscribes it on the service.
  void AddPrefsListener(const char* pattern, SharedPrefsNotifyListener* listener);
  // Releases the listener's first registration under pattern; the last one unsubscribes the pattern.
  // A listener not registered there is left alone.
  void ReleasePrefsListener(const char* pattern, SharedPrefsNotifyListener* listener);

 protected:
  SharedPrefs();
  ~SharedPrefs() override;
  void OnMessage(IPCMessage* msg) override;

 private:
  friend class ZorlinClientRef<SharedPrefs>;
  SharedPrefsPatternInfo* FindPattern(const char* pattern);
  void WritePatternCommand(const char* command, const char* pattern);

  static SharedPrefs* theInstance;
  List<SharedPrefsPatternInfo*> mPatterns;
};

extern template class ZRAPPAPI_EXPORT ZorlinClientRef<SharedPrefs>;

#endif
