// The capture policy's pacing to the encode rate on virtual time. Its heartbeat and watchdog: the capture
// service's tests of a static screen, a stalled stream and a new viewer.
#include "media/capture_schedule.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using Schedule = CaptureSchedule;
const Clock::TimePoint kStart = Clock::TimePoint{} + 100s;

// Frames of a source at `sourceHz` for `seconds`; how many go to the encoder at `fps`.
int admittedOf(Schedule& schedule, int sourceHz, int seconds, std::int32_t fps, Clock::TimePoint start = kStart) {
  int admitted = 0;
  for (int i = 0; i < sourceHz * seconds; ++i) {
    if (schedule.admitFrame(start + std::chrono::nanoseconds(1'000'000'000LL * i / sourceHz), fps)) ++admitted;
  }
  return admitted;
}

TEST(CaptureSchedule, PacesASourceToTheEncodeRate) {
  struct Case {
    int sourceHz;
    std::int32_t fps;
    int admittedIn10s;
  };
  for (const Case c : {Case{60, 45, 450}, Case{60, 30, 300}, Case{60, 60, 600}, Case{30, 45, 300}, Case{60, 10, 100},
                       Case{2, 0, 10}, Case{2, -3, 10}}) {  // rates below 1 count as 1
    Schedule schedule(kStart);
    EXPECT_EQ(admittedOf(schedule, c.sourceHz, 10, c.fps), c.admittedIn10s) << c.sourceHz << " Hz to " << c.fps;
  }
}

TEST(CaptureSchedule, PacingDeadlineHasSlackAndRestartsAfterAPause) {
  Schedule schedule(kStart);
  EXPECT_TRUE(schedule.admitFrame(kStart, 10));
  EXPECT_FALSE(schedule.admitFrame(kStart + 50ms, 10));
  EXPECT_TRUE(schedule.admitFrame(kStart + 90ms, 10));  // an eighth of an interval early is on time
  EXPECT_FALSE(schedule.admitFrame(kStart + 180ms, 10));
  // Two seconds without frames: no burst of catch-up frames afterwards.
  EXPECT_TRUE(schedule.admitFrame(kStart + 2s, 10));
  EXPECT_FALSE(schedule.admitFrame(kStart + 2s + 20ms, 10));
  EXPECT_TRUE(schedule.admitFrame(kStart + 2s + 100ms, 10));
}

}  // namespace
}  // namespace veltrano
