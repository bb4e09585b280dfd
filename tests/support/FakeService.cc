#include "FakeService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace zr {
namespace test {

IPCMessage* NewMessage(Fields fields) {
  IPCMessage* msg = IPC_NewMessage();
  for (const auto& f : fields) IPC_MessageSetValue(msg, f.first.c_str(), f.second.c_str());
  return msg;
}

std::string Describe(const IPCMessage* msg) {
  if (msg == nullptr) return "null";
  std::string out = "{";
  for (int i = 0; i < IPC_MessageGetCount(msg); ++i) {
    if (i > 0) out += ", ";
    out += IPC_MessageGetKeyAt(msg, i);
    out += "=";
    out += IPC_MessageGetValueAt(msg, i);
  }
  return out + "}";
}

ReceivedMessage::ReceivedMessage(int connection, IPCMessage* adopted)
    : mConnection(connection), mMessage(adopted, IPC_DestroyMessage) {}

const char* ReceivedMessage::Get(const std::string& key) const {
  return IPC_MessageGetValue(mMessage.get(), key.c_str());
}

std::string ReceivedMessage::Value(const std::string& key) const {
  const char* v = Get(key);
  return v != nullptr ? v : "";
}

int ReceivedMessage::Count() const { return IPC_MessageGetCount(mMessage.get()); }

Responder::Responder(std::shared_ptr<zr::ipc::ServerConnection> connection)
    : mConnection(std::move(connection)) {}

int Responder::Connection() const { return mConnection->Id(); }

PRStatus Responder::Reply(const ReceivedMessage& request, Fields fields) {
  IPCMessage* msg = NewMessage(fields);
  if (const char* cookie = request.Get("zr_cookie")) IPC_MessageSetValue(msg, "zr_cookie", cookie);
  PRStatus status = mConnection->Send(msg);
  IPC_DestroyMessage(msg);
  return status;
}

PRStatus Responder::Send(Fields fields) {
  IPCMessage* msg = NewMessage(fields);
  PRStatus status = mConnection->Send(msg);
  IPC_DestroyMessage(msg);
  return status;
}

PRStatus Responder::Send(IPCMessage* msg) { return mConnection->Send(msg); }

void Responder::Close() { mConnection->Close(); }

// The server's reports, turned into records and scripted answers.
class FakeService::Events : public zr::ipc::IPCServerListener {
 public:
  explicit Events(FakeService* service) : mService(service) {}

  void OnConnectionOpened(const std::shared_ptr<zr::ipc::ServerConnection>& c) override {
    FakeService* s = mService;
    {
      std::lock_guard<std::mutex> lock(s->mMutex);
      if (!s->mReading) c->SetReading(false);
      if (s->mRefuse) {
        ++s->mRefused;
      } else {
        ++s->mAccepted;
        s->mOpen.push_back(c);
      }
    }
    if (!IsAccepted(c)) c->Close();
    s->mChanged.notify_all();
  }

  void OnMessage(const std::shared_ptr<zr::ipc::ServerConnection>& c, IPCMessage* msg) override {
    FakeService* s = mService;
    if (!IsAccepted(c)) return;
    ReceivedMessage received(c->Id(), IPC_CloneMessage(msg));
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(s->mMutex);
      s->mMessages.push_back(received);
      auto it = s->mHandlers.find(received.Command());
      if (it != s->mHandlers.end()) {
        handler = it->second;
      } else {
        handler = s->mOtherHandler;
      }
    }
    s->mChanged.notify_all();
    if (handler) {
      Responder responder(c);
      handler(received, responder);
    }
  }

  void OnConnectionClosed(const std::shared_ptr<zr::ipc::ServerConnection>& c, int error) override {
    FakeService* s = mService;
    {
      std::lock_guard<std::mutex> lock(s->mMutex);
      s->mCloseErrors[c->Id()] = error;
      s->mOpen.erase(std::remove(s->mOpen.begin(), s->mOpen.end(), c), s->mOpen.end());
    }
    s->mChanged.notify_all();
  }

 private:
  bool IsAccepted(const std::shared_ptr<zr::ipc::ServerConnection>& c) {
    std::lock_guard<std::mutex> lock(mService->mMutex);
    return std::find(mService->mOpen.begin(), mService->mOpen.end(), c) != mService->mOpen.end();
  }

  FakeService* mService;
};

FakeService::FakeService(const std::string& channelName, bool listen)
    : mChannelName(channelName),
      mEvents(new Events(this)),
      mServer(new zr::ipc::IPCServer(channelName.c_str(), mEvents.get())) {
  if (listen) {
    EXPECT_TRUE(StartListening()) << "fake service cannot listen on " << channelName;
  }
}

FakeService::~FakeService() { mServer->Shutdown(); }

void FakeService::OnCommand(const std::string& command, Handler handler) {
  std::lock_guard<std::mutex> lock(mMutex);
  mHandlers[command] = std::move(handler);
}

void FakeService::OnOtherMessage(Handler handler) {
  std::lock_guard<std::mutex> lock(mMutex);
  mOtherHandler = std::move(handler);
}

std::vector<ReceivedMessage> FakeService::Messages() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mMessages;
}

std::vector<ReceivedMessage> FakeService::MessagesWithCommand(const std::string& command) const {
  std::lock_guard<std::mutex> lock(mMutex);
  std::vector<ReceivedMessage> out;
  for (const auto& m : mMessages) {
    if (m.Command() == command) out.push_back(m);
  }
  return out;
}

int FakeService::MessageCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return static_cast<int>(mMessages.size());
}

int FakeService::CommandCount(const std::string& command) const {
  return static_cast<int>(MessagesWithCommand(command).size());
}

void FakeService::ClearMessages() {
  std::lock_guard<std::mutex> lock(mMutex);
  mMessages.clear();
}

bool FakeService::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mMutex);
  return mChanged.wait_for(lock, timeout, condition);
}

bool FakeService::WaitForMessages(int count, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return static_cast<int>(mMessages.size()) >= count; }, timeout);
}

std::optional<ReceivedMessage> FakeService::WaitForCommand(const std::string& command,
                                                           std::chrono::milliseconds timeout,
                                                           int occurrence) {
  std::optional<ReceivedMessage> found;
  WaitFor(
      [&] {
        int seen = 0;
        for (const auto& m : mMessages) {
          if (m.Command() == command && ++seen == occurrence) {
            found = m;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool FakeService::WaitForConnections(int count, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return mAccepted >= count; }, timeout);
}

bool FakeService::WaitForOpenConnections(int count, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return static_cast<int>(mOpen.size()) == count; }, timeout);
}

std::shared_ptr<zr::ipc::ServerConnection> FakeService::FindConnection(int connection) const {
  std::lock_guard<std::mutex> lock(mMutex);
  if (connection == 0) return mOpen.empty() ? nullptr : mOpen.back();
  for (const auto& c : mOpen) {
    if (c->Id() == connection) return c;
  }
  return nullptr;
}

PRStatus FakeService::Send(Fields fields) { return SendTo(0, fields); }

PRStatus FakeService::Send(IPCMessage* msg) { return SendTo(0, msg); }

PRStatus FakeService::SendTo(int connection, Fields fields) {
  IPCMessage* msg = NewMessage(fields);
  PRStatus status = SendTo(connection, msg);
  IPC_DestroyMessage(msg);
  return status;
}

PRStatus FakeService::SendTo(int connection, IPCMessage* msg) {
  std::shared_ptr<zr::ipc::ServerConnection> c = FindConnection(connection);
  return c ? c->Send(msg) : PR_FAILURE;
}

void FakeService::DropConnections() {
  std::vector<std::shared_ptr<zr::ipc::ServerConnection>> open;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    open = mOpen;
  }
  for (const auto& c : open) c->Close();
  if (!mServer->IsServerThread()) {
    EXPECT_TRUE(WaitFor(
        [&] {
          for (const auto& c : open) {
            if (std::find(mOpen.begin(), mOpen.end(), c) != mOpen.end()) return false;
          }
          return true;
        },
        kWait));
  }
}

void FakeService::CloseConnection(int connection) {
  if (auto c = FindConnection(connection)) c->Close();
}

void FakeService::SetRefuse(bool refuse) {
  std::lock_guard<std::mutex> lock(mMutex);
  mRefuse = refuse;
}

void FakeService::SetReading(bool reading) {
  std::lock_guard<std::mutex> lock(mMutex);
  mReading = reading;
  for (const auto& c : mOpen) c->SetReading(reading);
}

int FakeService::CloseError(int connection) const {
  std::lock_guard<std::mutex> lock(mMutex);
  auto it = mCloseErrors.find(connection);
  return it == mCloseErrors.end() ? -1 : it->second;
}

int FakeService::RefusedConnections() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mRefused;
}

bool FakeService::StartListening() { return mServer->StartListening() == PR_SUCCESS; }

void FakeService::StopListening() { mServer->StopListening(); }

bool FakeService::IsListening() const { return mServer->IsListening(); }

int FakeService::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return static_cast<int>(mOpen.size());
}

int FakeService::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mAccepted;
}

std::vector<int> FakeService::OpenConnections() const {
  std::lock_guard<std::mutex> lock(mMutex);
  std::vector<int> ids;
  for (const auto& c : mOpen) ids.push_back(c->Id());
  return ids;
}

}  // namespace test
}  // namespace zr
