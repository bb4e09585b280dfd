// What the reader of a channel (IPCCommandThread) reports to. Called on the reader thread.
#ifndef ZRIPC_IPCMESSAGELISTENER_H
#define ZRIPC_IPCMESSAGELISTENER_H

#include "IPCMessage.h"
#include "Listener.h"
#include "ZrIpcExport.h"

class ZRIPC_EXPORT IPCMessageListener : public Listener {
 public:
  // One call per incoming message; msg is valid only during the call.
  virtual void OnMessageArrived(IPCMessage* msg) = 0;
  // The peer closed the channel.
  virtual void OnChannelClosed() = 0;
  // The channel failed (read error, oversized or malformed frame); error is an errno-style code.
  virtual void OnChannelFailed(int error) = 0;
};

#endif
