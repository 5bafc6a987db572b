// The main of every test program: owns the shared thread pools for the whole run, so their threads are joined
// before the program exits, and fails the test during which an error escaped a pool thread or a task.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "base/executors.hpp"
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
  // The tests run on the program's main thread, which owns what lives there (the metrics store, the models),
  // also before a test installs a main loop of its own.
  veltrano::setMainExecutor({}, std::this_thread::get_id());
  int status = 0;
  {
    veltrano::ThreadPools pools;
    status = RUN_ALL_TESTS();
  }
  veltrano::setUnhandledErrorReporter({});
  return gFailedOutsideTests ? 1 : status;
}
