// The open descriptors of this process, and those a program started now is born with (what does not
// close on exec), for tests that nothing leaks into the programs an application starts. Each descriptor
// comes with what /proc names it ("socket:[inode]", "pipe:[inode]", "anon_inode:[eventfd]", a path).
//
// DescriptorsOfAStartedProgram forks: call it while the test program runs no other thread that could
// hold a lock the child needs (the child only execs).
#ifndef ZRAPPAPI_TESTS_DESCRIPTORS_H
#define ZRAPPAPI_TESTS_DESCRIPTORS_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zr {
namespace test {

using Descriptors = std::vector<std::pair<int, std::string>>;  // number, what it leads to

Descriptors OpenDescriptors();

// The descriptors of /bin/sh started by fork and exec, its standard output a pipe to this process;
// nothing if it could not be started or did not finish cleanly.
std::optional<Descriptors> DescriptorsOfAStartedProgram();

// Only those whose target starts with prefix.
Descriptors Leading(const Descriptors& all, const std::string& prefix);

}  // namespace test
}  // namespace zr

#endif
