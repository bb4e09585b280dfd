#include "TestRuntimeDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "IPCChannel.h"

namespace zr {
namespace test {

TestRuntimeDir::TestRuntimeDir() {
  char path[] = "/tmp/zrt-XXXXXX";
  if (mkdtemp(path) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  mPath = path;
  chmod(path, 0700);
  IPC_SetRuntimeDirectory(path);
}

TestRuntimeDir::~TestRuntimeDir() {
  IPC_SetRuntimeDirectory(nullptr);
  if (mPath.empty()) return;
  // A test may have made the directory unreadable or given it away; take it back before removing it.
  chmod(mPath.c_str(), 0700);
  std::error_code ignored;
  std::filesystem::remove_all(mPath, ignored);
}

}  // namespace test
}  // namespace zr
