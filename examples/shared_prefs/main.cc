// shared_prefs: an application's view of the shared preference store, end to end in one process.
//
// A small preference service listens on "kv_secdbm" in a private runtime directory: it keeps values by
// key, answers look-ups and tells subscribers when a key under their pattern changes ("ui.*" matches
// every key that starts with "ui."). The application side is the library's public client,
// ZorlinClientRef<SharedPrefs>: it watches a pattern, stores a value, looks it up, and prints each answer
// as its listener hears it on the UI thread (this program's main thread, running the UI queue).
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "IPCChannel.h"
#include "IPCMessage.h"
#include "IPCServer.h"
#include "SharedPrefs.h"
#include "UILoop.h"
#include "ZorlinClient.h"
#include "ZorlinClientRef.h"

namespace {

const char* Text(const char* text) { return text ? text : "(none)"; }

bool PatternMatches(const std::string& pattern, const std::string& key) {
  if (!pattern.empty() && pattern.back() == '*')
    return key.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == key;
}

// The service end. Runs on the server's own thread.
class PreferenceService : public zr::ipc::IPCServerListener {
 public:
  void OnMessage(const std::shared_ptr<zr::ipc::ServerConnection>& connection, IPCMessage* request) override {
    const char* command = IPC_MessageGetValue(request, "zr_command");
    if (command == nullptr) return;
    std::string name = command;
    const char* key = IPC_MessageGetValue(request, "sp_key");
    if (name == "sp_subscribe" || name == "sp_unsubscribe") {
      const char* pattern = IPC_MessageGetValue(request, "sp_pattern");
      if (pattern == nullptr) return;
      std::lock_guard<std::mutex> lock(mMutex);
      if (name == "sp_subscribe") {
        mPatterns.insert(pattern);
      } else {
        mPatterns.erase(pattern);
      }
    } else if (name == "sp_store" && key != nullptr) {
      const char* value = IPC_MessageGetValue(request, "sp_value");
      std::lock_guard<std::mutex> lock(mMutex);
      if (value) {
        mValues[key] = value;
      } else {
        mValues.erase(key);
      }
      for (const std::string& pattern : mPatterns) {
        if (!PatternMatches(pattern, key)) continue;
        IPCMessage* event = IPC_NewMessage();
        IPC_MessageSetValue(event, "sp_pattern", pattern.c_str());
        IPC_MessageSetValue(event, "sp_key", key);
        if (value) IPC_MessageSetValue(event, "sp_value", value);
        connection->Send(event);
        IPC_DestroyMessage(event);
      }
    } else if (name == "sp_lookup" && key != nullptr) {
      IPCMessage* reply = IPC_NewMessage();
      if (const char* cookie = IPC_MessageGetValue(request, "zr_cookie"))
        IPC_MessageSetValue(reply, "zr_cookie", cookie);
      IPC_MessageSetValue(reply, "sp_key", key);
      {
        std::lock_guard<std::mutex> lock(mMutex);
        auto found = mValues.find(key);
        if (found != mValues.end()) IPC_MessageSetValue(reply, "sp_value", found->second.c_str());
      }
      connection->Send(reply);
      IPC_DestroyMessage(reply);
    }
  }

 private:
  std::mutex mMutex;
  std::map<std::string, std::string> mValues;
  std::set<std::string> mPatterns;
};

// What the application's listeners have heard so far; touched on the UI thread only.
struct Heard {
  bool stored = false;
  bool changed = false;
  bool lookedUp = false;
  bool failed = false;
};

class StoreResult : public ResultListener {
 public:
  explicit StoreResult(Heard* heard) : mHeard(heard) {}
  void OnSuccess() override {
    printf("store written\n");
    mHeard->stored = true;
  }
  void OnFailure(const char* text) override {
    printf("store failed: %s\n", Text(text));
    mHeard->failed = true;
  }

 private:
  Heard* mHeard;
};

class ChangeWatcher : public SharedPrefsNotifyListener {
 public:
  explicit ChangeWatcher(Heard* heard) : mHeard(heard) {}
  void OnPrefChanged(const char* key, const char* value) override {
    printf("changed: %s = %s (UI thread: %s)\n", Text(key), Text(value),
           zr::UILoop::IsUIThread() ? "yes" : "no");
    mHeard->changed = true;
  }

 private:
  Heard* mHeard;
};

class LookupAnswer : public SharedPrefsLookupListener {
 public:
  explicit LookupAnswer(Heard* heard) : mHeard(heard) {}
  void OnLookup(const char* key, const char* value) override {
    printf("looked up: %s = %s (UI thread: %s)\n", Text(key), Text(value),
           zr::UILoop::IsUIThread() ? "yes" : "no");
    mHeard->lookedUp = true;
  }

 private:
  Heard* mHeard;
};

}  // namespace

int main() {
  zr::UILoop::AttachCurrentThread();
  char dir[] = "/tmp/zr-prefs-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  IPC_SetRuntimeDirectory(dir);

  PreferenceService service;
  zr::ipc::IPCServer server("kv_secdbm", &service);
  if (server.StartListening() != PR_SUCCESS) {
    perror("listen");
    rmdir(dir);
    return 1;
  }

  Heard heard;
  bool done;
  {
    ZorlinClient::SetClientName("shared_prefs example");
    ZorlinClientRef<SharedPrefs> prefs;
    prefs->AddPrefsListener("ui.*", new ChangeWatcher(&heard));
    prefs->Store("ui.color", "blue", new StoreResult(&heard));
    prefs->Lookup("ui.color", new LookupAnswer(&heard));
    done = zr::UILoop::RunUntil(
        [&heard] { return heard.failed || (heard.stored && heard.changed && heard.lookedUp); },
        std::chrono::seconds(10));
  }  // the last reference closes the channel and releases the watcher
  zr::UILoop::RunPending();

  server.Shutdown();
  IPC_SetRuntimeDirectory(nullptr);
  rmdir(dir);
  bool ok = done && !heard.failed;
  printf("%s\n", ok ? "shared_prefs: done" : "shared_prefs: FAILED");
  return ok ? 0 : 1;
}
