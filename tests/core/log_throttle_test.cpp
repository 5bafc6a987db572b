#include "core/log_throttle.hpp"

#include <gtest/gtest.h>

#include "core/log_capture.hpp"

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

// Writes `count` lines of `kind` numbered from `first`.
void writeLines(LogThrottle& throttle, std::string_view kind, int first, int count) {
  for (int i = first; i < first + count; ++i) {
    throttle.write(kind, LogCategory::Error, [&] { return std::string(kind) + " " + std::to_string(i); });
  }
}

}  // namespace

TEST(LogThrottle, AfterABurstLinesAreLeftOutUntilThePeriodEndsAndTheNextLineCountsThem) {
  ScopedLogCapture logs;
  VirtualClock clock;
  LogThrottle throttle(clock, LogThrottleLimits{3, 10s});

  writeLines(throttle, "failed", 1, 5);
  writeLines(throttle, "closed", 1, 1);  // another kind has a burst of its own
  clock.advance(9s);
  writeLines(throttle, "failed", 6, 1);  // still the same period
  clock.advance(1s);
  writeLines(throttle, "failed", 7, 4);
  clock.advance(10s);
  writeLines(throttle, "failed", 11, 1);

  EXPECT_EQ(logs.messages(), (std::vector<std::string>{
                                 "failed 1", "failed 2", "failed 3", "closed 1",
                                 "failed 7 (3 similar lines left out)", "failed 8", "failed 9",
                                 "failed 11 (1 similar lines left out)"}));
}

TEST(LogThrottle, LinesLeftOutAreNeverBuilt) {
  ScopedLogCapture logs;
  VirtualClock clock;
  LogThrottle throttle(clock, LogThrottleLimits{1, 1s});
  int built = 0;
  for (int i = 0; i < 100; ++i) {
    throttle.write("kind", LogCategory::NET, [&] { return std::to_string(++built); });
  }
  EXPECT_EQ(built, 1);
  EXPECT_EQ(throttle.admit("kind"), std::nullopt);
  clock.advance(1s);
  EXPECT_EQ(throttle.admit("kind"), 100u);
}

TEST(LogThrottle, ConnectionsUnderOneListenerShareItsBoundAndTheNextLineCountsWhatEitherLeftOut) {
  ScopedLogCapture logs;
  VirtualClock clock;
  auto listener = std::make_shared<LogThrottle>(clock, LogThrottleLimits{4, 10s});
  // A peer that reconnects after every line gets a fresh connection throttle each time.
  for (int i = 1; i <= 10; ++i) {
    LogThrottle connection(clock, LogThrottleLimits{3, 10s}, listener);
    writeLines(connection, "command", i, 1);
  }
  LogThrottle busy(clock, LogThrottleLimits{3, 10s}, listener);
  clock.advance(10s);
  writeLines(busy, "command", 11, 5);
  clock.advance(10s);
  writeLines(busy, "command", 16, 1);
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{
                                 "command 1", "command 2", "command 3", "command 4",
                                 "command 11 (6 similar lines left out)", "command 12", "command 13",
                                 "command 16 (2 similar lines left out)"}));
}
