// A scripted LDAP server end for protocol tests: a loopback TCP listener (a thread per connection) that
// answers binds and searches with BER encoded by liblber and records what it received. The script is
// chosen per server (and may be limited to its first connections); entries are what every search gets
// back. With UseTls it speaks LDAP over TLS (OpenSSL, the given PEM files) from the first byte.
#ifndef ZR_TESTS_DIRECTORY_SCRIPTEDLDAPSERVER_H
#define ZR_TESTS_DIRECTORY_SCRIPTEDLDAPSERVER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zr {
namespace test {

struct ScriptedEntry {
  std::string dn;
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
};

struct ReceivedSearch {
  std::string base;
  int scope = -1;
  int sizeLimit = -2;
  int timeLimit = -2;
  std::string filter;  // decoded back to text, e.g. (|(cn=jo*)(mail=jo*))
  std::vector<std::string> attributes;
};

class ScriptedLdapServer {
 public:
  enum class Script {
    kAnswer,          // every entry, then success
    kStall,           // binds, but never answers a search
    kCloseMidSearch,  // the first entry, then the connection closes
    kSlowEntries,     // one entry per interval, cycling, until abandoned (or the connection goes)
    kGarbage,         // not LDAP at all: bytes that are no BER, and it keeps sending them
    kOversized,       // answers the bind with the start of a message announced as 2 GiB long
    kCloseAfterBind,  // answers the bind, then closes the connection
    // Send the first 8 bytes of a message and stall. Over TLS those 8 bytes make one whole record, and
    // the record holding the rest is cut in half, so the client holds both half a message and half a
    // record.
    kStallInBindResponse,  // in the answer to the bind
    kStallInEntry,         // answers the bind; stalls in the first entry of the first search
  };

  explicit ScriptedLdapServer(Script script);
  ~ScriptedLdapServer();
  // Before Start. False when the files cannot be used.
  bool UseTls(const std::string& certificatePem, const std::string& keyPem);
  // Connections after the first count are answered as by kAnswer.
  void SetScriptedConnections(int count) { mScriptedConnections = count; }
  // port 0: any free loopback port.
  bool Start(int port = 0);
  void Stop();
  int port() const { return mPort; }

  void SetEntries(std::vector<ScriptedEntry> entries);
  void SetInterval(std::chrono::milliseconds interval) { mIntervalMs = static_cast<int>(interval.count()); }
  void SetBindResult(int code) { mBindResult = code; }

  std::vector<ReceivedSearch> Searches() const;
  int Binds() const { return Locked(mBinds); }
  int Abandons() const { return Locked(mAbandons); }
  int Connections() const { return Locked(mConnections); }
  // Waits until pred holds (it may call the accessors above).
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

 private:
  template <typename T>
  T Locked(const T& value) const {
    std::lock_guard<std::mutex> guard(mMutex);
    return value;
  }
  void AcceptLoop();
  void Serve(int fd, Script script);

  Script mScript;
  std::atomic<int> mScriptedConnections{1 << 30};
  void* mTls = nullptr;  // SSL_CTX*
  int mListenFd = -1;
  int mPort = 0;
  std::atomic<bool> mStopping{false};
  std::atomic<int> mIntervalMs{20};
  std::atomic<int> mBindResult{0};
  std::thread mAcceptThread;

  mutable std::mutex mMutex;
  std::vector<ScriptedEntry> mEntries;
  std::vector<ReceivedSearch> mSearches;
  std::vector<int> mConnectionFds;
  std::vector<std::thread> mConnectionThreads;
  int mBinds = 0;
  int mAbandons = 0;
  int mConnections = 0;
};

}  // namespace test
}  // namespace zr

#endif
