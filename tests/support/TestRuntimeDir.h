// A fresh private runtime directory for channels, for the lifetime of the object: made with mkdtemp under
// /tmp (short, since socket paths are limited to 108 bytes), 0700, set with IPC_SetRuntimeDirectory. The
// destructor removes the directory with everything in it and restores the default runtime directory.
//
// Create one per test (e.g. as a fixture member) before any fake service or client opens a channel.
#ifndef ZRAPPAPI_TESTS_TESTRUNTIMEDIR_H
#define ZRAPPAPI_TESTS_TESTRUNTIMEDIR_H

#include <string>

namespace zr {
namespace test {

class TestRuntimeDir {
 public:
  TestRuntimeDir();
  ~TestRuntimeDir();
  TestRuntimeDir(const TestRuntimeDir&) = delete;
  TestRuntimeDir& operator=(const TestRuntimeDir&) = delete;

  const std::string& Path() const { return mPath; }
  // The socket path a channel name gets in this directory.
  std::string ChannelPath(const std::string& name) const { return mPath + "/" + name; }

 private:
  std::string mPath;
};

}  // namespace test
}  // namespace zr

#endif
