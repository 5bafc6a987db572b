#include "platform/permissions/x11_permission_probe.hpp"

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

// A reachable server grants both: DefaultPermissionChecks.FollowTheXServer asks it through the shared probe.
TEST(X11PermissionProbe, AnUnreachableDisplayGrantsNothing) {
  X11PermissionProbe probe(":987");  // no server listens there
  EXPECT_FALSE(probe.canCaptureScreen());
  EXPECT_FALSE(probe.canPostEvents());
}

}  // namespace
}  // namespace veltrano::platform
