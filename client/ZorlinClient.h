// The base of every service client: one named channel to the server process, opened lazily by the first
// request on the client's own writer thread; requests numbered with cookies; replies, progress reports and
// write results handed to the listeners given with each request, on the UI thread; everything else passed
// to the subclass's OnMessage.
//
// Ownership: the client owns every listener handed to WriteMessage/Launch and releases each exactly once,
// on the UI thread, when done with it. The caller keeps the messages it passes.
//
// Threads: public and protected calls are made on the UI thread (the thread that created the first
// client), which is also where every listener call, OnMessage, OnConnect and OnDisconnect runs. The writer
// thread connects, writes and closes; the channel's reader thread only hands messages over. The client
// takes no lock: its lists and counters belong to the UI thread.
#ifndef ZRAPPAPI_ZORLINCLIENT_H
#define ZRAPPAPI_ZORLINCLIENT_H

#include <prthread.h>

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
  class DeliverMessageCommand;
  class CloseChannelCommand;
  template <void (ZorlinClient::*Operation)()>
  class ClientCommand;
  class OnConnectCommand;
  class OnDisconnectCommand;
  class ReleaseListenersCommand;

  ZorlinClient(const ZorlinClient&) = delete;
  ZorlinClient& operator=(const ZorlinClient&) = delete;

  void Connect();                        // writer thread
  void CloseChannel();                   // writer thread
  void HandleMessage(IPCMessage* msg);   // UI thread
  bool HandleProgress(IPCMessage* msg);  // UI thread
  void ReleaseListeners();               // UI thread

  char* mChannelName;
  CommandSink* mSink;
  IPCCommandThread mIPCThread;
  CommandThread mCommandThread;
  int mNextCookie;
  IPCChannel* mChannel;
  int mRefCount;
  List<ReplyListenerInfo*> mReplyListeners;
  List<ProgressListenerInfo*> mProgressListeners;

  static PRThread* mThread;
  static char* mClientName;
};

#endif
