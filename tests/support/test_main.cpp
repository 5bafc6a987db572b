// The main of every test program: owns the shared thread pools for the whole run, so their threads are joined
// before the program exits, and fails the test during which an error escaped a pool thread or a task.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "base/thread_pools.hpp"
#include "base/unhandled_error.hpp"

namespace {
std::atomic<bool> gFailedOutsideTests{false};

void failCurrentTest(std::string_view where, std::exception_ptr error) {
  const auto message = veltrano::describeException(error);
  if (::testing::UnitTest::GetInstance()->current_test_info() == nullptr) {
    // No test to blame (start-up or shutdown): the program's exit status carries it.
    std::fprintf(stderr, "unhandled error in %.*s outside any test: %s\n", static_cast<int>(where.size()),
                 where.data(), message.c_str());
    gFailedOutsideTests = true;
    return;
  }
  ADD_FAILURE() << "unhandled error in " << where << ": " << message;
}
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  veltrano::setUnhandledErrorReporter(failCurrentTest);
  int status = 0;
  {
    veltrano::ThreadPools pools;
    status = RUN_ALL_TESTS();
  }
  veltrano::setUnhandledErrorReporter({});
  return gFailedOutsideTests ? 1 : status;
}
