// A private slapd for directory tests and benchmarks: its own directory under /tmp, a TLS certificate
// made with openssl for 127.0.0.1, generated people loaded offline with slapadd, listening on two free
// loopback ports (ldap:// and ldaps://), stopped by the pid in its pidfile.
//
// The generated directory (base "dc=zr,dc=test"): `people` entries uid=p<i>, cn "<Given> Q<i>" with the
// given names John, Joan, Alice, Bob, Carol, Dave, Eve, Mallory in turn, mail "<given>.<i>@zr.test"; and
// these special entries:
//   cn "Twomail Person"  mail first.twomail@zr.test, second.twomail@zr.test
//   cn "Nomail Person"   no mail
//   cn "Certone Person"  mail certone@zr.test, one userCertificate (CertA)
//   cn "Certtwo Person"  mail certtwo@zr.test, two userCertificates (CertA then CertB)
//   cn "Dup One", "Dup Two"  both mail dup@zr.test
#ifndef ZR_TESTS_DIRECTORY_SLAPDFIXTURE_H
#define ZR_TESTS_DIRECTORY_SLAPDFIXTURE_H

#include <string>

namespace zr {
namespace test {

class Slapd {
 public:
  Slapd() = default;
  ~Slapd() { Stop(); }
  // Generates, loads and starts; false with a reason in error.
  bool Start(int people, std::string* error);
  void Stop();

  int ldapPort() const { return mLdapPort; }
  int ldapsPort() const { return mLdapsPort; }
  static const char* Base() { return "dc=zr,dc=test"; }
  // DER bytes of the two test certificates.
  const std::string& certA() const { return mCertA; }
  const std::string& certB() const { return mCertB; }
  // PEM files of slapd's TLS certificate (for 127.0.0.1) and its key.
  std::string certificateFile() const { return mDir + "/cert.pem"; }
  std::string keyFile() const { return mDir + "/key.pem"; }

 private:
  Slapd(const Slapd&) = delete;
  Slapd& operator=(const Slapd&) = delete;
  bool WaitReady(std::string* error);
  void StopProcess();

  std::string mDir;
  int mLdapPort = 0;
  int mLdapsPort = 0;
  int mPid = 0;
  std::string mCertA;
  std::string mCertB;
};

// A close-on-exec loopback TCP socket listening on port (0: any free one), whose port goes to *bound;
// -1 on failure.
int LoopbackListener(int port, int backlog, int* bound);
// A loopback TCP port that was free a moment ago.
int FreeLoopbackPort();

}  // namespace test
}  // namespace zr

#endif
