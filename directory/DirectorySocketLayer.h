// The NSPR socket layer of secure directory connections. Internal to the directory area.
//
// Installed on an LDAP handle, it runs right after each connect of the handle, before any LDAP byte is
// sent: it wraps a duplicate of the socket in a PRFileDesc, has the application's SSL functions attach
// to it and confirm it, and then routes every read and write of the connection through that PRFileDesc.
// A missing or failing SSL function fails the connection.
#ifndef ZRAPPAPI_DIRECTORYSOCKETLAYER_H
#define ZRAPPAPI_DIRECTORYSOCKETLAYER_H

#include <ldap.h>

#include "DirectoryServer.h"

namespace zr_directory {

// One per LDAP handle; must outlive the handle (free it after ldap_unbind).
struct SSLConnectionData {
  char* host;
  ldap_conncb callbacks;
};

void SetSSLFunctions(SSLAttachFunc attach, SSLConfirmFunc confirm);

// Every connection of the handle refuses a message announced larger than this, instead of allocating
// for it and waiting for bytes that a broken or hostile server will never send.
// On plain connections the layer also writes without raising SIGPIPE when the directory has gone, so
// an application need not ignore the signal.
constexpr ber_len_t kMaxIncomingMessage = 16 * 1024 * 1024;
bool InstallConnectionLimits(LDAP* ld, bool secure);

// Null when the layer could not be installed (the connection then stays plain).
SSLConnectionData* InstallSocketLayer(LDAP* ld, const char* host);
void FreeSocketLayer(SSLConnectionData* data);

}  // namespace zr_directory

#endif
