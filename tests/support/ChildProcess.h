// Running a step that might hang in a child process, so that a hang fails the test by its own time-out
// instead of stopping the test program: the child runs body on its only thread (the UI thread, when the
// parent's test thread was), and exits 0 unless a test assertion failed in it. Its failures are printed
// by the child.
//
// Fork only while the test program runs no other thread (fake services and clients live inside body).
#ifndef ZRAPPAPI_TESTS_CHILDPROCESS_H
#define ZRAPPAPI_TESTS_CHILDPROCESS_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace zr {
namespace test {

// Success when body finished in the child within timeout without a failed assertion; a child still
// running at the time-out is killed.
::testing::AssertionResult FinishesInChild(const std::function<void()>& body,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace test
}  // namespace zr

#endif
