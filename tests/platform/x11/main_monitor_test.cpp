#include <gtest/gtest.h>

#include "platform/x11/x11_display.hpp"

namespace veltrano::platform {
namespace {

X11Monitor monitor(std::uint32_t id, Rect bounds, bool primary = false) {
  return X11Monitor{id, "M" + std::to_string(id), bounds, primary};
}

TEST(MainMonitor, PicksPrimaryThenOriginThenFirst) {
  EXPECT_EQ(X11Display::mainMonitor({}), std::nullopt);

  // The primary wins even when it is neither first nor at the origin.
  const std::vector<X11Monitor> withPrimary{monitor(1, {0, 0, 800, 600}), monitor(2, {800, 0, 800, 600}, true)};
  EXPECT_EQ(X11Display::mainMonitor(withPrimary)->id, 2u);

  // Without a primary, the one at (0,0), wherever it is listed.
  const std::vector<X11Monitor> originSecond{monitor(3, {1920, 0, 800, 600}), monitor(4, {0, 0, 1920, 1080})};
  EXPECT_EQ(X11Display::mainMonitor(originSecond)->id, 4u);

  // Neither: the first one listed.
  const std::vector<X11Monitor> neither{monitor(5, {10, 10, 800, 600}), monitor(6, {0, 700, 800, 600})};
  EXPECT_EQ(X11Display::mainMonitor(neither)->id, 5u);

  // A monitor at (0,0) sharing its origin with the primary: still the primary.
  const std::vector<X11Monitor> shared{monitor(7, {0, 0, 800, 600}), monitor(8, {0, 0, 400, 300}, true)};
  EXPECT_EQ(X11Display::mainMonitor(shared)->id, 8u);
}

}  // namespace
}  // namespace veltrano::platform
