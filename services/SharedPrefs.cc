#include "SharedPrefs.h"

#include <plstr.h>

#include <cassert>
#include <cstring>
#include <vector>

#include "Releaser.h"
#include "UILoop.h"
#include "VoidItemDestructor.h"

template class List<SharedPrefsPatternInfo*>;
template class ZorlinClientRef<SharedPrefs>;

SharedPrefs* SharedPrefs::theInstance = nullptr;

namespace {

// Answers one lookup: OnLookup on the application's listener, which goes when this one does.
class SharedPrefsLookupReplyListener : public ZorlinMessageListener {
 public:
  explicit SharedPrefsLookupReplyListener(SharedPrefsLookupListener* listener) : mListener(listener) {}
  ~SharedPrefsLookupReplyListener() override { Releaser::ReleaseOnUIThread(mListener); }
  void Release() override { delete this; }
  void OnMessage(IPCMessage* msg) override {
    if (mListener)
      mListener->OnLookup(IPC_MessageGetValue(msg, "sp_key"), IPC_MessageGetValue(msg, "sp_value"));
  }

 private:
  SharedPrefsLookupListener* mListener;
};

class PatternInfoDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override { delete static_cast<SharedPrefsPatternInfo*>(item); }
};

class NotifyListenerReleaser : public VoidItemDestructor {
 public:
  void Destroy(void* item) override { static_cast<SharedPrefsNotifyListener*>(item)->Release(); }
};

}  // namespace

SharedPrefsPatternInfo::SharedPrefsPatternInfo(const char* p) : pattern(PL_strdup(p)) {
  listeners.AdoptItemDestructor(new NotifyListenerReleaser);
}

SharedPrefsPatternInfo::~SharedPrefsPatternInfo() {
  listeners.RemoveAll();
  PL_strfree(pattern);
}

SharedPrefs::SharedPrefs() : ZorlinClient("kv_secdbm") {
  mPatterns.AdoptItemDestructor(new PatternInfoDestructor);
}

// Subscriptions die with the client; the service drops them with the connection.
SharedPrefs::~SharedPrefs() { mPatterns.RemoveAll(); }

void SharedPrefs::Lookup(const char* key, SharedPrefsLookupListener* listener) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "sp_lookup");
  if (key) IPC_MessageSetValue(msg, "sp_key", key);
  WriteMessage(msg, new SharedPrefsLookupReplyListener(listener), nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

void SharedPrefs::Store(const char* key, const char* value, ResultListener* result) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "sp_store");
  if (key) IPC_MessageSetValue(msg, "sp_key", key);
  if (value) IPC_MessageSetValue(msg, "sp_value", value);
  WriteMessage(msg, nullptr, result, nullptr);
  IPC_DestroyMessage(msg);
}

SharedPrefsPatternInfo* SharedPrefs::FindPattern(const char* pattern) {
  ListIterator<SharedPrefsPatternInfo*> it(mPatterns);
  for (it.First(); !it.IsDone(); it.Next()) {
    if (strcmp(it.CurrentItem()->pattern, pattern) == 0) return it.CurrentItem();
  }
  return nullptr;
}

void SharedPrefs::WritePatternCommand(const char* command, const char* pattern) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", command);
  IPC_MessageSetValue(msg, "sp_pattern", pattern);
  WriteMessage(msg, nullptr, nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

void SharedPrefs::AddPrefsListener(const char* pattern, SharedPrefsNotifyListener* listener) {
  assert(zr::UILoop::IsUIThread());
  if (!listener) return;
  if (!pattern) {
    // Nothing could ever match it; the listener is ours all the same.
    DispatchScope scope(this);
    listener->Release();
    return;
  }
  SharedPrefsPatternInfo* info = FindPattern(pattern);
  if (!info) {
    info = new SharedPrefsPatternInfo(pattern);
    mPatterns.Append(info);
    WritePatternCommand("sp_subscribe", pattern);
  }
  info->listeners.Append(listener);
}

void SharedPrefs::ReleasePrefsListener(const char* pattern, SharedPrefsNotifyListener* listener) {
  assert(zr::UILoop::IsUIThread());
  if (!pattern) return;
  SharedPrefsPatternInfo* info = FindPattern(pattern);
  if (!info) return;
  // The bookkeeping is done before the listener hears of it: its Release may release other listeners
  // (of this very pattern too) or drop the client's last reference.
  const bool registered = info->listeners.Remove(listener);
  if (info->listeners.GetSize() == 0) {
    mPatterns.Remove(info);
    WritePatternCommand("sp_unsubscribe", info->pattern);
    delete info;
  }
  if (registered) {
    DispatchScope scope(this);
    listener->Release();
  }
}

void SharedPrefs::OnMessage(IPCMessage* msg) {
  const char* key = IPC_MessageGetValue(msg, "sp_key");
  const char* pattern = IPC_MessageGetValue(msg, "sp_pattern");
  if (!key || !pattern) return;
  const char* value = IPC_MessageGetValue(msg, "sp_value");

  // A listener may release itself or another one, add listeners or drop the client's last reference from
  // inside OnPrefChanged, so the calls go to a snapshot, each checked against the registrations as they
  // stand at that moment.
  std::vector<SharedPrefsNotifyListener*> calls;
  {
    ListIterator<SharedPrefsPatternInfo*> it(mPatterns);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (strcmp(it.CurrentItem()->pattern, pattern) != 0) continue;
      ListIterator<SharedPrefsNotifyListener*> li(it.CurrentItem()->listeners);
      for (li.First(); !li.IsDone(); li.Next()) calls.push_back(li.CurrentItem());
    }
  }
  DispatchScope scope(this);
  for (SharedPrefsNotifyListener* listener : calls) {
    if (IsReleased()) return;  // the last reference went from inside a call
    bool registered = false;
    ListIterator<SharedPrefsPatternInfo*> it(mPatterns);
    for (it.First(); !it.IsDone() && !registered; it.Next()) {
      if (strcmp(it.CurrentItem()->pattern, pattern) == 0)
        registered = it.CurrentItem()->listeners.Contains(listener);
    }
    if (registered) listener->OnPrefChanged(key, value);
  }
}
