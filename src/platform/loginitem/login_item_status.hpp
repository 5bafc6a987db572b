#pragma once

namespace veltrano::platform {

// The login item's registration, with the raw values the system's code knows. On Linux (XDG autostart) only
// three occur: notRegistered (no entry, or one that is hidden, disabled or starts another program), enabled,
// and notFound (no configuration folder can be found for the entry). requiresApproval needs an approving
// authority that plain autostart folders do not have, so it never occurs here.
enum class LoginItemStatus {
  notRegistered = 0,
  enabled = 1,
  requiresApproval = 2,
  notFound = 3,
};

}  // namespace veltrano::platform
