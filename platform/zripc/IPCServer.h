// The service end of channels: listens on a channel name in the runtime directory, accepts connections
// from processes of the same user, reads their frames and reports them to a listener. Used by the
// reference server and by the tests' fake services.
//
// Threads: the server has one thread of its own (started by the first StartListening) that accepts,
// reads, writes queued output and makes every listener call. Every other operation may be called from any
// thread, including from inside a listener call. The listener is not owned and must outlive the server
// (or its Shutdown). Connections are shared objects: a connection kept after its close report stays
// valid, and Send on it then fails.
//
// Liveness: no peer can hold up the server thread or another peer. Sockets are non-blocking; reads take
// what has arrived (a half-sent frame waits in its connection's buffer); Send never waits for the peer:
// what the socket does not take at once is queued per connection, up to an output limit, and written by
// the server thread as the peer reads. A peer that lets its queue pass the limit is dropped, and its close
// is reported with ENOBUFS: the report is the place to log it (the library itself keeps no log).
// Connections take turns: at most 64 of one connection's frames are reported before the others are
// served, so a peer streaming requests delays another peer's by a turn, not by its whole stream.
#ifndef ZRIPC_IPCSERVER_H
#define ZRIPC_IPCSERVER_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IPCMessage.h"
#include "ZrIpcExport.h"

namespace zr {
namespace ipc {

class IPCServer;
struct ServerShared;

// One accepted connection.
class ZRIPC_EXPORT ServerConnection {
 public:
  ~ServerConnection();
  // 1, 2, 3... in the order the server accepted them.
  int Id() const { return mId; }
  pid_t PeerPid() const { return mPeerPid; }
  // Sends msg as one frame; the caller keeps it. Frames from several threads never interleave; frames
  // from one thread keep their order. Never waits for the peer: what the socket does not take now is
  // queued. PR_FAILURE (errno set) once the connection is closed or closing (EPIPE), for a message over
  // the maximum size (EMSGSIZE; the connection is unaffected), or when the write fails or the queue would
  // pass the server's output limit (the connection is then dropped: ENOBUFS for the limit).
  PRStatus Send(IPCMessage* msg);
  // Ends the connection: no further message of it is reported, not even one already received (a report
  // under way finishes); output already queued is still written, within the server's close linger; then
  // the close report follows on the server thread.
  void Close();
  bool IsOpen() const;
  // While false, nothing more of the peer is read or reported (its writes back up in its socket, as with
  // a service that stops reading); output still goes out. A connection starts reading.
  void SetReading(bool reading);
  // Bytes sent but not yet taken by the peer's socket.
  size_t QueuedBytes() const;

 private:
  friend class IPCServer;
  ServerConnection(int fd, int id, pid_t peerPid, std::shared_ptr<ServerShared> shared);
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;
  // Under mOutLock: writes what the socket takes of the queue; a write error is kept in mFailure.
  void FlushLocked();
  void FailLocked(int error);

  const int mFd;  // closed by the destructor only, so no other thread ever sees it reused
  const int mId;
  const pid_t mPeerPid;
  const std::shared_ptr<ServerShared> mShared;  // wake-up and limits; outlives the server
  std::atomic<bool> mOpen;
  std::atomic<bool> mClosing;  // Close() was asked for
  std::atomic<bool> mReading;
  std::atomic<bool> mResumed;  // reading again: frames already buffered are due

  mutable std::mutex mOutLock;   // orders frames; guards everything below
  std::string mScratch;          // the text of a message that has none cached
  std::deque<std::string> mOut;  // frames (or their unsent tails) not yet written
  size_t mOutHead = 0;           // bytes of mOut.front() already written
  size_t mQueued = 0;            // unsent bytes in mOut
  int mFailure = 0;              // why output stopped: the connection is to be dropped with it
  std::chrono::steady_clock::time_point mCloseDeadline;  // Close(): queued output is abandoned after it
};

// What a server reports, on its own thread. Each method defaults to doing nothing.
class ZRIPC_EXPORT IPCServerListener {
 public:
  virtual ~IPCServerListener();
  virtual void OnConnectionOpened(const std::shared_ptr<ServerConnection>& connection);
  // msg is valid only during the call.
  virtual void OnMessage(const std::shared_ptr<ServerConnection>& connection, IPCMessage* msg);
  // error: 0 for an orderly end (the peer closed, Close() with its output written, Shutdown()), else an
  // errno-style code: EPROTO truncated frame, EMSGSIZE oversized frame, EBADMSG malformed payload,
  // ENOBUFS output limit passed, ETIMEDOUT output of a Close() not taken within the linger, or the read
  // or write error.
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
  // Stops listening, ends every connection at once (each reports its close; output still queued is
  // dropped), and stops the thread; no listener call follows. Returns promptly whatever the peers do.
  // Idempotent; not from inside a listener call.
  void Shutdown();

  // Output each connection may hold for a peer that reads slower than the server sends; a Send that would
  // pass it drops the connection. A frame always fits an empty queue. Default 32 MiB.
  void SetOutputLimit(size_t bytes);
  // How long a Close() lets queued output drain before the connection ends anyway. Default 2 s.
  void SetCloseLinger(std::chrono::milliseconds linger);

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
