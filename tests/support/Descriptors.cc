#include "Descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zr {
namespace test {

Descriptors OpenDescriptors() {
  Descriptors out;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64];
    char target[256];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    out.push_back({fd, target});
  }
  return out;
}

std::optional<Descriptors> DescriptorsOfAStartedProgram() {
  // The program lists its descriptors and what each leads to, one "<fd> <target>" a line.
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  pid_t child = fork();
  if (child < 0) {
    close(out[0]);
    close(out[1]);
    return std::nullopt;
  }
  if (child == 0) {
    dup2(out[1], 1);  // the copy does not close on exec
    execl("/bin/sh", "sh", "-c", "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string listing;
  char buffer[4096];
  bool readFailed = false;
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readFailed = true;
      break;
    }
    listing.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  if (waitpid(child, &status, 0) != child || readFailed) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  Descriptors descriptors;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    descriptors.push_back({std::atoi(line.c_str()), line.substr(space + 1)});
  }
  return descriptors;
}

Descriptors Leading(const Descriptors& all, const std::string& prefix) {
  Descriptors out;
  for (const auto& d : all)
    if (d.second.compare(0, prefix.size(), prefix) == 0) out.push_back(d);
  return out;
}

}  // namespace test
}  // namespace zr
