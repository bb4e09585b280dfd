// A scripted fake service: the service end of a channel on a real socket in the current runtime directory
// (use TestRuntimeDir), for protocol tests of the client frame and the service clients.
//
// It records every message it receives (copies, with the number of the connection they came on) and runs
// the handler scripted for a message's "zr_command", if any. Handlers run on the service's own thread and
// answer through a Responder; Reply() copies the request's "zr_cookie" back. Everything else may be called
// from any thread; the Wait... calls block the test thread (not the UI thread's queue: pump it yourself
// with PumpUntil when the client side needs the UI thread).
//
//   zr::test::TestRuntimeDir dir;
//   zr::test::FakeService service("kv_secdbm");
//   service.OnCommand("sp_lookup", [](const ReceivedMessage& request, Responder& r) {
//     r.Reply(request, {{"sp_key", request.Value("sp_key")}, {"sp_value", "v"}});
//   });
//   ... make the client send ...
//   auto lookup = service.WaitForCommand("sp_lookup");
//   ASSERT_TRUE(lookup);
//   EXPECT_EQ(lookup->Value("zr_cookie"), "1");
#ifndef ZRAPPAPI_TESTS_FAKESERVICE_H
#define ZRAPPAPI_TESTS_FAKESERVICE_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "IPCMessage.h"
#include "IPCServer.h"

namespace zr {
namespace test {

using Fields = std::initializer_list<std::pair<std::string, std::string>>;

// A new message holding fields in order; the caller destroys it with IPC_DestroyMessage.
IPCMessage* NewMessage(Fields fields);
// "{k1=v1, k2=v2}", for failure output.
std::string Describe(const IPCMessage* msg);

// An immutable copy of a received message and the connection it came on. Cheap to copy.
class ReceivedMessage {
 public:
  ReceivedMessage(int connection, IPCMessage* adopted);
  int Connection() const { return mConnection; }
  // Null when absent.
  const char* Get(const std::string& key) const;
  // Empty when absent.
  std::string Value(const std::string& key) const;
  bool Has(const std::string& key) const { return Get(key) != nullptr; }
  std::string Command() const { return Value("zr_command"); }
  int Count() const;
  const IPCMessage* Message() const { return mMessage.get(); }
  std::string ToString() const { return Describe(mMessage.get()); }

 private:
  int mConnection;
  std::shared_ptr<IPCMessage> mMessage;
};

// How a handler answers: on the connection the request came on.
class Responder {
 public:
  explicit Responder(std::shared_ptr<zr::ipc::ServerConnection> connection);
  int Connection() const;
  // Sends fields, plus the request's "zr_cookie" when it has one.
  PRStatus Reply(const ReceivedMessage& request, Fields fields);
  PRStatus Send(Fields fields);
  PRStatus Send(IPCMessage* msg);  // the caller keeps msg
  // Drops this connection.
  void Close();

 private:
  std::shared_ptr<zr::ipc::ServerConnection> mConnection;
};

class FakeService {
 public:
  using Handler = std::function<void(const ReceivedMessage& request, Responder& responder)>;
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kWait{5000};

  // Listens on channelName in the current runtime directory unless listen is false. A failure to listen
  // is a test failure.
  explicit FakeService(const std::string& channelName, bool listen = true);
  ~FakeService();  // stops the service; connections are closed
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // Scripts the answer to a command (replacing an earlier script for it). The message is recorded
  // before its handler runs.
  void OnCommand(const std::string& command, Handler handler);
  // Runs for every message whose command has no handler of its own.
  void OnOtherMessage(Handler handler);

  // Received messages, oldest first.
  std::vector<ReceivedMessage> Messages() const;
  std::vector<ReceivedMessage> MessagesWithCommand(const std::string& command) const;
  int MessageCount() const;
  int CommandCount(const std::string& command) const;
  void ClearMessages();

  // Each waits until the condition holds (true) or the time-out passes (false).
  bool WaitForMessages(int count, std::chrono::milliseconds timeout = kWait);
  // The occurrence-th message (from 1) with that "zr_command", once it has arrived.
  std::optional<ReceivedMessage> WaitForCommand(const std::string& command,
                                                std::chrono::milliseconds timeout = kWait,
                                                int occurrence = 1);
  // Connections accepted so far (refused ones not counted) reaches count.
  bool WaitForConnections(int count, std::chrono::milliseconds timeout = kWait);
  // Connections open right now equals count (e.g. 0 once the client has closed).
  bool WaitForOpenConnections(int count, std::chrono::milliseconds timeout = kWait);

  // Pushes a message (an event) on the latest open connection, or on a given one (by number).
  PRStatus Send(Fields fields);
  PRStatus Send(IPCMessage* msg);
  PRStatus SendTo(int connection, Fields fields);
  PRStatus SendTo(int connection, IPCMessage* msg);

  // Closes every open connection and, unless called from a handler, waits until their closes were seen.
  void DropConnections();
  void CloseConnection(int connection);
  // While set, connections are accepted and closed at once, unrecorded.
  void SetRefuse(bool refuse);
  // While false, the service reads nothing more of any connection, open or new (a service that has
  // stopped reading: a client's writes back up in its socket); what it sends still goes out.
  void SetReading(bool reading);
  // What the close of a connection reported (0 orderly, else an errno-style code, e.g. ENOBUFS for a
  // client that let the service's output pile up); -1 while it is open or unknown.
  int CloseError(int connection) const;
  int RefusedConnections() const;
  bool StartListening();
  void StopListening();  // open connections stay
  bool IsListening() const;

  int ConnectionCount() const;      // open now
  int ConnectionsAccepted() const;  // since construction
  // Numbers of the connections open now, oldest first.
  std::vector<int> OpenConnections() const;
  const std::string& ChannelName() const { return mChannelName; }

 private:
  class Events;
  bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
  std::shared_ptr<zr::ipc::ServerConnection> FindConnection(int connection) const;  // 0: latest

  const std::string mChannelName;
  mutable std::mutex mMutex;
  std::condition_variable mChanged;
  std::vector<ReceivedMessage> mMessages;
  std::map<std::string, Handler> mHandlers;
  Handler mOtherHandler;
  std::vector<std::shared_ptr<zr::ipc::ServerConnection>> mOpen;
  int mAccepted = 0;
  int mRefused = 0;
  bool mRefuse = false;
  bool mReading = true;
  std::map<int, int> mCloseErrors;
  std::unique_ptr<Events> mEvents;
  std::unique_ptr<zr::ipc::IPCServer> mServer;
};

}  // namespace test
}  // namespace zr

#endif
