#include "platform/capture/output_size.hpp"

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

TEST(CappedOutputSize, FitsTheBoxKeepingAspectAndEvenSizes) {
  struct Case {
    int width, height, maxWidth, maxHeight;
    PixelSize expected;
    const char* why;
  };
  const Case cases[] = {
      {1920, 1080, 0, 0, {1920, 1080}, "no cap: the native size"},
      {1366, 767, 0, 0, {1366, 766}, "4:2:0 needs even sizes: the last row goes"},
      {1365, 768, 0, 0, {1364, 768}, "and the last column"},
      {3840, 2160, 1920, 1080, {1920, 1080}, "same aspect"},
      {2560, 1600, 1920, 1080, {1728, 1080}, "height binds"},
      {1080, 1920, 540, 1920, {540, 960}, "width binds"},
      {2880, 1800, 1001, 1080, {1000, 624}, "an uneven ratio is floored, then made even"},
      {1280, 720, 1920, 1080, {1280, 720}, "never enlarges"},
      {3840, 2160, 1920, 0, {1920, 1080}, "zero height is no limit"},
      {3840, 2160, 0, 540, {960, 540}, "zero width is no limit"},
      {3840, 2160, -5, -5, {3840, 2160}, "negative is no limit"},
      {4000, 10, 100, 0, {100, 2}, "never below two rows"},
      {1, 1, 0, 0, {2, 2}, "never below two by two"},
      {0, 0, 0, 0, {2, 2}, "nor from nothing"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cappedOutputSize(c.width, c.height, c.maxWidth, c.maxHeight), c.expected) << c.why;
  }
}

}  // namespace
}  // namespace veltrano::platform
