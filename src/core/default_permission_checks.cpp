#include "core/permission_manager.hpp"
#include "platform/permissions/x11_permission_probe.hpp"

namespace veltrano {

PermissionChecks defaultPermissionChecks() {
  auto probe = platform::sharedX11PermissionProbe();
  auto canPost = [probe] { return probe->canPostEvents(); };
  auto canCapture = [probe] { return probe->canCaptureScreen(); };
  return PermissionChecks{canPost, canPost, canPost, canCapture, canCapture};
}

}  // namespace veltrano
