// NSS in the part of the application's SSL functions, for secure directory tests: attach imports the
// socket into NSS as a client (accepting the test's self-signed certificate unless told to reject it)
// and confirm completes the handshake.
#ifndef ZR_TESTS_DIRECTORY_NSSSSLFUNCS_H
#define ZR_TESTS_DIRECTORY_NSSSSLFUNCS_H

#include <prio.h>

#include <atomic>
#include <string>

namespace zr {
namespace test {

struct NssCalls {
  std::atomic<int> attach{0};
  std::atomic<int> confirm{0};
  std::atomic<bool> rejectCertificate{false};
  std::string lastHost;  // written by attach on the worker; read after the work is done
  std::atomic<unsigned long> lastPort{0};
};
extern NssCalls gNssCalls;

bool InitNss();
int NssAttach(const char* host, unsigned long port, const char* unused1, unsigned long unused2,
              PRFileDesc* socket, int flag, void* unused3);
int NssConfirm(PRFileDesc* socket);
// Fail outright without touching the socket.
int RefusingAttach(const char* host, unsigned long port, const char*, unsigned long, PRFileDesc* socket, int,
                   void*);
int RefusingConfirm(PRFileDesc* socket);

}  // namespace test
}  // namespace zr

#endif
