#include "base/thread_pools.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <atomic>
#include <stdexcept>

#include "base/executors.hpp"
#include "support/eventually.hpp"
#include "support/expected_unhandled_errors.hpp"

using namespace veltrano;

TEST(ThreadPoolsTest, AnErrorEscapingAHandlerIsReportedWithItsPoolAndThePoolKeepsServing) {
  veltrano::testing::ExpectedUnhandledErrors expected;
  asio::post(sharedIo().executor(), [] { throw std::runtime_error("handler failed"); });
  auto error = expected.errors().waitForValue(0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->where, "shared I/O");
  EXPECT_EQ(error->message, "handler failed");

  std::atomic<bool> ran{false};
  asio::post(sharedIo().executor(), [&] { ran = true; });
  EXPECT_TRUE(veltrano::testing::eventually([&] { return ran.load(); }));
}

TEST(ThreadPoolsTest, ASecondOwnerIsAProgrammingError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH({ ThreadPools second; }, "second owner");
}
