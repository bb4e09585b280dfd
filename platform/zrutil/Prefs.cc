#include "Prefs.h"

#include <prprf.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace {

std::mutex gMutex;
std::string* gInstallDirectory = nullptr;  // set by SetInstallDirectory; guarded by gMutex

std::string ExecutableDirectory() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  std::string exe(path, static_cast<size_t>(length));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return exe.substr(0, slash);
}

}  // namespace

char* Prefs::MakeInstallPath(const char* name, char* buffer, int size) {
  if (!buffer || size <= 0) return buffer;
  std::string directory;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gInstallDirectory) directory = *gInstallDirectory;
  }
  if (directory.empty()) directory = ExecutableDirectory();
  const char* separator = directory.back() == '/' ? "" : "/";
  PR_snprintf(buffer, static_cast<PRUint32>(size), "%s%s%s", directory.c_str(), separator, name ? name : "");
  return buffer;
}

void Prefs::SetInstallDirectory(const char* directory) {
  std::lock_guard<std::mutex> lock(gMutex);
  delete gInstallDirectory;
  gInstallDirectory = directory && *directory ? new std::string(directory) : nullptr;
}
