#include "ZrFile.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

FILE* ZR_fopen(const char* path, const char* mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  // The suite's files must not leak into processes the application starts: ask for close-on-exec
  // atomically ("e"), and set it again in case the mode was too long to extend.
  char withCloexec[16];
  size_t length = std::strlen(mode);
  FILE* file;
  if (length + 2 <= sizeof(withCloexec)) {
    std::memcpy(withCloexec, mode, length);
    withCloexec[length] = 'e';
    withCloexec[length + 1] = '\0';
    file = std::fopen(path, withCloexec);
  } else {
    file = std::fopen(path, mode);
  }
  if (file) {
    int fd = fileno(file);
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  return file;
}
