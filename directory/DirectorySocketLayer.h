// The socket layers of directory connections. Internal to the directory area.
//
// Every connection of a handle gets a layer once its connect has been started, before any LDAP byte is
// sent. Nothing on it waits unbounded or unwakeable: the layer waits for the connect at most
// kConnectLimitMs, reads take what has arrived (libldap's own poll, bounded by the caller's time-out,
// does the waiting), writes wait for room at most kWriteLimitMs, and a ConnectionWatch can shut the socket
// down from any thread to end every wait at once (the application's TLS handshake included).
//
// Secure connections wrap a close-on-exec duplicate of the socket in a PRFileDesc, have the application's
// SSL functions attach to it and confirm it, and then route every read and write through that PRFileDesc.
// A missing or failing SSL function fails the connection.
#ifndef ZRAPPAPI_DIRECTORYSOCKETLAYER_H
#define ZRAPPAPI_DIRECTORYSOCKETLAYER_H

#include <ldap.h>
#include <prinrval.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "DirectoryServer.h"

namespace zr_directory {

// A write that finds no room in the socket for this long fails, and with it the connection.
constexpr int kWriteLimitMs = 5000;
// A connect not answered within this long fails.
constexpr int kConnectLimitMs = 5000;

// Every connection of the handle refuses a message announced larger than this, instead of allocating
// for it and waiting for bytes that a broken or hostile server will never send.
constexpr ber_len_t kMaxIncoming = 16 * 1024 * 1024;

// Where the bytes read so far leave the current LDAP message: between messages, or inside one.
class MessageFraming {
 public:
  void Reset() { mState = kBetween; }
  void Feed(const unsigned char* bytes, std::size_t count);
  bool InsideMessage() const { return mState != kBetween; }

 private:
  enum State { kBetween, kLength, kLongLength, kContent };
  State mState = kBetween;
  int mLengthBytes = 0;
  std::uint64_t mRemaining = 0;
};

// One per server, outliving all its handles: the socket of its open connection, so that Wake can shut it
// down from any thread, and how far the last message read has got, so that a stalled directory can be
// told from a slow one.
class ConnectionWatch {
 public:
  ConnectionWatch();
  // Any thread. Shuts the open connection's socket down, so that every wait on it ends now, and fails
  // every later connection.
  void Wake();
  bool IsWoken();
  // Worker thread: the connection being made now is for this search (null: for none). Any thread:
  // shuts that connection's socket down if it is still being made for this search, ending even a
  // handshake in the application's SSL functions.
  void ConnectingFor(const void* search);
  void Interrupt(const void* search);
  // Worker thread: part of a message has arrived and nothing more for at least quiet.
  bool StalledInsideMessage(PRIntervalTime quiet) const;

  // The layers' part (worker thread).
  bool Register(int fd);  // false once woken
  void Unregister(int fd);
  void Received(const void* bytes, std::size_t count);
  // Runs a non-blocking send attempt unless the socket was shut down here, which a write would answer
  // with SIGPIPE on a path that cannot ask for none.
  template <typename Attempt>
  long SendUnlessWoken(Attempt attempt) {
    std::lock_guard<std::mutex> guard(mMutex);
    if (mWoken || mShut) {
      errno = ECONNABORTED;
      return -1;
    }
    return attempt();
  }
  ldap_conncb* PlainCallbacks() { return &mPlainCallbacks; }

 private:
  std::mutex mMutex;  // guards mFd, mWoken, mShut and mConnectingFor
  int mFd;
  bool mWoken;
  bool mShut;  // the registered socket was shut down
  const void* mConnectingFor;
  MessageFraming mFraming;
  PRIntervalTime mLastRead;
  ldap_conncb mPlainCallbacks;  // lc_arg: this
};

// One per LDAP handle; must outlive the handle (free it after ldap_unbind).
struct SSLConnectionData {
  char* host;
  ConnectionWatch* watch;
  ldap_conncb callbacks;
};

void SetSSLFunctions(SSLAttachFunc attach, SSLConfirmFunc confirm);

// Exactly one of the two goes on each handle. Null, or false, when it could not be installed; a handle
// without the secure layer stays plain.
SSLConnectionData* InstallSocketLayer(LDAP* ld, const char* host, ConnectionWatch* watch);
bool InstallPlainLayer(LDAP* ld, ConnectionWatch* watch);
void FreeSocketLayer(SSLConnectionData* data);

}  // namespace zr_directory

#endif
