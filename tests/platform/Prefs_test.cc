#include "Prefs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZrFile.h"

namespace {

TEST(Prefs, InstallPathIsBesideTheExecutableUnlessSet) {
  char path[4096];
  // The directory of the running program: naming the test program itself finds this very file.
  struct stat exe, found;
  ASSERT_EQ(0, stat("/proc/self/exe", &exe));
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const char* base = std::strrchr(self, '/') + 1;
  EXPECT_EQ(path, Prefs::MakeInstallPath(base, path, sizeof(path)));
  ASSERT_EQ(0, stat(path, &found)) << path;
  EXPECT_EQ(exe.st_ino, found.st_ino);
  EXPECT_EQ(exe.st_dev, found.st_dev);
  EXPECT_EQ('/', path[0]);

  Prefs::SetInstallDirectory("/opt/suite");
  EXPECT_STREQ("/opt/suite/kv_abook.sch", Prefs::MakeInstallPath("kv_abook.sch", path, sizeof(path)));
  Prefs::SetInstallDirectory("/opt/suite/");
  EXPECT_STREQ("/opt/suite/kv_abook.sch", Prefs::MakeInstallPath("kv_abook.sch", path, sizeof(path)));
  // Cut to the buffer, always terminated.
  char small[8];
  std::memset(small, 'x', sizeof(small));
  EXPECT_STREQ("/opt/su", Prefs::MakeInstallPath("kv_abook.sch", small, sizeof(small)));
  EXPECT_EQ(nullptr, Prefs::MakeInstallPath("x", nullptr, 10));
  small[0] = 'q';
  Prefs::MakeInstallPath("x", small, 0);  // no room: untouched
  EXPECT_EQ('q', small[0]);

  Prefs::SetInstallDirectory(nullptr);
  Prefs::MakeInstallPath(base, path, sizeof(path));
  ASSERT_EQ(0, stat(path, &found));
  EXPECT_EQ(exe.st_ino, found.st_ino);
}

TEST(ZrFile, OpensLikeFopenWithCloseOnExec) {
  char name[] = "/tmp/zrutil_fileXXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);

  FILE* out = ZR_fopen(name, "w");
  ASSERT_NE(nullptr, out);
  EXPECT_TRUE(fcntl(fileno(out), F_GETFD) & FD_CLOEXEC);
  std::fputs("schema text\n", out);
  std::fclose(out);

  FILE* in = ZR_fopen(name, "rb");
  ASSERT_NE(nullptr, in);
  EXPECT_TRUE(fcntl(fileno(in), F_GETFD) & FD_CLOEXEC);
  char line[64] = {0};
  ASSERT_NE(nullptr, std::fgets(line, sizeof(line), in));
  EXPECT_STREQ("schema text\n", line);
  std::fclose(in);

  // Modes fopen takes are taken too, with close-on-exec: one with a character set, one too long to
  // extend.
  for (std::string mode : {std::string("r,ccs=UTF-8"), "r" + std::string(40, 'b')}) {
#ifdef __SANITIZE_ADDRESS__
    // glibc never frees the conversion steps of a stream with a character set; not ours to report.
    __lsan::ScopedDisabler glibcKeepsConversions;
#endif
    FILE* file = ZR_fopen(name, mode.c_str());
    ASSERT_NE(nullptr, file) << mode;
    EXPECT_TRUE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC) << mode;
    std::fclose(file);
  }
  unlink(name);

  errno = 0;
  EXPECT_EQ(nullptr, ZR_fopen(name, "r"));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(nullptr, ZR_fopen(nullptr, "r"));
  EXPECT_EQ(nullptr, ZR_fopen(name, nullptr));
}

}  // namespace
