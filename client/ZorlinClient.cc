#include "ZorlinClient.h"

#include <errno.h>
#include <plstr.h>
#include <prprf.h>

#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Command.h"
#include "IPCMessageListener.h"
#include "Platform.h"
#include "Releaser.h"
#include "UILoop.h"
#include "VoidItemDestructor.h"

template class List<ReplyListenerInfo*>;
template class List<ProgressListenerInfo*>;

namespace {

const char kWriteFailed[] = "zorlinClient.writeMessageFailed";

// The application's name is the one thing every client's writer shares with the UI thread: it may be
// changed while some writer is announcing it.
std::mutex gClientNameLock;

// Calls that the client makes only on the UI thread; checked in debug builds.
inline void AssertUIThread() { assert(zr::UILoop::IsUIThread()); }

class ReplyListenerInfoDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override { delete static_cast<ReplyListenerInfo*>(item); }
};

// Progress entries left at the client's destruction: nobody will report on them again.
class ProgressListenerInfoDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override {
    ProgressListenerInfo* info = static_cast<ProgressListenerInfo*>(item);
    if (info->listener) info->listener->Release();
    delete info;
  }
};

// What one thread makes and another is done with (a request's command and text: made on the UI thread,
// deleted by the writer) goes back to a shelf here rather than to malloc, whose per-thread caches would be
// emptied on one side and overflow on the other, request after request.
class Shelf {
 public:
  void* Take() {
    std::lock_guard<std::mutex> lock(mLock);
    if (mFree.empty()) return nullptr;
    void* item = mFree.back();
    mFree.pop_back();
    return item;
  }
  // False when the shelf is full: the caller frees the item itself.
  bool Put(void* item) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mFree.size() >= kMaxKept) return false;
    mFree.push_back(item);
    return true;
  }

 private:
  static constexpr size_t kMaxKept = 4096;
  std::mutex mLock;
  std::vector<void*> mFree;
};

// Never destroyed: writers may still hand items back while the process exits.
Shelf& CommandShelf() {
  static Shelf* shelf = new Shelf();
  return *shelf;
}
Shelf& TextShelf() {
  static Shelf* shelf = new Shelf();
  return *shelf;
}

// A request's text, its storage reused from request to request.
std::string* TakeText(const char* text) {
  std::string* s = static_cast<std::string*>(TextShelf().Take());
  if (!s) s = new std::string();
  s->assign(text);
  return s;
}

void PutText(std::string* s) {
  constexpr size_t kKeepBelow = 4096;
  if (s->capacity() < kKeepBelow) {
    s->clear();
    if (TextShelf().Put(s)) return;
  }
  delete s;
}

}  // namespace

PRThread* ZorlinClient::mThread = nullptr;
char* ZorlinClient::mClientName = nullptr;

// ---- Listeners -------------------------------------------------------------------------------------

void ZorlinWindowReplyListener::Release() { delete this; }

void ZorlinWindowReplyListener::OnMessage(IPCMessage* msg) { ZorlinClient::HandleWindowReply(msg); }

ZorlinLaunchWindowReplyListener::ZorlinLaunchWindowReplyListener(ResultListener* result)
    : mResultListener(result) {}

void ZorlinLaunchWindowReplyListener::OnMessage(IPCMessage* msg) {
  ZorlinClient::HandleWindowReply(msg);
  if (ResultListener* result = mResultListener) {
    mResultListener = nullptr;
    result->OnSuccess();
    result->Release();
  }
}

void ZorlinLaunchWindowReplyListener::Release() {
  if (ResultListener* result = mResultListener) {
    mResultListener = nullptr;
    result->OnFailure(kWriteFailed);
    result->Release();
  }
  delete this;
}

ReplyListenerInfo::ReplyListenerInfo(int c, ZorlinMessageListener* l) : cookie(c), listener(l) {}

ReplyListenerInfo::~ReplyListenerInfo() {
  if (listener) listener->Release();
}

ProgressListenerInfo::ProgressListenerInfo(int c, ProgressListener* l) : cookie(c), listener(l) {}

// ---- Private classes ---------------------------------------------------------------------------------

// Given to the reader: hands each message to the UI thread and each end of the channel to the writer.
class __attribute__((visibility("hidden"))) ZorlinClient::ZorlinChannelListener : public IPCMessageListener {
 public:
  explicit ZorlinChannelListener(ZorlinClient* client) : mClient(client) {}
  void Release() override { delete this; }
  void OnMessageArrived(IPCMessage* msg) override;
  void OnChannelClosed() override;
  void OnChannelFailed(int error) override;

 private:
  ZorlinClient* mClient;
};

class __attribute__((visibility("hidden"))) ZorlinClient::WriteMessageCommand : public Command {
 public:
  // text: the request as IPC_Serialize gave it (owned, from TakeText); the writer needs nothing else.
  WriteMessageCommand(ZorlinClient* client, std::string* text, int cookie, ResultListener* result,
                      bool mayRetry)
      : mClient(client), mText(text), mCookie(cookie), mResultListener(result), mMayRetry(mayRetry) {
    mClient->mQueuedWrites.fetch_add(1, std::memory_order_relaxed);
  }
  ~WriteMessageCommand() override {
    if (mText) PutText(mText);
    if (mResultListener) Releaser::ReleaseOnUIThread(mResultListener);
    // Last: until here the writer may still be working for this request.
    mClient->mQueuedWrites.fetch_sub(1, std::memory_order_release);
  }
  static void* operator new(size_t size) {
    void* block = size == sizeof(WriteMessageCommand) ? CommandShelf().Take() : nullptr;
    return block ? block : ::operator new(size);
  }
  static void operator delete(void* block, size_t size) {
    if (size != sizeof(WriteMessageCommand) || !CommandShelf().Put(block)) ::operator delete(block);
  }
  void Execute() override;

 private:
  // Writes queued right behind one another go out together; at most this many in one system call.
  static constexpr int kMaxBatch = 256;
  static bool IsWriteFor(Command* command, void* client);
  // Opens the client's channel if need be. retry: whether a failed write may be tried once more (a channel
  // was open before). Without a channel the result listener hears the failure and the answer is false.
  bool Connect(bool& retry);
  // Connects if need be and writes this one message alone.
  void ExecuteAlone();
  // After the write: on failure closes the channel and, when allowed, queues one more attempt; then
  // reports status.
  void Finish(PRStatus status, bool retry);
  // The channel refused this message alone (too large) and stays as it was: only this request fails.
  void Refuse();
  // This request has gone to the channel (or failed to): a close from now on ends its wait for a reply.
  void Noted() {
    if (mCookie > mClient->mLastCookieTried.load(std::memory_order_relaxed))
      mClient->mLastCookieTried.store(mCookie, std::memory_order_relaxed);
  }

  ZorlinClient* mClient;
  std::string* mText;
  int mCookie;  // 0 without a reply or progress listener
  ResultListener* mResultListener;
  bool mMayRetry;
};

// Messages on their way from the reader to the UI thread, as their texts. Whatever arrives while the UI
// thread has not yet taken the last batch joins it, so a burst costs one queued command and one wake-up;
// a batch never spans two channels, so nothing the writer posts between them (the close of one, the
// opening of the next) is overtaken.
struct ZorlinClient::Inbox {
  struct Batch {
    unsigned connection;
    std::string texts;  // per message: its length (4 bytes, host order), its text, a NUL
  };
  std::atomic<unsigned> connection{0};  // bumped by the writer before the reader reads a new channel
  std::mutex lock;
  std::deque<Batch> batches;       // under lock; each has one DeliverBatchCommand queued
  std::vector<std::string> spare;  // under lock: emptied buffers kept for the next batches
};

class __attribute__((visibility("hidden"))) ZorlinClient::DeliverBatchCommand : public Command {
 public:
  explicit DeliverBatchCommand(ZorlinClient* client) : mClient(client) {}
  void Execute() override {
    DispatchScope scope(mClient);
    mClient->DeliverBatch();
  }

 private:
  ZorlinClient* mClient;
};

// The end of one channel, reported by the reader. It holds that channel (and a reference, so the handle
// cannot be reused meanwhile): the writer may have closed it after a failed write and opened another one
// before this command's turn, and the report must not close the newer channel.
class __attribute__((visibility("hidden"))) ZorlinClient::CloseChannelCommand : public Command {
 public:
  CloseChannelCommand(ZorlinClient* client, IPCChannel* channel) : mClient(client), mChannel(channel) {
    IPC_ChannelAddRef(mChannel);
  }
  ~CloseChannelCommand() override { IPC_ChannelRelease(mChannel); }
  void Execute() override {
    if (mClient->mChannel == mChannel) mClient->CloseChannel();
  }

 private:
  ZorlinClient* mClient;
  IPCChannel* mChannel;
};

// The commands that only call one operation of the client.
template <void (ZorlinClient::*Operation)()>
class __attribute__((visibility("hidden"))) ZorlinClient::ClientCommand : public Command {
 public:
  explicit ClientCommand(ZorlinClient* client) : mClient(client) {}
  void Execute() override {
    DispatchScope scope(mClient);
    (mClient->*Operation)();
  }

 private:
  ZorlinClient* mClient;
};

class __attribute__((visibility("hidden"))) ZorlinClient::OnConnectCommand
    : public ClientCommand<&ZorlinClient::OnConnect> {
  using ClientCommand::ClientCommand;
};

class __attribute__((visibility("hidden"))) ZorlinClient::OnDisconnectCommand
    : public ClientCommand<&ZorlinClient::OnDisconnect> {
  using ClientCommand::ClientCommand;
};

// Posted by the writer when it closes a channel: the replies awaited on that channel are those of the
// requests the writer had tried to write by then. The others wait for the next channel. Posted, never
// waited for: the UI thread may be destroying the client and joining the writer.
class __attribute__((visibility("hidden"))) ZorlinClient::ReleaseListenersCommand : public Command {
 public:
  ReleaseListenersCommand(ZorlinClient* client, int lastCookie) : mClient(client), mLastCookie(lastCookie) {}
  void Execute() override {
    DispatchScope scope(mClient);
    mClient->ReleaseListeners(mLastCookie);
  }

 private:
  ZorlinClient* mClient;
  int mLastCookie;
};

class __attribute__((visibility("hidden"))) ZorlinClient::DropRequestCommand : public Command {
 public:
  DropRequestCommand(ZorlinClient* client, int cookie) : mClient(client), mCookie(cookie) {}
  void Execute() override {
    DispatchScope scope(mClient);
    mClient->DropRequest(mCookie);
  }

 private:
  ZorlinClient* mClient;
  int mCookie;
};

void ZorlinClient::ZorlinChannelListener::OnMessageArrived(IPCMessage* msg) {
  // The reader's message keeps the frame's text: taking it costs a copy into a reused buffer, nothing more.
  const char* text = IPC_Serialize(msg);
  const uint32_t size = static_cast<uint32_t>(strlen(text));
  Inbox* inbox = mClient->mInbox;
  const unsigned connection = inbox->connection.load(std::memory_order_relaxed);
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(inbox->lock);
    if (inbox->batches.empty() || inbox->batches.back().connection != connection) {
      inbox->batches.push_back(Inbox::Batch{connection, std::string()});
      if (!inbox->spare.empty()) {
        inbox->batches.back().texts.swap(inbox->spare.back());
        inbox->spare.pop_back();
      }
      post = true;
    }
    std::string& texts = inbox->batches.back().texts;
    texts.append(reinterpret_cast<const char*>(&size), sizeof size);
    texts.append(text, size + 1);
  }
  // Only the reader adds batches, so this one is still queued, and its command runs after this post.
  if (post) mClient->mSink->PostCommand(new DeliverBatchCommand(mClient));
}

// Reports come only while the reader reads the open channel: Connect records it before the reader starts
// and CloseChannel stops the reader before forgetting it, so mChannel is the channel that ended.

void ZorlinClient::ZorlinChannelListener::OnChannelClosed() {
  mClient->mCommandThread.PostCommand(new CloseChannelCommand(mClient, mClient->mChannel));
}

void ZorlinClient::ZorlinChannelListener::OnChannelFailed(int) {
  mClient->mCommandThread.PostCommand(new CloseChannelCommand(mClient, mClient->mChannel));
}

bool ZorlinClient::WriteMessageCommand::IsWriteFor(Command* command, void* client) {
  WriteMessageCommand* write = dynamic_cast<WriteMessageCommand*>(command);
  return write != nullptr && write->mClient == client;
}

bool ZorlinClient::WriteMessageCommand::Connect(bool& retry) {
  ZorlinClient* client = mClient;
  retry = mMayRetry && client->mChannel != nullptr;
  client->Connect();
  if (client->mChannel) return true;
  if (ResultListener* result = mResultListener) {
    mResultListener = nullptr;
    client->mSink->PostCommand(new ResultCommand(result, PR_FAILURE, kWriteFailed));
  }
  return false;
}

void ZorlinClient::WriteMessageCommand::Execute() {
  ZorlinClient* client = mClient;
  Noted();
  bool retry;
  if (!Connect(retry)) return;
  // The writes queued behind this one go out with it, in one system call where the socket allows. Each
  // still ends as it would alone: those written whole succeed, the first one cut short fails (and may be
  // retried) on the channel it was written to, and the ones after it run alone as they would have next.
  WriteMessageCommand* batch[kMaxBatch];
  const char* texts[kMaxBatch];
  size_t sizes[kMaxBatch];
  batch[0] = this;
  texts[0] = mText->data();
  sizes[0] = mText->size();
  int count = 1;
  while (count < kMaxBatch) {
    Command* next = client->mCommandThread.TakeNextCommandIf(IsWriteFor, client);
    if (!next) break;
    batch[count] = static_cast<WriteMessageCommand*>(next);
    texts[count] = batch[count]->mText->data();
    sizes[count] = batch[count]->mText->size();
    ++count;
  }
  int written = 0;
  PRStatus status = IPC_WriteSerialized(client->mChannel, texts, sizes, count, &written);
  const int error = status == PR_SUCCESS ? 0 : errno;
  for (int i = 1; i <= written && i < count; ++i) batch[i]->Noted();
  for (int i = 0; i < written; ++i) batch[i]->Finish(PR_SUCCESS, false);
  if (written < count) {
    // Behind a message written whole, the channel was open when this one's turn came.
    if (error == EMSGSIZE)
      batch[written]->Refuse();
    else
      batch[written]->Finish(PR_FAILURE, written == 0 ? retry : batch[written]->mMayRetry);
    for (int i = written + 1; i < count; ++i) batch[i]->ExecuteAlone();
  }
  for (int i = 1; i < count; ++i) delete batch[i];
}

void ZorlinClient::WriteMessageCommand::ExecuteAlone() {
  Noted();
  bool retry;
  if (!Connect(retry)) return;
  const char* text = mText->data();
  const size_t size = mText->size();
  PRStatus status = IPC_WriteSerialized(mClient->mChannel, &text, &size, 1, nullptr);
  if (status != PR_SUCCESS && errno == EMSGSIZE)
    Refuse();
  else
    Finish(status, retry);
}

void ZorlinClient::WriteMessageCommand::Refuse() {
  ZorlinClient* client = mClient;
  if (ResultListener* result = mResultListener) {
    mResultListener = nullptr;
    client->mSink->PostCommand(new ResultCommand(result, PR_FAILURE, kWriteFailed));
  }
  // Nothing will ever answer it: its reply and progress listeners go too.
  if (mCookie) client->mSink->PostCommand(new DropRequestCommand(client, mCookie));
}

void ZorlinClient::WriteMessageCommand::Finish(PRStatus status, bool retry) {
  ZorlinClient* client = mClient;
  if (status != PR_SUCCESS) {
    client->CloseChannel();
    if (retry) {
      // Behind everything written since: the fresh channel takes requests in the order they reach it.
      WriteMessageCommand* again = new WriteMessageCommand(client, mText, mCookie, mResultListener, false);
      mText = nullptr;
      mResultListener = nullptr;
      client->mCommandThread.PostCommand(again);
    }
  }
  if (ResultListener* result = mResultListener) {
    mResultListener = nullptr;
    client->mSink->PostCommand(new ResultCommand(result, status, status ? kWriteFailed : nullptr));
  }
}

// ---- ZorlinClient ------------------------------------------------------------------------------------

ZorlinClient::ZorlinClient(const char* channelName)
    : mChannelName(PL_strdup(channelName)),
      mSink(CommandSink::CreateUIThreadCommandSink()),
      mIPCThread(),
      mCommandThread(),
      mNextCookie(1),
      mChannel(nullptr),
      mRefCount(0),
      mDispatchDepth(0),
      mReleased(false),
      mLastCookieTried(0),
      mQueuedWrites(0),
      mClosing(false),
      mInbox(new Inbox()) {
  mReplyListeners.AdoptItemDestructor(new ReplyListenerInfoDestructor);
  mProgressListeners.AdoptItemDestructor(new ProgressListenerInfoDestructor);
  if (!mThread) mThread = PR_GetCurrentThread();
  mIPCThread.SetMessageListener(new ZorlinChannelListener(this));
}

ZorlinClient::~ZorlinClient() {
  // Pending replies go first, on the destroying thread; then the sink is shut down, so nothing more is
  // delivered. The writer may be blocked on a service that stopped reading: the socket is shut down
  // first (the handle stays valid) and no further channel is opened, so the joins below wait for nobody.
  // The channel is released once the writer has stopped: until then the writer may be using it.
  ReleaseListeners();
  mSink->Shutdown();
  {
    std::lock_guard<std::mutex> lock(mChannelLock);
    mClosing = true;
    if (mChannel) IPC_CloseChannel(mChannel);
  }
  mIPCThread.Shutdown();
  mCommandThread.Shutdown();
  if (mChannel) {
    IPC_ChannelRelease(mChannel);
    mChannel = nullptr;
  }
  mProgressListeners.RemoveAll();
  delete mSink;
  mSink = nullptr;
  delete mInbox;  // the reader has stopped and no batch command is left
  mInbox = nullptr;
  PL_strfree(mChannelName);
}

void ZorlinClient::SetClientName(const char* name) {
  char* copy = name ? PL_strdup(name) : nullptr;
  {
    std::lock_guard<std::mutex> lock(gClientNameLock);
    std::swap(copy, mClientName);
  }
  if (copy) PL_strfree(copy);
}

void ZorlinClient::HandleWindowReply(IPCMessage* msg) {
  const char* text = IPC_MessageGetValue(msg, "zr_hwnd");
  if (!text) return;
  long window = strtol(text, nullptr, 0);
  if (window != 0) zr::Platform::SetForegroundWindow(window);
}

void ZorlinClient::Launch(ResultListener* result) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "zr_launch");
  WriteMessage(msg, new ZorlinLaunchWindowReplyListener(result), nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

ZorlinClient::DispatchScope::DispatchScope(ZorlinClient* client) : mClient(client) {
  ++mClient->mDispatchDepth;
}

ZorlinClient::DispatchScope::~DispatchScope() {
  if (--mClient->mDispatchDepth == 0 && mClient->mReleased) delete mClient;
}

void ZorlinClient::DestroyInstance(ZorlinClient* client) {
  if (!client) return;
  if (client->mDispatchDepth == 0) {
    delete client;
    return;
  }
  // Called from application code inside a dispatch, which is still walking this object: it is deleted
  // when that dispatch returns. Nothing queued is delivered any more.
  client->mReleased = true;
  client->mSink->Shutdown();
}

int ZorlinClient::AddRef() { return ++mRefCount; }

int ZorlinClient::Release() { return --mRefCount; }

void ZorlinClient::OnMessage(IPCMessage*) {}

void ZorlinClient::OnConnect() {}

void ZorlinClient::OnDisconnect() {}

void ZorlinClient::WriteMessage(IPCMessage* msg, ZorlinMessageListener* reply, ResultListener* result,
                                ProgressListener* progress) {
  AssertUIThread();
  int cookie = 0;
  if (reply || progress) {
    cookie = mNextCookie++;
    char text[20];
    PR_snprintf(text, sizeof(text), "%d", cookie);
    IPC_MessageSetValue(msg, "zr_cookie", text);
  }
  if (reply) mReplyListeners.Append(new ReplyListenerInfo(cookie, reply));
  if (progress) AppendProgressListener(cookie, progress);
  // The writer needs the text alone; a message serialised here is also read more cheaply if sent again.
  std::string* text = TakeText(IPC_Serialize(msg));
  if (TryWriteNow(*text, cookie, result)) {
    PutText(text);
    return;
  }
  mCommandThread.PostCommand(new WriteMessageCommand(this, text, cookie, result, true));
}

bool ZorlinClient::TryWriteNow(const std::string& text, int cookie, ResultListener* result) {
  // Only while no write command exists: none can be running or queued ahead of this request, and only
  // this thread makes new ones. Anything short of a whole frame sent at once goes to the writer, which
  // connects, retries and reports as usual; nothing was sent meanwhile.
  if (mQueuedWrites.load(std::memory_order_acquire) != 0) return false;
  {
    // Held across the send: the writer closes the channel (and reads mLastCookieTried for the replies
    // it ends) only after taking this lock.
    std::lock_guard<std::mutex> lock(mChannelLock);
    if (!mChannel || mClosing) return false;
    if (IPC_TryWriteSerialized(mChannel, text.data(), text.size()) != PR_SUCCESS) return false;
    if (cookie > mLastCookieTried.load(std::memory_order_relaxed))
      mLastCookieTried.store(cookie, std::memory_order_relaxed);
  }
  if (result) mSink->PostCommand(new ResultCommand(result, PR_SUCCESS, nullptr));
  return true;
}

void ZorlinClient::AppendProgressListener(int cookie, ProgressListener* listener) {
  AssertUIThread();
  if (listener) mProgressListeners.Append(new ProgressListenerInfo(cookie, listener));
}

void ZorlinClient::Connect() {
  assert(mCommandThread.IsCurrentThread());
  if (mChannel) return;
  {
    std::lock_guard<std::mutex> lock(mChannelLock);
    if (mClosing) return;
  }
  IPCChannel* channel = IPC_OpenChannel(mChannelName);
  if (!channel) return;
  IPC_ChannelAddRef(channel);
  {
    // The destructor may have begun while the channel opened: it cannot wake what it does not see.
    std::lock_guard<std::mutex> lock(mChannelLock);
    if (!mClosing) mChannel = channel;
  }
  if (!mChannel) {
    IPC_ChannelRelease(channel);
    return;
  }
  IPCMessage* hello = nullptr;
  {
    std::lock_guard<std::mutex> lock(gClientNameLock);
    if (mClientName) {
      hello = IPC_NewMessage();
      IPC_MessageSetValue(hello, "zr_command", "zr_setClientName");
      IPC_MessageSetValue(hello, "zr_clientName", mClientName);
    }
  }
  if (hello) {
    IPC_WriteMessage(channel, hello);
    IPC_DestroyMessage(hello);
  }
  mInbox->connection.fetch_add(1, std::memory_order_relaxed);
  mIPCThread.SetChannel(channel);
  mSink->PostCommand(new OnConnectCommand(this));
}

void ZorlinClient::CloseChannel() {
  assert(mCommandThread.IsCurrentThread());
  if (!mChannel) return;
  // The reader stops first: once SetChannel returns, no report can read mChannel any more.
  mIPCThread.SetChannel(nullptr);
  IPCChannel* channel = mChannel;
  {
    std::lock_guard<std::mutex> lock(mChannelLock);
    mChannel = nullptr;
  }
  IPC_ChannelRelease(channel);
  // In this order, ahead of anything the next channel delivers: the UI queue is FIFO.
  mSink->PostCommand(new ReleaseListenersCommand(this, mLastCookieTried.load(std::memory_order_relaxed)));
  mSink->PostCommand(new OnDisconnectCommand(this));
}

void ZorlinClient::HandleMessage(IPCMessage* msg) {
  AssertUIThread();
  bool handled = false;
  const char* command = IPC_MessageGetValue(msg, "zr_command");
  if (command && strcmp(command, "zr_progress") == 0) {
    handled = HandleProgress(msg);
  } else if (const char* text = IPC_MessageGetValue(msg, "zr_cookie")) {
    int cookie = atoi(text);
    ReplyListenerInfo* found = nullptr;
    // Replies mostly come in request order: the oldest pending request, at the head, is the first match.
    ReplyListenerInfo* head = mReplyListeners.GetSize() > 0 ? mReplyListeners.GetHead() : nullptr;
    if (head && head->cookie == cookie) {
      found = mReplyListeners.RemoveHead();
    } else {
      ListIterator<ReplyListenerInfo*> it(mReplyListeners);
      for (it.First(); !it.IsDone(); it.Next()) {
        if (it.CurrentItem()->cookie == cookie) {
          found = it.RemoveCurrentItem();
          break;
        }
      }
    }
    if (found) {
      if (found->listener) found->listener->OnMessage(msg);
      delete found;
      handled = true;
    }
  }
  if (!handled && !mReleased) OnMessage(msg);
}

void ZorlinClient::DeliverBatch() {
  AssertUIThread();
  std::string texts;
  {
    std::lock_guard<std::mutex> lock(mInbox->lock);
    if (mInbox->batches.empty()) return;
    texts.swap(mInbox->batches.front().texts);
    mInbox->batches.pop_front();
  }
  // Each message is built and freed here, on the thread that handles it.
  for (size_t at = 0; at < texts.size() && !mReleased;) {
    uint32_t size;
    memcpy(&size, texts.data() + at, sizeof size);
    at += sizeof size;
    IPCMessage* msg = IPC_NewMessage();
    if (IPC_Deserialize(msg, texts.data() + at) == PR_SUCCESS) HandleMessage(msg);
    IPC_DestroyMessage(msg);
    at += size + 1;
  }
  // After a release the rest is not delivered: the client is going.
  constexpr size_t kKeepBelow = 256 * 1024;
  if (texts.capacity() > kKeepBelow) return;
  texts.clear();
  std::lock_guard<std::mutex> lock(mInbox->lock);
  if (mInbox->spare.size() < 2) mInbox->spare.push_back(std::move(texts));
}

bool ZorlinClient::HandleProgress(IPCMessage* msg) {
  const char* cookieText = IPC_MessageGetValue(msg, "zr_cookie");
  const char* method = IPC_MessageGetValue(msg, "zr_progress_method");
  if (!cookieText || !method) return false;
  int cookie = atoi(cookieText);
  const char* arg = IPC_MessageGetValue(msg, "zr_progress_arg");

  ProgressListenerInfo* info = nullptr;
  {
    ListIterator<ProgressListenerInfo*> it(mProgressListeners);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem()->cookie == cookie) {
        info = it.CurrentItem();
        break;
      }
    }
  }
  if (!info) return false;
  ProgressListener* listener = info->listener;

  if (strcmp(method, "zr_progress_success") == 0) {
    listener->OnSuccess();
  } else if (strcmp(method, "zr_progress_failure") == 0) {
    listener->OnFailure(arg);
  } else if (strcmp(method, "zr_progress_set_progress") == 0) {
    listener->SetProgress(atof(arg ? arg : ""));
  } else if (strcmp(method, "zr_progress_set_status_text") == 0) {
    listener->SetStatusText(arg);
  } else if (strcmp(method, "zr_progress_append_to_log") == 0) {
    listener->AppendToLog(arg);
  } else if (strcmp(method, "zr_progress_release") == 0) {
    mProgressListeners.Remove(info);
    Releaser::ReleaseOnUIThread(listener);
    delete info;
  } else {
    return false;
  }
  return true;
}

void ZorlinClient::ReleaseListeners() {
  AssertUIThread();
  // Only the entries present now: a listener's Release may make a new request, which stays pending.
  for (int n = mReplyListeners.GetSize(); n > 0; --n) delete mReplyListeners.RemoveHead();
}

void ZorlinClient::ReleaseListeners(int lastCookie) {
  AssertUIThread();
  // Taken off the list before any is released: a Release may make requests or end the client.
  std::vector<ReplyListenerInfo*> gone;
  {
    ListIterator<ReplyListenerInfo*> it(mReplyListeners);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem()->cookie <= lastCookie) gone.push_back(it.RemoveCurrentItem());
    }
  }
  for (ReplyListenerInfo* info : gone) delete info;
}

void ZorlinClient::DropRequest(int cookie) {
  AssertUIThread();
  ReplyListenerInfo* reply = nullptr;
  ProgressListenerInfo* progress = nullptr;
  {
    ListIterator<ReplyListenerInfo*> it(mReplyListeners);
    for (it.First(); !it.IsDone() && !reply; it.Next()) {
      if (it.CurrentItem()->cookie == cookie) reply = it.RemoveCurrentItem();
    }
  }
  {
    ListIterator<ProgressListenerInfo*> it(mProgressListeners);
    for (it.First(); !it.IsDone() && !progress; it.Next()) {
      if (it.CurrentItem()->cookie == cookie) progress = it.RemoveCurrentItem();
    }
  }
  delete reply;
  if (progress) {
    Releaser::ReleaseOnUIThread(progress->listener);
    delete progress;
  }
}
