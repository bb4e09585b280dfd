// What the directory tests share: the private slapd started once by the test main, a fixture that needs
// it, helpers that run a request and wait for its listener's release, and access to a server's private
// parts.
#ifndef ZR_TESTS_DIRECTORY_DIRECTORYTESTENVIRONMENT_H
#define ZR_TESTS_DIRECTORY_DIRECTORYTESTENVIRONMENT_H

#include <gtest/gtest.h>
#include <prtime.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "CountingListeners.h"
#include "DirectoryServer.h"
#include "DirectoryTestListeners.h"
#include "SlapdFixture.h"

namespace zr {
namespace test {

using Calls = std::vector<std::string>;

// People generated for the test run (several thousand).
constexpr int kTestPeople = 3000;

// Null when slapd could not start (the tests needing it fail with the reason).
Slapd* TestSlapd();
const std::string& TestSlapdError();

// Runs the UI queue until every given record shows a release, or 10 s pass.
bool PumpUntilReleased(std::initializer_list<const ListenerRecord*> records);
bool Finished(const std::shared_ptr<ListenerRecord>& record);

// Each queues its request and waits for the listener's release; a search listener must also have been
// released once, on the UI thread.
std::shared_ptr<ListenerRecord> ConnectAndWait(DirectoryServer& server);
std::shared_ptr<ListenerRecord> TypeDownAndWait(DirectoryServer& server, const char* text, int max = 10);
std::shared_ptr<ListenerRecord> SearchAndWait(DirectoryServer& server, DirectorySearch& search,
                                              std::initializer_list<const char*> attrs, int max);
// The entries of a search listener's calls, as Describe gives them.
Calls Entries(const ListenerRecord& record);

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slapd = TestSlapd();
    ASSERT_NE(slapd, nullptr) << TestSlapdError();
  }
  Slapd* slapd = nullptr;
};

}  // namespace test
}  // namespace zr

class DirectoryServerTestPeer {
 public:
  static void SetClock(PRTime (*now)()) { DirectoryServer::sNow = now; }
  static void ResetClock() { DirectoryServer::sNow = PR_Now; }
  static void SearchNoCancel(DirectoryServer* server, DirectorySearch& search, List<const char*>& attrs,
                             int maxResults, DirectorySearchListener* listener) {
    server->SearchNoCancel(search, attrs, maxResults, listener);
  }
};

#endif
