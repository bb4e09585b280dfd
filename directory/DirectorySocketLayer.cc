#include "DirectorySocketLayer.h"

#include <errno.h>
#include <lber.h>
#include <plstr.h>
#include <prerror.h>
#include <private/pprio.h>
#include <prmem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace zr_directory {
namespace {

constexpr ber_socket_t kNoSocket = -1;

std::atomic<SSLAttachFunc> gAttach{nullptr};
std::atomic<SSLConfirmFunc> gConfirm{nullptr};

// One per secured socket: the handle's record and the socket's PRFileDesc (over a duplicate of the
// connection's descriptor, so libldap's own poll on the original still sees the traffic).
struct SSLSocketData {
  SSLConnectionData* connection;
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

int LayerSetup(Sockbuf_IO_Desc* sbiod, void* arg) {
  sbiod->sbiod_pvt = arg;
  return 0;
}

int LayerRemove(Sockbuf_IO_Desc* sbiod) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (socket) {
    if (socket->fd) PR_Close(socket->fd);
    PR_Free(socket);
  }
  sbiod->sbiod_pvt = nullptr;
  return 0;
}

int LayerCtrl(Sockbuf_IO_Desc* sbiod, int opt, void* arg) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (opt == LBER_SB_OPT_DATA_READY && socket && socket->fd) {
    // Plaintext already decrypted and buffered above the socket: the kernel would not report it.
    PRInt16 outFlags = 0;
    const PRInt16 inFlags = socket->fd->methods->poll(socket->fd, PR_POLL_READ, &outFlags);
    if ((inFlags & PR_POLL_READ) && (outFlags & PR_POLL_READ)) return 1;
  }
  return LBER_SBIOD_CTRL_NEXT(sbiod, opt, arg);
}

ber_slen_t LayerRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (!socket || !socket->fd) {
    errno = EBADF;
    return -1;
  }
  const PRInt32 n = PR_Read(socket->fd, buf, static_cast<PRInt32>(len));
  if (n < 0) SetErrnoFromNspr();
  return n;
}

ber_slen_t LayerWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (!socket || !socket->fd) {
    errno = EBADF;
    return -1;
  }
  const PRInt32 n = PR_Write(socket->fd, buf, static_cast<PRInt32>(len));
  if (n < 0) SetErrnoFromNspr();
  return n;
}

int LayerClose(Sockbuf_IO_Desc* sbiod) {
  SSLSocketData* socket = static_cast<SSLSocketData*>(sbiod->sbiod_pvt);
  if (socket && socket->fd) {
    PR_Close(socket->fd);
    socket->fd = nullptr;
  }
  return 0;
}

Sockbuf_IO gLayerIO = {LayerSetup, LayerRemove, LayerCtrl, LayerRead, LayerWrite, LayerClose};

// A failed callback leaves libldap holding the socket number; close it and clear it here, or the handle
// keeps the dead socket and never connects again.
int FailConnection(Sockbuf* sb, ber_socket_t fd) {
  if (fd != kNoSocket) close(fd);
  ber_socket_t none = kNoSocket;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_FD, &none);
  return -1;
}

int OnConnect(LDAP*, Sockbuf* sb, LDAPURLDesc* srv, struct sockaddr*, struct ldap_conncb* ctx) {
  SSLConnectionData* connection = static_cast<SSLConnectionData*>(ctx->lc_arg);
  ber_socket_t fd = kNoSocket;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd);
  const SSLAttachFunc attach = gAttach.load();
  const SSLConfirmFunc confirm = gConfirm.load();
  if (!attach || !confirm || fd == kNoSocket) return FailConnection(sb, fd);

  const int copy = dup(fd);
  if (copy < 0) return FailConnection(sb, fd);
  PRFileDesc* prfd = PR_ImportTCPSocket(copy);
  if (!prfd) {
    close(copy);
    return FailConnection(sb, fd);
  }
  const unsigned long port = srv ? static_cast<unsigned long>(srv->lud_port) : 0;
  if (attach(connection->host, port, nullptr, 0, prfd, 1, nullptr) != 1 || confirm(prfd) != 1) {
    PR_Close(prfd);
    return FailConnection(sb, fd);
  }
  SSLSocketData* socket = PR_NEWZAP(SSLSocketData);
  socket->connection = connection;
  socket->fd = prfd;
  if (ber_sockbuf_add_io(sb, &gLayerIO, LBER_SBIOD_LEVEL_TRANSPORT, socket) != 0) {
    PR_Close(prfd);
    PR_Free(socket);
    return FailConnection(sb, fd);
  }
  return 0;
}

// Runs before the UnbindRequest is sent; the layer goes with the Sockbuf.
void OnDisconnect(LDAP*, Sockbuf*, struct ldap_conncb*) {}

ber_slen_t PlainRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  return LBER_SBIOD_READ_NEXT(sbiod, buf, len);
}

ber_slen_t PlainWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  ber_socket_t fd = kNoSocket;
  ber_sockbuf_ctrl(sbiod->sbiod_sb, LBER_SB_OPT_GET_FD, &fd);
  return send(fd, buf, len, MSG_NOSIGNAL);
}

int PlainCtrl(Sockbuf_IO_Desc* sbiod, int opt, void* arg) { return LBER_SBIOD_CTRL_NEXT(sbiod, opt, arg); }

Sockbuf_IO gPlainIO = {nullptr, nullptr, PlainCtrl, PlainRead, PlainWrite, nullptr};

int LimitOnConnect(LDAP*, Sockbuf* sb, LDAPURLDesc*, struct sockaddr*, struct ldap_conncb* ctx) {
  ber_len_t max = kMaxIncomingMessage;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_MAX_INCOMING, &max);
  const bool secure = ctx->lc_arg != nullptr;
  if (!secure && ber_sockbuf_add_io(sb, &gPlainIO, LBER_SBIOD_LEVEL_TRANSPORT, nullptr) != 0) return -1;
  return 0;
}

// Shared by every handle; static, so they outlive them all. A non-null argument marks secure handles,
// whose writes go through the application's PRFileDesc instead.
int gSecureMark;
ldap_conncb gPlainLimits = {LimitOnConnect, OnDisconnect, nullptr};
ldap_conncb gSecureLimits = {LimitOnConnect, OnDisconnect, &gSecureMark};

}  // namespace

bool InstallConnectionLimits(LDAP* ld, bool secure) {
  return ld && ldap_set_option(ld, LDAP_OPT_CONNECT_CB, secure ? &gSecureLimits : &gPlainLimits) ==
                   LDAP_OPT_SUCCESS;
}

void SetSSLFunctions(SSLAttachFunc attach, SSLConfirmFunc confirm) {
  gAttach.store(attach);
  gConfirm.store(confirm);
}

SSLConnectionData* InstallSocketLayer(LDAP* ld, const char* host) {
  if (!ld) return nullptr;
  SSLConnectionData* data = PR_NEWZAP(SSLConnectionData);
  data->host = PL_strdup(host);
  data->callbacks.lc_add = OnConnect;
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
