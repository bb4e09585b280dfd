// The service end of channels: listens on a channel name in the runtime directory, accepts connections
// from processes of the same user, reads their frames and reports them to a listener. Used by the
// reference server and by the tests' fake services.
//
// Threads: the server has one thread of its own (started by the first StartListening) that accepts,
// reads, and makes every listener call. Every other operation may be called from any thread, including
// from inside a listener call. The listener is not owned and must outlive the server (or its Shutdown).
// Connections are shared objects: a connection kept after its close report stays valid, and Send on it
// then fails.
#ifndef ZRIPC_IPCSERVER_H
#define ZRIPC_IPCSERVER_H

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IPCMessage.h"
#include "ZrIpcExport.h"

namespace zr {
namespace ipc {

class IPCServer;

// One accepted connection.
class ZRIPC_EXPORT ServerConnection {
 public:
  ~ServerConnection();
  // 1, 2, 3... in the order the server accepted them.
  int Id() const { return mId; }
  pid_t PeerPid() const { return mPeerPid; }
  // Sends msg as one frame; the caller keeps it. Frames from several threads never interleave.
  // PR_FAILURE once the connection is closed, or when the message is too large or the write fails.
  PRStatus Send(IPCMessage* msg);
  // Ends the connection; the close report follows on the server thread. No further message of the
  // connection is reported, not even one already received (a report under way finishes).
  void Close();
  bool IsOpen() const;

 private:
  friend class IPCServer;
  ServerConnection(int fd, int id, pid_t peerPid);
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  std::mutex mWriteLock;  // orders frames
  std::string mScratch;   // under mWriteLock: the text of the frame being written
  const int mFd;          // closed by the destructor only, so no other thread ever sees it reused
  const int mId;
  const pid_t mPeerPid;
  std::atomic<bool> mOpen;
  std::atomic<bool> mClosing;  // Close() was asked for, so the end is orderly
};

// What a server reports, on its own thread. Each method defaults to doing nothing.
class ZRIPC_EXPORT IPCServerListener {
 public:
  virtual ~IPCServerListener();
  virtual void OnConnectionOpened(const std::shared_ptr<ServerConnection>& connection);
  // msg is valid only during the call.
  virtual void OnMessage(const std::shared_ptr<ServerConnection>& connection, IPCMessage* msg);
  // error: 0 for an orderly end (the peer closed, Close(), Shutdown()), else an errno-style code (EPROTO
  // truncated frame, EMSGSIZE oversized frame, EBADMSG malformed payload, or the read error).
  virtual void OnConnectionClosed(const std::shared_ptr<ServerConnection>& connection, int error);
};

class ZRIPC_EXPORT IPCServer {
 public:
  IPCServer(const char* channelName, IPCServerListener* listener);
  ~IPCServer();  // Shutdown()

  // Creates the runtime directory if needed (0700; refuses one that is not ours or is group- or
  // world-writable), replaces a stale socket file, and listens (socket file 0600). PR_FAILURE (errno
  // set) when the directory is refused, the path is too long, or another server is live on the name.
  // Listening already: PR_SUCCESS.
  PRStatus StartListening();
  // Stops accepting and removes the socket file; open connections stay. Returns once no further
  // connection can be accepted.
  void StopListening();
  bool IsListening() const;
  // Closes every open connection (each reports its close).
  void CloseAllConnections();
  // Stops listening, closes every connection (each reports its close), and stops the thread; no listener
  // call follows. Idempotent; not from inside a listener call.
  void Shutdown();

  std::vector<std::shared_ptr<ServerConnection>> Connections() const;
  // Peers of another user that were turned away.
  int RefusedCount() const;
  const std::string& ChannelName() const { return mChannelName; }
  // True on the server's own thread.
  bool IsServerThread() const;

 private:
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;
  struct Impl;
  const std::string mChannelName;
  std::unique_ptr<Impl> mImpl;
};

}  // namespace ipc
}  // namespace zr

#endif
