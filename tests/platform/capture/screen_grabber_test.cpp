#include "platform/capture/screen_grabber.hpp"

#include <cstring>

#include <gtest/gtest.h>

#include "platform/capture/capture_error.hpp"
#include "two_monitor_screen.hpp"

namespace veltrano::platform {
namespace {

using test::Rgb;
using test::TwoMonitorScreen;

TEST(ScreenGrabber, SharedMemoryAndGetImageGrabTheSamePixels) {
  TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill({0, 0, 640, 480}, Rgb{0, 0, 0});
  screen.fill({300, 100, 80, 60}, Rgb{10, 200, 30});  // straddles both monitors
  xcb_connection_t* c = screen.display().connection();
  const Rect area = screen.right().bounds;

  ScreenGrabber shared(c, screen.display().rootWindow(), area, /*tryShm=*/true);
  ScreenGrabber plain(c, screen.display().rootWindow(), area, /*tryShm=*/false);
  EXPECT_TRUE(shared.usesSharedMemory());
  EXPECT_FALSE(plain.usesSharedMemory());
  std::string error;
  ASSERT_TRUE(shared.grab(error)) << error;
  ASSERT_TRUE(plain.grab(error)) << error;
  ASSERT_EQ(shared.stride(), area.width * 4);
  ASSERT_EQ(plain.stride(), area.width * 4);

  // The right monitor starts at x = 320: the box covers its columns 0..59, rows 100..159.
  for (int y = 0; y < area.height; ++y) {
    for (int x = 0; x < area.width; ++x) {
      const std::uint8_t* a = shared.pixels() + y * shared.stride() + x * 4;
      const std::uint8_t* b = plain.pixels() + y * plain.stride() + x * 4;
      ASSERT_EQ(std::memcmp(a, b, 3), 0) << "at " << x << "," << y;
      const bool inBox = x < 60 && y >= 100 && y < 160;
      ASSERT_EQ(a[0], inBox ? 30 : 0) << "blue at " << x << "," << y;
      ASSERT_EQ(a[1], inBox ? 200 : 0) << "green at " << x << "," << y;
      ASSERT_EQ(a[2], inBox ? 10 : 0) << "red at " << x << "," << y;
    }
  }
}

TEST(ScreenGrabber, AreaOutsideTheScreenFailsWithAReason) {
  TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  for (bool tryShm : {true, false}) {
    ScreenGrabber grabber(screen.display().connection(), screen.display().rootWindow(), {600, 0, 100, 100}, tryShm);
    std::string error;
    EXPECT_FALSE(grabber.grab(error));
    EXPECT_NE(error.find("GetImage failed"), std::string::npos) << error;
    // A failed shared-memory grab leaves MIT-SHM for plain GetImage.
    EXPECT_FALSE(grabber.usesSharedMemory());
  }
  EXPECT_THROW(ScreenGrabber(screen.display().connection(), screen.display().rootWindow(), {0, 0, 0, 10}, true),
               CaptureError);
}

}  // namespace
}  // namespace veltrano::platform
