#include "media/encode_pacing.hpp"

#include <gtest/gtest.h>

namespace veltrano {
namespace {

// Frames of a source at `sourceHz` for `seconds`, starting at `start`; returns how many were admitted.
int admittedOf(double sourceHz, double seconds, std::int32_t fps, std::optional<double>& next, double start = 100.0) {
  int admitted = 0;
  const int frames = static_cast<int>(sourceHz * seconds);
  for (int i = 0; i < frames; ++i) {
    if (admitFrameForEncoding(start + i / sourceHz, fps, next)) ++admitted;
  }
  return admitted;
}

TEST(EncodePacing, PacesASourceToTheEncodeRate) {
  std::optional<double> next;
  EXPECT_EQ(admittedOf(60, 10, 45, next), 450);  // 60 Hz to 45 fps: three of every four frames
  next.reset();
  EXPECT_EQ(admittedOf(60, 10, 30, next), 300);
  next.reset();
  EXPECT_EQ(admittedOf(60, 10, 60, next), 600);  // equal rates lose nothing to jitter
  next.reset();
  EXPECT_EQ(admittedOf(30, 10, 45, next), 300);  // a slower source passes whole
  next.reset();
  EXPECT_EQ(admittedOf(60, 10, 10, next), 100);
}

TEST(EncodePacing, FirstFrameGoesAndMovesTheDeadlineOneInterval) {
  std::optional<double> next;
  EXPECT_TRUE(admitFrameForEncoding(5.0, 10, next));
  ASSERT_TRUE(next);
  EXPECT_DOUBLE_EQ(*next, 5.1);
  EXPECT_FALSE(admitFrameForEncoding(5.05, 10, next));
  EXPECT_DOUBLE_EQ(*next, 5.1);
  // An eighth of an interval early still counts as on time.
  EXPECT_TRUE(admitFrameForEncoding(5.09, 10, next));
  EXPECT_DOUBLE_EQ(*next, 5.2);
}

TEST(EncodePacing, AStallRestartsTheDeadlineFromTheFrame) {
  std::optional<double> next;
  EXPECT_TRUE(admitFrameForEncoding(1.0, 10, next));
  // Two seconds without frames: no burst of catch-up frames afterwards.
  EXPECT_TRUE(admitFrameForEncoding(3.0, 10, next));
  EXPECT_DOUBLE_EQ(*next, 3.1);
  EXPECT_FALSE(admitFrameForEncoding(3.02, 10, next));
}

TEST(EncodePacing, ClearedDeadlineAndNonsenseRates) {
  std::optional<double> next = 50.0;  // far ahead
  EXPECT_FALSE(admitFrameForEncoding(10.0, 45, next));
  next.reset();  // what the host does when it changes the rate
  EXPECT_TRUE(admitFrameForEncoding(10.0, 45, next));
  next.reset();
  EXPECT_TRUE(admitFrameForEncoding(0.0, 0, next));  // 0 and negative rates count as 1 fps
  EXPECT_DOUBLE_EQ(*next, 1.0);
  EXPECT_FALSE(admitFrameForEncoding(0.5, -3, next));
}

}  // namespace
}  // namespace veltrano
