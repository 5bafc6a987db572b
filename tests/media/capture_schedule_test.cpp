// The capture policy on virtual time: pacing to the encode rate, the heartbeat and the watchdog.
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

// (The service's tests follow a static screen's heartbeats and answered probes step by step.)

TEST(CaptureSchedule, HeartbeatResendsOnlyWhenItCanAndCountsFromTheLastEncode) {
  Schedule schedule(kStart);
  schedule.captured(kStart);
  // Nothing to resend (no viewer yet): the heartbeat looks again every idleTick, and at each liveness check.
  const auto idle = schedule.step(kStart + Schedule::heartbeatInterval, false);
  EXPECT_FALSE(idle.resendLastFrame);
  EXPECT_EQ(idle.next, kStart + Schedule::livenessCheckInterval);
  EXPECT_EQ(schedule.step(kStart + Schedule::livenessCheckInterval, false).next,
            kStart + Schedule::livenessCheckInterval + Schedule::idleTick);
  // A frame encoded at 1.2 s moves the heartbeat to 2.05 s.
  schedule.encoded(kStart + 1200ms);
  EXPECT_FALSE(schedule.step(kStart + 2s, true).resendLastFrame);
  const auto resend = schedule.step(kStart + 2050ms, true);
  EXPECT_TRUE(resend.resendLastFrame);
  EXPECT_EQ(resend.next, kStart + 2050ms + Schedule::heartbeatInterval);
}

TEST(CaptureSchedule, WatchdogProbesAQuietStreamAndGivesUpAStalledOne) {
  // The last frame at 0.5 s; the probes go unanswered. Probes 2.5 s and 4.5 s after it, the stall at the first
  // check 5 s after it.
  Schedule schedule(kStart);
  schedule.captured(kStart + 500ms);
  std::vector<std::pair<Clock::TimePoint, Schedule::Step>> acted;
  for (auto now = kStart + Schedule::idleTick; acted.empty() || !acted.back().second.stalledFor;) {
    const auto step = schedule.step(now, false);
    if (step.stalledFor || step.requestFrame) acted.emplace_back(now, step);
    ASSERT_GT(step.next, now);
    now = step.next;
  }
  ASSERT_EQ(acted.size(), 3u);
  EXPECT_EQ(acted[0].first, kStart + 3s);
  EXPECT_TRUE(acted[0].second.requestFrame);
  EXPECT_EQ(acted[1].first, kStart + 5s);
  EXPECT_TRUE(acted[1].second.requestFrame);
  EXPECT_EQ(acted[2].first, kStart + 6s);
  EXPECT_EQ(acted[2].second.stalledFor, std::optional<Clock::Duration>(5500ms));
}

}  // namespace
}  // namespace veltrano
