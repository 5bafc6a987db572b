// The capture policy on virtual time: pacing to the encode rate, the heartbeat and the watchdog.
#include "media/capture_schedule.hpp"

#include <gtest/gtest.h>

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

// Steps the schedule as the heartbeat does, from `from` until `until`; frames come at `frameTimes` (each admitted
// and encoded) and when a probe asks for one if `probesAnswered`. Returns the steps that did something.
struct Stepped {
  Clock::TimePoint at;
  Schedule::Step step;
};
std::vector<Stepped> run(Schedule& schedule, Clock::TimePoint until, bool canResend, bool probesAnswered,
                         std::vector<Clock::TimePoint> frameTimes = {}) {
  std::vector<Stepped> done;
  auto now = kStart + Schedule::idleTick;
  std::size_t nextFrame = 0;
  while (now <= until) {
    for (; nextFrame < frameTimes.size() && frameTimes[nextFrame] <= now; ++nextFrame) {
      schedule.captured(frameTimes[nextFrame]);
      if (schedule.admitFrame(frameTimes[nextFrame], 45)) schedule.encoded(frameTimes[nextFrame]);
    }
    const auto step = schedule.step(now, canResend);
    if (step.stalledFor || step.requestFrame || step.resendLastFrame) done.push_back({now, step});
    if (step.stalledFor) break;
    if (step.requestFrame && probesAnswered) {
      schedule.captured(now);
      if (schedule.admitFrame(now, 45)) schedule.encoded(now);
    }
    EXPECT_GT(step.next, now);
    now = step.next;
  }
  return done;
}

TEST(CaptureSchedule, HeartbeatResendsAfterQuietAndOnlyWhenItCan) {
  Schedule schedule(kStart);
  schedule.captured(kStart);
  ASSERT_TRUE(schedule.admitFrame(kStart, 45));
  schedule.encoded(kStart);
  auto lastEncode = kStart;
  int resends = 0;
  for (const auto& s : run(schedule, kStart + 4s, true, true)) {
    if (s.step.resendLastFrame) {
      ++resends;
      EXPECT_EQ(s.at - lastEncode, Schedule::heartbeatInterval);
    }
    lastEncode = s.at;  // a resend, or the frame that answered a probe
  }
  EXPECT_EQ(resends, 4);

  // Nothing to resend (no viewer yet): no resend, and the heartbeat looks again every idleTick.
  Schedule idle(kStart);
  idle.captured(kStart);
  const auto step = idle.step(kStart + Schedule::heartbeatInterval, false);
  EXPECT_FALSE(step.resendLastFrame);
  EXPECT_EQ(step.next, kStart + Schedule::livenessCheckInterval);
  EXPECT_EQ(idle.step(kStart + Schedule::livenessCheckInterval, false).next,
            kStart + Schedule::livenessCheckInterval + Schedule::idleTick);
  // A frame encoded at 1.2 s moves the heartbeat to 2.05 s.
  idle.encoded(kStart + 1200ms);
  EXPECT_FALSE(idle.step(kStart + 2s, true).resendLastFrame);
  EXPECT_TRUE(idle.step(kStart + 2050ms, true).resendLastFrame);
}

TEST(CaptureSchedule, WatchdogProbesAQuietStreamAndGivesUpAStalledOne) {
  // Probes that are answered keep a static screen alive: one every livenessProbeAfter.
  Schedule quiet(kStart);
  std::vector<Clock::TimePoint> probes;
  for (const auto& s : run(quiet, kStart + 12s, false, true)) {
    EXPECT_FALSE(s.step.stalledFor);
    if (s.step.requestFrame) probes.push_back(s.at);
  }
  EXPECT_EQ(probes, (std::vector<Clock::TimePoint>{kStart + 2s, kStart + 4s, kStart + 6s, kStart + 8s, kStart + 10s,
                                                    kStart + 12s}));

  // Unanswered: probes 2.5 s and 4.5 s after the last frame, the stall at the first check 5 s after it.
  Schedule stalled(kStart);
  const auto steps = run(stalled, kStart + 20s, false, false, {kStart + 500ms});
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].at, kStart + 3s);  // 2.5 s without a frame at the check
  EXPECT_TRUE(steps[0].step.requestFrame);
  EXPECT_EQ(steps[1].at, kStart + 5s);
  EXPECT_TRUE(steps[1].step.requestFrame);
  EXPECT_EQ(steps[2].at, kStart + 6s);
  ASSERT_TRUE(steps[2].step.stalledFor);
  EXPECT_EQ(*steps[2].step.stalledFor, 5500ms);
}

}  // namespace
}  // namespace veltrano
