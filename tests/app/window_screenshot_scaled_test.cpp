// The running console at twice the scale, as on a high-density screen: a process of its own, since Qt reads the
// scale when it starts.
#include <cstdlib>

#include <gtest/gtest.h>

#include "app/window_pictures.hpp"

namespace veltrano {
namespace {

class ScaledWindowScreenshotTest : public testing::WindowPictures {
 protected:
  static void SetUpTestSuite() {
    setenv("QT_SCALE_FACTOR", "2", 1);
    WindowPictures::SetUpTestSuite();
  }
};

TEST_F(ScaledWindowScreenshotTest, RunningConsoleAtTwiceTheScaleMatchesItsReference) {
  running(2, true);
  const QImage picture = window(true);
  EXPECT_EQ(picture.size(), QSize(1920, 1300));
  EXPECT_TRUE(testing::matchesReference(picture, "console-running-two-tablets-960-at-200-percent"));
}

}  // namespace
}  // namespace veltrano
