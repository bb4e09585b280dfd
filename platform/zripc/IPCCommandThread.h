// The reader of one channel: a thread that reads frames from the channel set with SetChannel and reports
// each message, and the channel's end, to the message listener. After a channel-gone report it reads
// nothing more until SetChannel is called again.
//
// SetChannel and SetMessageListener may be called from any thread. SetChannel takes its own reference on
// the channel and, unless called from the reader thread itself, returns only once the reader has stopped
// reading the previous channel, so no report about it follows. The reader owns its listener: it releases
// the previous one when another is set, and the last one at Shutdown, on the calling thread; when called
// from inside a report, on the reader thread once the report has returned.
#ifndef ZRIPC_IPCCOMMANDTHREAD_H
#define ZRIPC_IPCCOMMANDTHREAD_H

#include <memory>

#include "IPCChannel.h"
#include "ZrIpcExport.h"

class IPCMessageListener;

class ZRIPC_EXPORT IPCCommandThread {
 public:
  IPCCommandThread();                    // idle: no thread until a channel is set
  virtual ~IPCCommandThread();           // Shutdown()
  void SetChannel(IPCChannel* channel);  // null stops reading
  void SetMessageListener(IPCMessageListener* listener);
  // Stops reading, joins the thread and releases the listener. Idempotent.
  virtual void Shutdown();

 private:
  IPCCommandThread(const IPCCommandThread&) = delete;
  IPCCommandThread& operator=(const IPCCommandThread&) = delete;
  struct Impl;
  std::unique_ptr<Impl> mImpl;
};

#endif
