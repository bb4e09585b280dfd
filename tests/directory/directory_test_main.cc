// Test main of the directory tests: LDAP library defaults off, SIGPIPE ignored (a server closing a
// connection must fail a write, not end the process), the UI thread is this one, one private slapd.
#include <nss.h>
#include <signal.h>
#include <ssl.h>
#include <stdlib.h>

#include "DirectoryTestEnvironment.h"
#include "UILoop.h"
#include "UIPump.h"

namespace zr {
namespace test {
namespace {

std::unique_ptr<Slapd> gSlapd;
std::string gSlapdError;

class SlapdEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    gSlapd.reset(new Slapd);
    if (!gSlapd->Start(kTestPeople, &gSlapdError)) gSlapd.reset();
  }
  void TearDown() override { gSlapd.reset(); }
};

}  // namespace

NssCalls gNssCalls;

namespace {
SECStatus BadCertificate(void*, PRFileDesc*) { return gNssCalls.rejectCertificate ? SECFailure : SECSuccess; }
}  // namespace

int NssAttach(const char* host, unsigned long port, const char*, unsigned long, PRFileDesc* socket, int flag,
              void*) {
  ++gNssCalls.attach;
  gNssCalls.lastHost = host ? host : "";
  gNssCalls.lastPort = port;
  PRFileDesc* ssl = flag == 1 ? SSL_ImportFD(nullptr, socket) : nullptr;
  return ssl && SSL_OptionSet(ssl, SSL_SECURITY, PR_TRUE) == SECSuccess &&
         SSL_OptionSet(ssl, SSL_HANDSHAKE_AS_CLIENT, PR_TRUE) == SECSuccess &&
         SSL_SetURL(ssl, gNssCalls.lastHost.c_str()) == SECSuccess &&
         SSL_BadCertHook(ssl, BadCertificate, nullptr) == SECSuccess &&
         SSL_ResetHandshake(ssl, PR_FALSE) == SECSuccess;
}

int NssConfirm(PRFileDesc* socket) {
  ++gNssCalls.confirm;
  return SSL_ForceHandshakeWithTimeout(socket, PR_SecondsToInterval(5)) == SECSuccess;
}

bool InitNss() {
  static const bool nss = NSS_NoDB_Init(nullptr) == SECSuccess && NSS_SetDomesticPolicy() == SECSuccess;
  return nss;
}

Slapd* TestSlapd() { return gSlapd.get(); }
const std::string& TestSlapdError() { return gSlapdError; }

bool PumpUntilReleased(std::initializer_list<const ListenerRecord*> records) {
  return PumpUntil(
      [&] {
        for (const ListenerRecord* r : records)
          if (!r->Released()) return false;
        return true;
      },
      std::chrono::milliseconds(10000));
}

bool Finished(const std::shared_ptr<ListenerRecord>& record) { return PumpUntilReleased({record.get()}); }

std::shared_ptr<ListenerRecord> ConnectAndWait(DirectoryServer& server) {
  return RunAndWait(new CountingResultListener, [&](ResultListener* l) { server.Connect(l); });
}

std::shared_ptr<ListenerRecord> TypeDownAndWait(DirectoryServer& server, const char* text, int max) {
  return RunAndWait(new CountingSearchListener,
                    [&](DirectorySearchListener* l) { server.TypeDownSearch(text, max, l); });
}

std::shared_ptr<ListenerRecord> SearchAndWait(DirectoryServer& server, DirectorySearch& search,
                                              std::initializer_list<const char*> attrs, int max) {
  Names names(attrs);
  return RunAndWait(new CountingSearchListener,
                    [&](DirectorySearchListener* l) { server.Search(search, names, max, l); });
}

Calls Entries(const ListenerRecord& record) {
  Calls entries;
  for (const std::string& call : record.Calls())
    if (call.rfind("OnSearchEntry(", 0) == 0) entries.push_back(call.substr(14, call.size() - 15));
  return entries;
}

}  // namespace test
}  // namespace zr

int main(int argc, char** argv) {
  setenv("LDAPNOINIT", "1", 1);
  signal(SIGPIPE, SIG_IGN);
  zr::UILoop::AttachCurrentThread();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new zr::test::SlapdEnvironment);
  return RUN_ALL_TESTS();
}
