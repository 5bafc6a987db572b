#pragma once
// The X server for tests comes from scripts/test-env, which exports DISPLAY. When it is missing the
// test fails in CI (CI=true) and is skipped elsewhere:
//
//   TEST(Foo, Bar) { VELTRANO_REQUIRE_X11(); ... }      // or in a fixture's SetUp()
//
// Tests that watch what their pointer and keyboard input produces run on an X server of their own
// (support/quiet_x11_server.hpp).
#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/required_service.hpp"

namespace veltrano::test {

// Why no X server can be used, or nullopt when one answers on $DISPLAY.
inline std::optional<std::string> x11Unavailable() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return std::string("DISPLAY is not set: start the test services with scripts/test-env");
  }
  xcb_connection_t* c = xcb_connect(display, nullptr);
  const bool broken = xcb_connection_has_error(c) != 0;
  xcb_disconnect(c);
  if (broken) return "cannot connect to the X server on DISPLAY=" + std::string(display);
  return std::nullopt;
}

}  // namespace veltrano::test

#define VELTRANO_REQUIRE_X11() VELTRANO_REQUIRE_SERVICE("X server", ::veltrano::test::x11Unavailable())
