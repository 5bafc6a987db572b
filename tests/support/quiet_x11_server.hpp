#pragma once
// An X server of the test's own, laid out like the shared one from scripts/test-env (1920x1080, monitors VL-LEFT
// primary and VL-RIGHT), that becomes $DISPLAY for the test's lifetime. Tests that watch what their input
// produces use it: on the shared server the tray host and the window tests map windows that take the pointer's
// presses whenever they happen to lie under it.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "support/private_xvfb.hpp"
#include "support/scoped_environment.hpp"

namespace veltrano::test {

class QuietX11Server {
 public:
  // Why the server could not be made ready, or empty. Call before the test starts threads that read $DISPLAY.
  std::string start() {
    if (!server_.start("1920x1080x24")) return "cannot start a private Xvfb";
    if (xrandr("--output screen --primary") != 0 ||
        xrandr("--setmonitor '*VL-LEFT' 960/254x1080/286+0+0 screen") != 0 ||
        xrandr("--setmonitor VL-RIGHT 960/254x1080/286+960+0 none") != 0) {
      return "xrandr --setmonitor failed on the private Xvfb";
    }
    display_.emplace("DISPLAY", server_.displayName().c_str());
    return {};
  }

 private:
  int xrandr(const std::string& arguments) {
    return std::system(("xrandr -display " + server_.displayName() + " " + arguments + " >/dev/null 2>&1").c_str());
  }

  PrivateXvfb server_;
  // Declared after the server: $DISPLAY is put back before the server stops.
  std::optional<veltrano::testing::ScopedEnvironment> display_;
};

}  // namespace veltrano::test
