#include "platform/capture/output_size.hpp"

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

TEST(CappedOutputSize, WithoutCapKeepsTheNativeEvenSize) {
  EXPECT_EQ(cappedOutputSize(1920, 1080, 0, 0), (PixelSize{1920, 1080}));
  // 4:2:0 needs even sizes: an odd display loses its last column and row.
  EXPECT_EQ(cappedOutputSize(1366, 767, 0, 0), (PixelSize{1366, 766}));
  EXPECT_EQ(cappedOutputSize(1365, 768, 0, 0), (PixelSize{1364, 768}));
}

TEST(CappedOutputSize, FitsInsideTheBoxKeepingAspect) {
  EXPECT_EQ(cappedOutputSize(3840, 2160, 1920, 1080), (PixelSize{1920, 1080}));
  // Height binds: 1080 / 1600 < 1920 / 2560.
  EXPECT_EQ(cappedOutputSize(2560, 1600, 1920, 1080), (PixelSize{1728, 1080}));
  // Width binds: a tall portrait display.
  EXPECT_EQ(cappedOutputSize(1080, 1920, 540, 1920), (PixelSize{540, 960}));
  // A ratio that does not divide evenly is floored, then made even.
  EXPECT_EQ(cappedOutputSize(2880, 1800, 1001, 1080), (PixelSize{1000, 624}));
}

TEST(CappedOutputSize, NeverEnlargesAndTreatsZeroAsNoLimit) {
  EXPECT_EQ(cappedOutputSize(1280, 720, 1920, 1080), (PixelSize{1280, 720}));
  EXPECT_EQ(cappedOutputSize(3840, 2160, 1920, 0), (PixelSize{1920, 1080}));
  EXPECT_EQ(cappedOutputSize(3840, 2160, 0, 540), (PixelSize{960, 540}));
  EXPECT_EQ(cappedOutputSize(3840, 2160, -5, -5), (PixelSize{3840, 2160}));
}

TEST(CappedOutputSize, NeverGoesBelowTwoByTwo) {
  EXPECT_EQ(cappedOutputSize(4000, 10, 100, 0), (PixelSize{100, 2}));
  EXPECT_EQ(cappedOutputSize(1, 1, 0, 0), (PixelSize{2, 2}));
  EXPECT_EQ(cappedOutputSize(0, 0, 0, 0), (PixelSize{2, 2}));
}

}  // namespace
}  // namespace veltrano::platform
