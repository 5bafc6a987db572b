#pragma once
// The X server for tests comes from scripts/test-env, which exports DISPLAY. When it is missing the
// test fails in CI (CI=true) and is skipped elsewhere:
//
//   TEST(Foo, Bar) { VELTRANO_REQUIRE_X11(); ... }      // or in a fixture's SetUp()
//
// Tests that move the pointer, type or change the focus hold X11InputLock for their whole run, so
// that ctest's parallel processes do not steer the one shared pointer and keyboard at once.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cctype>
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

// Serialises input tests across processes sharing one X server.
class X11InputLock {
 public:
  X11InputLock() {
    std::string name = "/tmp/veltrano-test-x11-input";
    if (const char* display = std::getenv("DISPLAY")) {
      for (const char* p = display; *p != '\0'; ++p) name += (std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
    }
    fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~X11InputLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  X11InputLock(const X11InputLock&) = delete;
  X11InputLock& operator=(const X11InputLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace veltrano::test

#define VELTRANO_REQUIRE_X11() VELTRANO_REQUIRE_SERVICE("X server", ::veltrano::test::x11Unavailable())
