// The private slapd shared by every test of the directory test program, started once by the test main.
#ifndef ZR_TESTS_DIRECTORY_DIRECTORYTESTENVIRONMENT_H
#define ZR_TESTS_DIRECTORY_DIRECTORYTESTENVIRONMENT_H

#include <gtest/gtest.h>
#include <prtime.h>

#include <initializer_list>
#include <string>

#include "CountingListeners.h"
#include "DirectoryServer.h"
#include "SlapdFixture.h"

namespace zr {
namespace test {

// People generated for the test run (several thousand).
constexpr int kTestPeople = 3000;

// Null when slapd could not start (the tests needing it fail with the reason).
Slapd* TestSlapd();
const std::string& TestSlapdError();

// Runs the UI queue until every given record shows a release, or 10 s pass.
bool PumpUntilReleased(std::initializer_list<const ListenerRecord*> records);

}  // namespace test
}  // namespace zr

// Test access to a server's private parts.
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
