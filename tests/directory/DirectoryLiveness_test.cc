// Directories that stall in the middle of a message or never answer, in clear and over TLS: every wait
// of a server's worker ends within its limit, CancelSearch and destruction cut it short, and the next
// search starts over on a new connection. A server destroyed from any call of its listeners. And what a
// started program inherits of directory connections: nothing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "DirectoryServer.h"
#include "DirectoryTestEnvironment.h"
#include "ScriptedLdapServer.h"
#include "UIPump.h"

namespace zr {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Script = ScriptedLdapServer::Script;

// Runs rescue on its own thread unless destroyed within the limit: a step that hangs fails its own
// checks and is then let go, instead of hanging the test program.
class Watchdog {
 public:
  Watchdog(milliseconds limit, std::function<void()> rescue)
      : mThread([this, limit, rescue] {
          std::unique_lock<std::mutex> lock(mMutex);
          if (mDisarm.wait_for(lock, limit, [this] { return mDisarmed; })) return;
          lock.unlock();
          ADD_FAILURE() << "hung: the watchdog let it go";
          rescue();
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mDisarmed = true;
    }
    mDisarm.notify_all();
    mThread.join();
  }

 private:
  std::mutex mMutex;
  std::condition_variable mDisarm;
  bool mDisarmed = false;
  std::thread mThread;
};

struct RequestLimit {
  explicit RequestLimit(int ms) { DirectoryServerTestPeer::SetRequestLimit(ms); }
  ~RequestLimit() { DirectoryServerTestPeer::ResetRequestLimit(); }
};

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

bool Released(const std::shared_ptr<ListenerRecord>& record) {
  return PumpUntil([&] { return record->Released(); }, milliseconds(3000));
}

struct StallCase {
  const char* name;
  Script script;
  bool tls;
};

class DirectoryStallTest : public DirectorySSLTest {
 protected:
  // The script on the first scripted connections, answering afterwards.
  std::unique_ptr<ScriptedLdapServer> StartDirectory(const StallCase& c, int scripted) {
    auto directory = std::make_unique<ScriptedLdapServer>(c.script);
    directory->SetEntries({{"uid=a,o=t", {{"cn", {"Ann"}}, {"mail", {"ann@t"}}}}});
    directory->SetScriptedConnections(scripted);
    if (c.tls) {
      EXPECT_TRUE(directory->UseTls(slapd->certificateFile(), slapd->keyFile()));
    }
    EXPECT_TRUE(directory->Start());
    return directory;
  }
};

TEST_F(DirectoryStallTest, AStalledDirectoryHoldsNoWaitBeyondItsLimitAndTheNextSearchStartsOver) {
  DirectoryServer::SetSSLFuncs(NssAttach, NssConfirm);
  const StallCase cases[] = {{"clear, half an entry", Script::kStallInEntry, false},
                             {"TLS, half an entry", Script::kStallInEntry, true},
                             {"clear, half a bind answer", Script::kStallInBindResponse, false},
                             {"TLS, half a bind answer", Script::kStallInBindResponse, true}};
  for (const StallCase& c : cases) {
    SCOPED_TRACE(c.name);
    const bool inEntry = c.script == Script::kStallInEntry;
    Names attrs{"cn"};

    // Limits: a type-down ends at its half second; a bind at the request limit, as a failed Connect.
    // The next search reconnects, and the directory answers the new connection.
    {
      auto directory = StartDirectory(c, 1);
      Watchdog dog(milliseconds(8000), [&] { directory->Stop(); });  // outlives the server
      auto server =
          std::make_unique<DirectoryServer>("127.0.0.1", directory->port(), "o=t", 0, c.tls, nullptr);
      RequestLimit limit(600);
      const auto started = Clock::now();
      auto record =
          inEntry ? Queue(new CountingSearchListener, [&](auto* l) { server->TypeDownSearch("a", 10, l); })
                  : Queue(new CountingResultListener, [&](auto* l) { server->Connect(l); });
      EXPECT_TRUE(Released(record));
      EXPECT_EQ(record->Calls(),
                inEntry ? (Calls{"OnSearchBegin", "OnSearchEnd"}) : Calls{"OnFailure(null)"});
      EXPECT_LT(Since(started), milliseconds(1500));
      EXPECT_TRUE(ReleasedOnceOnUIThread(*record));

      auto nextRecord =
          Queue(new CountingSearchListener, [&](auto* l) { server->TypeDownSearch("a", 10, l); });
      EXPECT_TRUE(Released(nextRecord));
      EXPECT_EQ(nextRecord->Calls(),
                (Calls{"OnSearchBegin", "OnSearchEntry(cn=Ann;mail=ann@t)", "OnSearchEnd"}));
      EXPECT_EQ(directory->Connections(), 2);
    }

    // Every connection stalls. CancelSearch ends the waiting search within about one 0.1 s poll: a
    // replication (no time limit of its own) in the entry, a type-down in the bind.
    auto directory = StartDirectory(c, 1 << 30);
    Watchdog dog(milliseconds(8000), [&] { directory->Stop(); });
    {
      DirectoryServer server("127.0.0.1", directory->port(), "o=t", 0, c.tls, nullptr);
      auto record =
          inEntry ? Queue(new CountingReplicateListener, [&](auto* l) { server.Replicate(attrs, l); })
                  : Queue(new CountingSearchListener, [&](auto* l) { server.TypeDownSearch("a", 10, l); });
      EXPECT_TRUE(directory->WaitFor(
          [&] {
            return (inEntry ? static_cast<int>(directory->Searches().size()) : directory->Binds()) == 1;
          },
          milliseconds(3000)));
      PumpFor(milliseconds(50));  // the half message reaches the worker
      const auto cancelled = Clock::now();
      server.CancelSearch();
      EXPECT_TRUE(Released(record));
      EXPECT_LT(Since(cancelled), milliseconds(400));
      EXPECT_EQ(record->Calls(), inEntry ? (Calls{"OnReplicateBegin", "OnReplicateEnd"})
                                         : (Calls{"OnSearchBegin", "OnSearchEnd"}));
      EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
    }

    // Destroyed while its worker waits in a certificate search or a bind: it returns at once.
    auto* server = new DirectoryServer("127.0.0.1", directory->port(), "o=t", 0, c.tls, nullptr);
    auto record = inEntry ? Queue(new CountingCertListener(nullptr, nullptr),
                                  [&](auto* l) { server->LookupCerts(attrs, l); })
                          : Queue(new CountingResultListener, [&](auto* l) { server->Connect(l); });
    EXPECT_TRUE(directory->WaitFor(  // the second, after the cancelled server's
        [&] { return (inEntry ? static_cast<int>(directory->Searches().size()) : directory->Binds()) == 2; },
        milliseconds(3000)));
    PumpFor(milliseconds(50));
    const auto destroyed = Clock::now();
    delete server;
    EXPECT_LT(Since(destroyed), milliseconds(300));
    EXPECT_TRUE(Released(record));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
  }
}

// A listener whose accept queue is full: the kernel drops new connection requests, so a connect to it
// waits as for an unreachable host. Port 0 when the queue could not be filled.
struct FullListener {
  FullListener() : listener(LoopbackListener(0, 0, &port)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    for (int i = 0; listener >= 0 && i < 8; ++i) {
      const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers.push_back(filler);
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      pollfd p = {filler, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) return;  // this one was dropped: the queue is full
    }
    port = 0;
  }
  ~FullListener() {
    for (int fd : fillers) close(fd);
    close(listener);
  }
  int port = 0;
  int listener;
  std::vector<int> fillers;
};

TEST_F(DirectoryStallTest, ADirectoryThatNeverAnswersHoldsNeitherCancelNorDestruction) {
  // Silent: connections complete in the listen queue and are never accepted, so a secure connection waits
  // in the application's handshake, a plain one for its bind. Full: the connect itself is never answered.
  int silentPort = 0;
  const int silent = LoopbackListener(0, 16, &silentPort);
  ASSERT_GE(silent, 0);
  FullListener full;
  ASSERT_NE(full.port, 0) << "could not fill an accept queue";
  DirectoryServer::SetSSLFuncs(NssAttach, NssConfirm);
  // Closing the listeners resets every connection in their queues, which ends any wait left.
  Watchdog dog(milliseconds(8000), [&] {
    shutdown(silent, SHUT_RDWR);
    shutdown(full.listener, SHUT_RDWR);
  });

  for (const bool connects : {true, false}) {
    for (const bool secure : {false, true}) {
      SCOPED_TRACE(std::string(connects ? "silent, " : "full, ") + (secure ? "secure" : "plain"));
      const int port = connects ? silentPort : full.port;
      const int attached = gNssCalls.attach;
      {
        DirectoryServer server("127.0.0.1", port, "o=t", 0, secure, nullptr);
        auto record = Queue(new CountingSearchListener, [&](auto* l) { server.TypeDownSearch("a", 10, l); });
        PumpFor(milliseconds(200));
        const auto cancelled = Clock::now();
        server.CancelSearch();
        EXPECT_TRUE(Released(record));
        EXPECT_LT(Since(cancelled), milliseconds(400));
        EXPECT_EQ(record->Calls(), (Calls{"OnSearchBegin", "OnSearchEnd"}));
      }
      auto* server = new DirectoryServer("127.0.0.1", port, "o=t", 0, secure, nullptr);
      auto record = Queue(new CountingResultListener, [&](auto* l) { server->Connect(l); });
      PumpFor(milliseconds(200));
      const auto destroyed = Clock::now();
      delete server;
      EXPECT_LT(Since(destroyed), milliseconds(300));
      EXPECT_TRUE(Released(record));
      EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
      // Both really waited in the handshake when connected, and never reached it when not.
      EXPECT_EQ(gNssCalls.attach - attached, connects && secure ? 2 : 0);
    }
  }
  close(silent);
}

// Makes the listener destroy the server from its call named when (or from Release).
template <typename Listener>
Listener* Destroying(Listener* listener, DirectoryServer** server, const std::string& when) {
  auto destroy = [server](bool now) {
    if (!now || !*server) return;
    delete *server;
    *server = nullptr;
  };
  listener->onCall = [=](const std::string& call) { destroy(call.substr(0, call.find('(')) == when); };
  listener->onRelease = [=] { destroy(when == "Release"); };
  return listener;
}

TEST_F(DirectoryTest, TheServerMayBeDestroyedFromAnyCallOfItsListeners) {
  ScriptedLdapServer directory(Script::kAnswer);
  directory.SetEntries({{"uid=a,o=t", {{"cn", {"Ann"}}}}, {"uid=b,o=t", {{"cn", {"Ben"}}}}});
  ASSERT_TRUE(directory.Start());
  const int unreachable = FreeLoopbackPort();
  // A deadlock here is on the UI thread itself: nothing can be let go, so the program ends failing.
  Watchdog dog(milliseconds(20000), [] {
    fprintf(stderr, "a server destroyed from a callback hung\n");
    _exit(1);
  });
  for (const char* when :
       {"OnSearchBegin", "OnSearchEntry", "OnSearchEnd", "Release", "OnServerUnavailable"}) {
    SCOPED_TRACE(when);
    const bool reachable = std::string(when) != "OnServerUnavailable";
    DirectoryServer* server = new DirectoryServer("127.0.0.1", reachable ? directory.port() : unreachable,
                                                  "o=t", 0, false, nullptr);
    auto* listener = Destroying(new CountingSearchListener, &server, when);
    auto record = listener->record();
    server->TypeDownSearch("a", 10, listener);
    EXPECT_TRUE(PumpUntil([&] { return !server && record->Released(); }, milliseconds(3000)));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
    const std::string last = std::string(when) == "Release" ? "OnSearchEnd" : when;
    EXPECT_EQ(record->Calls().back().rfind(last, 0), 0u) << "nothing after it";
    delete server;
  }
  for (const char* when : {"OnSearchBegin", "OnCertFound", "OnCertNotFound", "OnSearchEnd", "Release"}) {
    SCOPED_TRACE(when);
    DirectoryServer* server =
        new DirectoryServer("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
    Names addresses{"nobody@zr.test", "certtwo@zr.test", "nobody@zr.test", "certtwo@zr.test"};
    auto* listener = Destroying(new CountingCertListener(&slapd->certA(), &slapd->certB()), &server, when);
    auto record = listener->record();
    server->LookupCerts(addresses, listener);
    EXPECT_TRUE(PumpUntil([&] { return !server && record->Released(); }, milliseconds(3000)));
    EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
    delete server;
  }
}

// The sockets that a program started now holds, as the kernel names them ("socket:[inode]").
std::multiset<std::string> SocketsOfAStartedProgram() {
  std::optional<Descriptors> listing = DescriptorsOfAStartedProgram();
  if (!listing) return {"listing failed"};
  std::multiset<std::string> sockets;
  for (const auto& d : Leading(*listing, "socket:")) sockets.insert(d.second);
  return sockets;
}

int SocketsHeld() { return static_cast<int>(Leading(OpenDescriptors(), "socket:").size()); }

TEST_F(DirectorySSLTest, StartedProgramsInheritNoSocketOfADirectoryConnection) {
  const std::multiset<std::string> before = SocketsOfAStartedProgram();
  const int heldBefore = SocketsHeld();
  DirectoryServer::SetSSLFuncs(NssAttach, NssConfirm);
  DirectoryServer secure("127.0.0.1", slapd->ldapsPort(), Slapd::Base(), 0, true, nullptr);
  DirectoryServer plain("127.0.0.1", slapd->ldapPort(), Slapd::Base(), 0, false, nullptr);
  EXPECT_EQ(ConnectAndWait(secure)->Calls(), Calls{"OnSuccess"});
  EXPECT_EQ(ConnectAndWait(plain)->Calls(), Calls{"OnSuccess"});
  // Both connections are open here (the secure one through two descriptors), and none reaches a child.
  EXPECT_GE(SocketsHeld(), heldBefore + 2);
  EXPECT_EQ(SocketsOfAStartedProgram(), before);
}

}  // namespace
}  // namespace test
}  // namespace zr
