#include "DirectorySocketLayer.h"

#include <errno.h>
#include <fcntl.h>
#include <lber.h>
#include <plstr.h>
#include <poll.h>
#include <prerror.h>
#include <private/pprio.h>
#include <prmem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace zr_directory {
namespace {

constexpr ber_socket_t kNoSocket = -1;

std::atomic<SSLAttachFunc> gAttach{nullptr};
std::atomic<SSLConfirmFunc> gConfirm{nullptr};

// One per secured socket: the server's watch, the connection's own descriptor and the PRFileDesc over
// a duplicate of it, so that libldap's own poll on the original still sees the traffic.
struct SSLSocketData {
  ConnectionWatch* watch;
  int socket;
  PRFileDesc* fd;
};

void SetErrnoFromNspr() {
  const PRErrorCode code = PR_GetError();
  if (code == PR_WOULD_BLOCK_ERROR) {
    errno = EWOULDBLOCK;
  } else if (code == PR_PENDING_INTERRUPT_ERROR) {
    errno = EINTR;
  } else {
    const PRInt32 os = PR_GetOSError();
    errno = os != 0 ? os : EIO;
  }
}

ber_socket_t SocketOf(Sockbuf* sb) {
  ber_socket_t fd = kNoSocket;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd);
  return fd;
}

// Sends what attempt manages without blocking, waiting for room at most kWriteLimitMs in all. Never
// answers EAGAIN: libldap would take that for a write to finish later, which nothing here does.
template <typename Attempt>
ber_slen_t BoundedWrite(ConnectionWatch* watch, int fd, Attempt attempt) {
  const PRIntervalTime started = PR_IntervalNow();
  const PRIntervalTime limit = PR_MillisecondsToInterval(kWriteLimitMs);
  for (;;) {
    const long n = watch->SendUnlessWoken(attempt);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    const PRIntervalTime waited = PR_IntervalNow() - started;
    if (waited >= limit) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(PR_IntervalToMilliseconds(limit - waited)) + 1);
  }
}

// A failed callback leaves libldap holding the socket number; close it and clear it here, or the handle
// keeps the dead socket and never connects again.
int FailConnection(Sockbuf* sb, ber_socket_t fd, ConnectionWatch* watch) {
  if (fd != kNoSocket) {
    watch->Unregister(fd);
    close(fd);
  }
  ber_socket_t none = kNoSocket;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_FD, &none);
  return -1;
}

// Limits every connection shares, the socket made known to the watch before anything can wait on it,
// and the connect finished. libldap starts connects without waiting for them (the handle is
// asynchronous), so this wait is the one a Wake or an Interrupt can end.
bool Prepare(Sockbuf* sb, ber_socket_t fd, ConnectionWatch* watch) {
  ber_len_t max = kMaxIncoming;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_MAX_INCOMING, &max);
  if (fd == kNoSocket || !watch->Register(fd) || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return false;
  pollfd p = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&p, 1, kConnectLimitMs);
  } while (ready < 0 && errno == EINTR);
  int error = 0;
  socklen_t length = sizeof error;
  return ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 &&
         !(p.revents & (POLLHUP | POLLERR)) && !watch->IsWoken();
}

int LayerSetup(Sockbuf_IO_Desc* sbiod, void* arg) {
  sbiod->sbiod_pvt = arg;
  return 0;
}

// Secure layer.

int SecureRemove(Sockbuf_IO_Desc* sbiod) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (socket) {
    if (socket->fd) {
      socket->watch->Unregister(socket->socket);
      PR_Close(socket->fd);
    }
    PR_Free(socket);
  }
  sbiod->sbiod_pvt = nullptr;
  return 0;
}

int SecureCtrl(Sockbuf_IO_Desc* sbiod, int opt, void* arg) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (opt == LBER_SB_OPT_DATA_READY && socket && socket->fd) {
    // Plaintext already decrypted and buffered above the socket: the kernel would not report it.
    PRInt16 outFlags = 0;
    const PRInt16 inFlags = socket->fd->methods->poll(socket->fd, PR_POLL_READ, &outFlags);
    if ((inFlags & PR_POLL_READ) && (outFlags & PR_POLL_READ)) return 1;
  }
  return LBER_SBIOD_CTRL_NEXT(sbiod, opt, arg);
}

ber_slen_t SecureRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (!socket || !socket->fd) {
    errno = EBADF;
    return -1;
  }
  // Non-blocking: half a record, or nothing, is EWOULDBLOCK, and libldap goes back to its bounded poll.
  const PRInt32 n = PR_Read(socket->fd, buf, static_cast<PRInt32>(len));
  if (n > 0) socket->watch->Received(buf, static_cast<std::size_t>(n));
  if (n < 0) SetErrnoFromNspr();
  return n;
}

ber_slen_t SecureWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (!socket || !socket->fd) {
    errno = EBADF;
    return -1;
  }
  return BoundedWrite(socket->watch, socket->socket, [&]() -> long {
    const PRInt32 n = PR_Write(socket->fd, buf, static_cast<PRInt32>(len));
    if (n < 0) SetErrnoFromNspr();
    return n;
  });
}

int SecureClose(Sockbuf_IO_Desc* sbiod) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (socket && socket->fd) {
    socket->watch->Unregister(socket->socket);  // before the provider below closes it
    PR_Close(socket->fd);
    socket->fd = nullptr;
  }
  return 0;
}

Sockbuf_IO gSecureIO = {LayerSetup, SecureRemove, SecureCtrl, SecureRead, SecureWrite, SecureClose};

int SecureOnConnect(LDAP*, Sockbuf* sb, LDAPURLDesc* srv, struct sockaddr*, struct ldap_conncb* ctx) {
  SSLConnectionData* connection = static_cast<SSLConnectionData*>(ctx->lc_arg);
  ConnectionWatch* watch = connection->watch;
  const ber_socket_t fd = SocketOf(sb);
  const SSLAttachFunc attach = gAttach.load();
  const SSLConfirmFunc confirm = gConfirm.load();
  if (!attach || !confirm || !Prepare(sb, fd, watch)) return FailConnection(sb, fd, watch);

  // Close-on-exec: a program the application starts must not inherit the connection.
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return FailConnection(sb, fd, watch);
  PRFileDesc* prfd = PR_ImportTCPSocket(copy);
  if (!prfd) {
    close(copy);
    return FailConnection(sb, fd, watch);
  }
  // The handshake runs in the application's functions, on a blocking descriptor; Wake still ends it.
  const unsigned long port = srv ? static_cast<unsigned long>(srv->lud_port) : 0;
  PRSocketOptionData nonBlocking;
  nonBlocking.option = PR_SockOpt_Nonblocking;
  nonBlocking.value.non_blocking = PR_TRUE;
  if (attach(connection->host, port, nullptr, 0, prfd, 1, nullptr) != 1 || confirm(prfd) != 1 ||
      PR_SetSocketOption(prfd, &nonBlocking) != PR_SUCCESS) {
    PR_Close(prfd);
    return FailConnection(sb, fd, watch);
  }
  SSLSocketData* socket = PR_NEWZAP(SSLSocketData);
  socket->watch = watch;
  socket->socket = fd;
  socket->fd = prfd;
  if (ber_sockbuf_add_io(sb, &gSecureIO, LBER_SBIOD_LEVEL_TRANSPORT, socket) != 0) {
    PR_Close(prfd);
    PR_Free(socket);
    return FailConnection(sb, fd, watch);
  }
  return 0;
}

// Runs before the UnbindRequest is sent; the layer goes with the Sockbuf.
void OnDisconnect(LDAP*, Sockbuf*, struct ldap_conncb*) {}

// Plain layer, over libldap's own TCP provider.

ber_slen_t PlainRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  // Non-blocking: part of a message, or nothing, is EAGAIN, and libldap goes back to its bounded poll.
  const ber_slen_t n = LBER_SBIOD_READ_NEXT(sbiod, buf, len);
  if (n > 0) static_cast<ConnectionWatch*>(sbiod->sbiod_pvt)->Received(buf, static_cast<std::size_t>(n));
  return n;
}

ber_slen_t PlainWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  const ber_socket_t fd = SocketOf(sbiod->sbiod_sb);
  // No SIGPIPE when the directory has gone: an application need not ignore the signal.
  return BoundedWrite(static_cast<ConnectionWatch*>(sbiod->sbiod_pvt), fd,
                      [&]() -> long { return send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

int PlainCtrl(Sockbuf_IO_Desc* sbiod, int opt, void* arg) { return LBER_SBIOD_CTRL_NEXT(sbiod, opt, arg); }

int PlainClose(Sockbuf_IO_Desc* sbiod) {
  static_cast<ConnectionWatch*>(sbiod->sbiod_pvt)->Unregister(SocketOf(sbiod->sbiod_sb));
  return 0;
}

Sockbuf_IO gPlainIO = {LayerSetup, nullptr, PlainCtrl, PlainRead, PlainWrite, PlainClose};

int PlainOnConnect(LDAP*, Sockbuf* sb, LDAPURLDesc*, struct sockaddr*, struct ldap_conncb* ctx) {
  ConnectionWatch* watch = static_cast<ConnectionWatch*>(ctx->lc_arg);
  const ber_socket_t fd = SocketOf(sb);
  if (!Prepare(sb, fd, watch)) return FailConnection(sb, fd, watch);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ber_sockbuf_add_io(sb, &gPlainIO, LBER_SBIOD_LEVEL_TRANSPORT, watch) != 0)
    return FailConnection(sb, fd, watch);
  return 0;
}

}  // namespace

void MessageFraming::Feed(const unsigned char* bytes, std::size_t count) {
  // LDAP messages are SEQUENCEs: a one-byte tag, a definite length, the content.
  while (count > 0) {
    switch (mState) {
      case kBetween:
        ++bytes;
        --count;
        mState = kLength;
        break;
      case kLength: {
        const unsigned char first = *bytes++;
        --count;
        mRemaining = first & 0x7f;
        mLengthBytes = (first & 0x80) ? static_cast<int>(mRemaining) : 0;
        if (mLengthBytes > 0) {
          mRemaining = 0;
          mState = kLongLength;
        } else {
          mState = mRemaining > 0 ? kContent : kBetween;
        }
        break;
      }
      case kLongLength:
        mRemaining = (mRemaining << 8) | *bytes++;
        --count;
        if (--mLengthBytes == 0) mState = mRemaining > 0 ? kContent : kBetween;
        break;
      case kContent: {
        const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(count, mRemaining));
        bytes += taken;
        count -= taken;
        mRemaining -= taken;
        if (mRemaining == 0) mState = kBetween;
        break;
      }
    }
  }
}

ConnectionWatch::ConnectionWatch()
    : mFd(kNoSocket), mWoken(false), mShut(false), mConnectingFor(nullptr), mLastRead(PR_IntervalNow()) {
  mPlainCallbacks.lc_add = PlainOnConnect;
  mPlainCallbacks.lc_del = OnDisconnect;
  mPlainCallbacks.lc_arg = this;
}

void ConnectionWatch::Wake() {
  std::lock_guard<std::mutex> guard(mMutex);
  mWoken = true;
  // Only a registered socket, which cannot have been closed (and its number reused) meanwhile.
  if (mFd != kNoSocket) {
    shutdown(mFd, SHUT_RDWR);
    mShut = true;
  }
}

void ConnectionWatch::ConnectingFor(const void* search) {
  std::lock_guard<std::mutex> guard(mMutex);
  mConnectingFor = search;
}

void ConnectionWatch::Interrupt(const void* search) {
  std::lock_guard<std::mutex> guard(mMutex);
  if (search && mConnectingFor == search && mFd != kNoSocket) {
    shutdown(mFd, SHUT_RDWR);
    mShut = true;
  }
}

bool ConnectionWatch::IsWoken() {
  std::lock_guard<std::mutex> guard(mMutex);
  return mWoken;
}

bool ConnectionWatch::Register(int fd) {
  std::lock_guard<std::mutex> guard(mMutex);
  if (mWoken) return false;
  mFd = fd;
  mShut = false;
  mFraming.Reset();
  mLastRead = PR_IntervalNow();
  return true;
}

void ConnectionWatch::Unregister(int fd) {
  std::lock_guard<std::mutex> guard(mMutex);
  if (mFd == fd) mFd = kNoSocket;
}

void ConnectionWatch::Received(const void* bytes, std::size_t count) {
  mFraming.Feed(static_cast<const unsigned char*>(bytes), count);
  mLastRead = PR_IntervalNow();
}

bool ConnectionWatch::StalledInsideMessage(PRIntervalTime quiet) const {
  return mFraming.InsideMessage() && PRIntervalTime(PR_IntervalNow() - mLastRead) >= quiet;
}

void SetSSLFunctions(SSLAttachFunc attach, SSLConfirmFunc confirm) {
  gAttach.store(attach);
  gConfirm.store(confirm);
}

bool InstallPlainLayer(LDAP* ld, ConnectionWatch* watch) {
  return ld && ldap_set_option(ld, LDAP_OPT_CONNECT_CB, watch->PlainCallbacks()) == LDAP_OPT_SUCCESS;
}

SSLConnectionData* InstallSocketLayer(LDAP* ld, const char* host, ConnectionWatch* watch) {
  if (!ld) return nullptr;
  SSLConnectionData* data = PR_NEWZAP(SSLConnectionData);
  data->host = PL_strdup(host);
  data->watch = watch;
  data->callbacks.lc_add = SecureOnConnect;
  data->callbacks.lc_del = OnDisconnect;
  data->callbacks.lc_arg = data;
  if (ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &data->callbacks) != LDAP_OPT_SUCCESS) {
    FreeSocketLayer(data);
    return nullptr;
  }
  return data;
}

void FreeSocketLayer(SSLConnectionData* data) {
  if (!data) return;
  PL_strfree(data->host);
  PR_Free(data);
}

}  // namespace zr_directory
