#include "platform/permissions/x11_permission_probe.hpp"

#include <gtest/gtest.h>

#include "support/x11_test_env.hpp"

namespace veltrano::platform {
namespace {

TEST(X11PermissionProbe, AnXServerWithXTestGrantsBoth) {
  VELTRANO_REQUIRE_X11();
  X11PermissionProbe probe;
  EXPECT_TRUE(probe.canCaptureScreen());
  EXPECT_TRUE(probe.canPostEvents());  // Xvfb carries XTEST
  // Asked again on the same connection.
  EXPECT_TRUE(probe.canCaptureScreen());
}

TEST(X11PermissionProbe, AnUnreachableDisplayGrantsNothing) {
  X11PermissionProbe probe(":987");  // no server listens there
  EXPECT_FALSE(probe.canCaptureScreen());
  EXPECT_FALSE(probe.canPostEvents());
}

}  // namespace
}  // namespace veltrano::platform
