// The real clocks: what they read and that their sleeps end at the deadline or on cancellation.
#include "base/clock.hpp"

#include <time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "base/executors.hpp"
#include "base/task.hpp"

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

TEST(RealClocks, ASleepEndsAtItsDeadlineAndIsCancellableFromAnotherThread) {
  for (const auto& named : {std::pair<const char*, Clock*>{"system", &systemClock()}, {"boot", &bootClock()}}) {
    SCOPED_TRACE(named.first);
    Clock* const clock = named.second;
    auto wokeLate = std::make_shared<std::atomic<bool>>(false);
    const Clock::TimePoint deadline = clock->now() + 30ms;
    auto task = Task::spawn(sharedIo().executor(), [=](TaskToken token) -> asio::awaitable<void> {
      co_await clock->sleepUntil(token, deadline);
      *wokeLate = clock->now() >= deadline;
    });
    ASSERT_TRUE(task.joinBlocking(10s));
    EXPECT_TRUE(*wokeLate) << "woke before the deadline";

    auto sleeper = Task::spawn(sharedIo().executor(), [clock](TaskToken token) -> asio::awaitable<void> {
      co_await sleepFor(token, *clock, 60s);
    });
    std::thread([sleeper] { sleeper.cancel(); }).join();
    EXPECT_TRUE(sleeper.joinBlocking(5s));
  }
}

Clock::Duration readClock(clockid_t id) {
  timespec time{};
  ::clock_gettime(id, &time);
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

TEST(BootClock, ReadsTheClockThatCountsSuspend) {
  const Clock::Duration before = readClock(CLOCK_BOOTTIME);
  const Clock::Duration now = bootClock().now().time_since_epoch();
  const Clock::Duration after = readClock(CLOCK_BOOTTIME);
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

}  // namespace
