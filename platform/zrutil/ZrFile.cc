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
  // atomically ("e" among the mode letters, before any ",ccs=" part, which runs to the end of the mode),
  // and set it again in case the mode was too long to extend.
  char withCloexec[32];
  size_t length = std::strlen(mode);
  size_t letters = std::strcspn(mode, ",");
  FILE* file;
  if (length + 2 <= sizeof(withCloexec)) {
    std::memcpy(withCloexec, mode, letters);
    withCloexec[letters] = 'e';
    std::memcpy(withCloexec + letters + 1, mode + letters, length - letters + 1);
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
