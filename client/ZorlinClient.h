// The base of every service client: one named channel to the server process, opened lazily by the first
// request on the client's own writer thread; requests numbered with cookies; replies, progress reports and
// write results handed to the listeners given with each request, on the UI thread; everything else passed
// to the subclass's OnMessage.
//
// Ownership: the client owns every listener handed to WriteMessage/Launch and releases each exactly once,
// on the UI thread, when done with it. The caller keeps the messages it passes.
//
// Threads: public and protected calls are made on the UI thread (as UILoop.h defines it), which is also
// where every listener call, OnMessage, OnConnect and OnDisconnect runs. The writer thread connects,
// writes and closes; while it has nothing to do and the channel is open, the UI thread sends a small
// request itself, never waiting on the socket. The channel's reader thread only hands messages over, a
// burst at a time. Lists and counters belong to the UI thread; one lock lets the destructor wake a writer
// blocked on the channel.
//
// Destruction from inside: application code may drop the client's last reference from any callback or
// Release() the client makes. While the client is dispatching (every OnMessage, OnConnect, OnDisconnect
// and listener call the frame makes, and any call a subclass wraps in a DispatchScope), theInstance is
// cleared at once but the object is deleted only when the outermost dispatch returns; meanwhile its sink
// is shut down, so nothing more is delivered. A subclass's OnMessage, OnConnect, OnDisconnect and reply
// listeners already run inside a dispatch; its own code that calls application code elsewhere (a public
// call that releases a listener, a command of its own run on the UI thread) holds a DispatchScope. After
// each call out it checks IsReleased() (then stops) and finds again whatever it was walking.
#ifndef ZRAPPAPI_ZORLINCLIENT_H
#define ZRAPPAPI_ZORLINCLIENT_H

#include <prthread.h>

#include <atomic>
#include <mutex>
#include <string>

#include "CommandSink.h"
#include "CommandThread.h"
#include "IPCChannel.h"
#include "IPCCommandThread.h"
#include "IPCMessage.h"
#include "List.h"
#include "Listener.h"
#include "ZrAppApiExport.h"

template <typename T>
class ZorlinClientRef;

// What waits for the reply to a request.
class ZRAPPAPI_EXPORT ZorlinMessageListener : public Listener {
 public:
  virtual void OnMessage(IPCMessage* msg) = 0;
};

// Reply listener of window-opening requests: brings the server's window to the front.
class ZRAPPAPI_EXPORT ZorlinWindowReplyListener : public ZorlinMessageListener {
 public:
  void Release() override;
  void OnMessage(IPCMessage* msg) override;
};

// Reply listener of Launch: after the window reply, OnSuccess on the result listener; released without a
// reply (the channel closed first), OnFailure. Either way the result listener is released once.
class ZRAPPAPI_EXPORT ZorlinLaunchWindowReplyListener : public ZorlinWindowReplyListener {
 public:
  explicit ZorlinLaunchWindowReplyListener(ResultListener* result);
  void Release() override;
  void OnMessage(IPCMessage* msg) override;

 private:
  ResultListener* mResultListener;
};

// A request waiting for its reply. Destroying the entry releases the listener.
struct ZRAPPAPI_EXPORT ReplyListenerInfo {
  ReplyListenerInfo(int cookie, ZorlinMessageListener* listener);
  ~ReplyListenerInfo();
  int cookie;
  ZorlinMessageListener* listener;

 private:
  ReplyListenerInfo(const ReplyListenerInfo&) = delete;
  ReplyListenerInfo& operator=(const ReplyListenerInfo&) = delete;
};

// A request with a progress listener; the listener is released by the "zr_progress_release" report, or
// by the client's destruction.
struct ZRAPPAPI_EXPORT ProgressListenerInfo {
  ProgressListenerInfo(int cookie, ProgressListener* listener);
  int cookie;
  ProgressListener* listener;
};

class ZRAPPAPI_EXPORT ZorlinClient {
 public:
  // Stores a copy of the application's name; every channel opened afterwards announces it.
  static void SetClientName(const char* name);
  // Brings the window named by the reply's "zr_hwnd" to the front (strtol base 0; 0 or absent: nothing).
  static void HandleWindowReply(IPCMessage* msg);

  virtual ~ZorlinClient();
  // Asks the service to bring its window forward; result reports whether the window answered.
  virtual void Launch(ResultListener* result);

 protected:
  explicit ZorlinClient(const char* channelName);

  // Keeps the client's memory alive while application code runs from inside it: if the last reference
  // goes meanwhile, the client is deleted when the outermost scope ends. UI thread.
  class ZRAPPAPI_EXPORT DispatchScope {
   public:
    explicit DispatchScope(ZorlinClient* client);
    ~DispatchScope();

   private:
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;
    ZorlinClient* mClient;
  };
  // True once the last reference has gone (the client waits only for its dispatch to end): call no more
  // application code and touch nothing but what is needed to unwind.
  bool IsReleased() const { return mReleased; }
  // How ZorlinClientRef deletes an instance whose last reference went: at once, or when its outermost
  // dispatch returns.
  static void DestroyInstance(ZorlinClient* client);

  virtual int AddRef();
  virtual int Release();
  // Incoming messages that are neither a matched reply nor a matched progress report. UI thread.
  virtual void OnMessage(IPCMessage* msg);
  // After each (re)connection, and after each close. UI thread.
  virtual void OnConnect();
  virtual void OnDisconnect();

  // Sends a request. Any listener may be null; a reply or progress listener gives the request the next
  // cookie. The client owns every listener given; the caller keeps msg.
  void WriteMessage(IPCMessage* msg, ZorlinMessageListener* reply, ResultListener* result,
                    ProgressListener* progress);
  void AppendProgressListener(int cookie, ProgressListener* listener);

 private:
  template <typename T>
  friend class ZorlinClientRef;
  class ZorlinChannelListener;
  class WriteMessageCommand;
  class DeliverBatchCommand;
  struct Inbox;
  class CloseChannelCommand;
  template <void (ZorlinClient::*Operation)()>
  class ClientCommand;
  class OnConnectCommand;
  class OnDisconnectCommand;
  class ReleaseListenersCommand;
  class DropRequestCommand;

  ZorlinClient(const ZorlinClient&) = delete;
  ZorlinClient& operator=(const ZorlinClient&) = delete;

  void Connect();                         // writer thread
  void CloseChannel();                    // writer thread
  void HandleMessage(IPCMessage* msg);    // UI thread
  void DeliverBatch();                    // UI thread: the oldest batch the reader handed over
  bool HandleProgress(IPCMessage* msg);   // UI thread
  void ReleaseListeners();                // UI thread: every pending reply
  void ReleaseListeners(int lastCookie);  // UI thread: pending replies of requests up to lastCookie
  void DropRequest(int cookie);           // UI thread: a request that can never be answered
  // UI thread: sends a request at once when the writer has nothing to do and the channel is open.
  bool TryWriteNow(const std::string& text, int cookie, ResultListener* result);

  char* mChannelName;
  CommandSink* mSink;
  IPCCommandThread mIPCThread;
  CommandThread mCommandThread;
  int mNextCookie;
  IPCChannel* mChannel;
  int mRefCount;
  List<ReplyListenerInfo*> mReplyListeners;
  List<ProgressListenerInfo*> mProgressListeners;

  // Beyond the frame's published fields: destruction from inside a dispatch (UI thread), and the
  // wake-up of the writer by the destructor.
  int mDispatchDepth;
  bool mReleased;
  // Highest cookie of the requests tried on the channel: by the writer, or by the UI thread under
  // mChannelLock when it writes a request itself.
  std::atomic<int> mLastCookieTried;
  std::atomic<int> mQueuedWrites;  // write commands made and not yet deleted
  std::mutex mChannelLock;         // guards mChannel's changes against the destructor's wake-up, and mClosing
  bool mClosing;                   // set by the destructor: the writer opens no more channels
  Inbox* mInbox;                   // messages on their way from the reader to the UI thread

  static PRThread* mThread;
  static char* mClientName;
};

#endif
