#include "NssSslFuncs.h"

#include <nss.h>
#include <ssl.h>
#include <sslproto.h>

#include <mutex>

namespace zr {
namespace test {

NssCalls gNssCalls;

namespace {

SECStatus BadCertificate(void*, PRFileDesc*) {
  return gNssCalls.rejectCertificate.load() ? SECFailure : SECSuccess;
}

}  // namespace

bool InitNss() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once,
                 [] { ok = NSS_NoDB_Init(nullptr) == SECSuccess && NSS_SetDomesticPolicy() == SECSuccess; });
  return ok;
}

int NssAttach(const char* host, unsigned long port, const char*, unsigned long, PRFileDesc* socket, int flag,
              void*) {
  ++gNssCalls.attach;
  gNssCalls.lastHost = host ? host : "";
  gNssCalls.lastPort = port;
  if (flag != 1 || !InitNss()) return 0;
  PRFileDesc* ssl = SSL_ImportFD(nullptr, socket);
  if (!ssl) return 0;
  if (SSL_OptionSet(ssl, SSL_SECURITY, PR_TRUE) != SECSuccess ||
      SSL_OptionSet(ssl, SSL_HANDSHAKE_AS_CLIENT, PR_TRUE) != SECSuccess ||
      SSL_SetURL(ssl, host ? host : "") != SECSuccess ||
      SSL_BadCertHook(ssl, BadCertificate, nullptr) != SECSuccess ||
      SSL_ResetHandshake(ssl, PR_FALSE) != SECSuccess)
    return 0;
  return 1;
}

int NssConfirm(PRFileDesc* socket) {
  ++gNssCalls.confirm;
  return SSL_ForceHandshakeWithTimeout(socket, PR_SecondsToInterval(5)) == SECSuccess ? 1 : 0;
}

int RefusingAttach(const char*, unsigned long, const char*, unsigned long, PRFileDesc*, int, void*) {
  ++gNssCalls.attach;
  return 0;
}

int RefusingConfirm(PRFileDesc*) {
  ++gNssCalls.confirm;
  return 0;
}

}  // namespace test
}  // namespace zr
