// Test main of the directory tests: LDAP library defaults off, SIGPIPE ignored (a server closing a
// connection must fail a write, not end the process), the UI thread is this one, one private slapd.
#include <signal.h>
#include <stdlib.h>

#include <memory>

#include "CountingListeners.h"
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
