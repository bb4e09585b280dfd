#include "SlapdFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ldap.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace zr {
namespace test {

namespace {

const char* const kGivenNames[] = {"John", "Joan", "Alice", "Bob", "Carol", "Dave", "Eve", "Mallory"};

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool Run(const std::string& command, std::string* error) {
  if (system(command.c_str()) == 0) return true;
  *error = "failed: " + command;
  return false;
}

std::string Ldif(int people, const std::string& dir) {
  std::ostringstream o;
  o << "dn: dc=zr,dc=test\nobjectClass: dcObject\nobjectClass: organization\ndc: zr\no: zr\n\n"
    << "dn: ou=people,dc=zr,dc=test\nobjectClass: organizationalUnit\nou: people\n\n";
  char sn[16];
  for (int i = 0; i < people; ++i) {
    snprintf(sn, sizeof sn, "Q%05d", i);
    const std::string given = kGivenNames[i % 8];
    o << "dn: uid=p" << i << ",ou=people,dc=zr,dc=test\nobjectClass: inetOrgPerson\nuid: p" << i
      << "\ncn: " << given << " " << sn << "\nsn: " << sn << "\nmail: " << Lower(given) << "." << i
      << "@zr.test\n\n";
  }
  auto person = [&](const char* uid, const char* cn, std::initializer_list<const char*> mails,
                    std::initializer_list<const char*> certs) {
    o << "dn: uid=" << uid << ",ou=people,dc=zr,dc=test\nobjectClass: inetOrgPerson\nuid: " << uid
      << "\ncn: " << cn << "\nsn: Person\n";
    for (const char* m : mails) o << "mail: " << m << "\n";
    for (const char* c : certs) o << "userCertificate;binary:< file://" << dir << "/" << c << "\n";
    o << "\n";
  };
  person("twomail", "Twomail Person", {"first.twomail@zr.test", "second.twomail@zr.test"}, {});
  person("nomail", "Nomail Person", {}, {});
  person("certone", "Certone Person", {"certone@zr.test"}, {"certA.der"});
  person("certtwo", "Certtwo Person", {"certtwo@zr.test"}, {"certA.der", "certB.der"});
  person("dup1", "Dup One", {"dup@zr.test"}, {});
  person("dup2", "Dup Two", {"dup@zr.test"}, {});
  return o.str();
}

std::string Config(const std::string& dir) {
  std::ostringstream o;
  o << "include /etc/ldap/schema/core.schema\n"
    << "include /etc/ldap/schema/cosine.schema\n"
    << "include /etc/ldap/schema/inetorgperson.schema\n"
    << "pidfile " << dir << "/slapd.pid\n"
    << "argsfile " << dir << "/slapd.args\n"
    << "modulepath /usr/lib/ldap\n"
    << "moduleload back_mdb\n"
    << "TLSCertificateFile " << dir << "/cert.pem\n"
    << "TLSCertificateKeyFile " << dir << "/key.pem\n"
    << "sizelimit unlimited\n"
    << "timelimit unlimited\n"
    << "database mdb\n"
    << "maxsize 1073741824\n"
    << "suffix \"dc=zr,dc=test\"\n"
    << "rootdn \"cn=admin,dc=zr,dc=test\"\n"
    << "directory " << dir << "/db\n"
    << "index objectClass eq\n"
    << "index cn,mail eq,sub\n"
    << "access to * by * read\n";
  return o.str();
}

}  // namespace

int LoopbackListener(int port, int backlog, int* bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *bound = ntohs(addr.sin_port);
  return fd;
}

int FreeLoopbackPort() {
  int port = 0;
  close(LoopbackListener(0, 1, &port));
  return port;
}

bool Slapd::Start(int people, std::string* error) {
  char templ[] = "/tmp/zr-slapd-XXXXXX";
  if (!mkdtemp(templ)) {
    *error = "mkdtemp";
    return false;
  }
  mDir = templ;
  const std::string q = "'" + mDir + "'";
  if (!Run(
          "mkdir " + q + "/db && cd " + q +
              " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout key.pem"
              " -out cert.pem -days 3 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1"
              " && openssl x509 -in cert.pem -outform DER -out certA.der"
              " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout keyB.pem"
              " -outform DER -out certB.der -days 3 -subj /CN=certtwo.zr.test >/dev/null 2>&1",
          error))
    return false;
  if (!ReadFile(mDir + "/certA.der", &mCertA) || !ReadFile(mDir + "/certB.der", &mCertB)) {
    *error = "certificates";
    return false;
  }
  if (!WriteFile(mDir + "/slapd.conf", Config(mDir)) || !WriteFile(mDir + "/data.ldif", Ldif(people, mDir))) {
    *error = "writing configuration";
    return false;
  }
  if (!Run("/usr/sbin/slapadd -q -f " + q + "/slapd.conf -l " + q + "/data.ldif >" + q + "/slapadd.log 2>&1",
           error))
    return false;

  for (int attempt = 0; attempt < 3; ++attempt) {
    mLdapPort = FreeLoopbackPort();
    mLdapsPort = FreeLoopbackPort();
    if (mLdapPort == mLdapsPort) continue;
    const std::string urls = "ldap://127.0.0.1:" + std::to_string(mLdapPort) +
                             "/ ldaps://127.0.0.1:" + std::to_string(mLdapsPort) + "/";
    const std::string conf = mDir + "/slapd.conf";
    const std::string log = mDir + "/slapd.log";
    pid_t pid = fork();
    if (pid == 0) {
      // A test program that is killed must not leave its directory running.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      // -d keeps slapd in the foreground, so it stays our child and is reaped by Stop.
      execl("/usr/sbin/slapd", "slapd", "-d", "0", "-f", conf.c_str(), "-h", urls.c_str(), (char*)nullptr);
      _exit(127);
    }
    if (pid < 0) {
      *error = "fork";
      return false;
    }
    mPid = pid;
    if (WaitReady(error)) return true;
    StopProcess();
  }
  return false;
}

bool Slapd::WaitReady(std::string* error) {
  const std::string url = "ldap://127.0.0.1:" + std::to_string(mLdapPort);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(mPid, &status, WNOHANG) == mPid) {
      mPid = 0;
      *error = "slapd exited; see " + mDir + "/slapd.log";
      return false;
    }
    LDAP* ld = nullptr;
    if (ldap_initialize(&ld, url.c_str()) == LDAP_SUCCESS) {
      int version = LDAP_VERSION3;
      ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
      LDAPMessage* res = nullptr;
      struct timeval tv = {1, 0};
      const int rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0, nullptr,
                                       nullptr, &tv, 1, &res);
      ldap_msgfree(res);
      ldap_unbind_ext(ld, nullptr, nullptr);
      if (rc == LDAP_SUCCESS) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *error = "slapd did not answer; see " + mDir + "/slapd.log";
  return false;
}

void Slapd::Stop() {
  StopProcess();
  if (!mDir.empty()) {
    std::string cmd = "rm -rf '" + mDir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", mDir.c_str());
    mDir.clear();
  }
}

void Slapd::StopProcess() {
  if (mPid > 0) {
    std::string pidText;
    // The pidfile names the same process; it is the documented way to stop slapd.
    pid_t pid = mPid;
    if (ReadFile(mDir + "/slapd.pid", &pidText) && atoi(pidText.c_str()) > 0) pid = atoi(pidText.c_str());
    kill(pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(mPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(mPid, SIGKILL);
        waitpid(mPid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    mPid = 0;
  }
}

}  // namespace test
}  // namespace zr
