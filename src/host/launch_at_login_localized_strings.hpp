#pragma once
// The English texts of the launch-at-login errors ("host.error.launch_at_login_*", "host.error.login_item.*").
#include "core/localization.hpp"

namespace veltrano {

const LocalizationTable& launchAtLoginLocalizedStrings();
// Adds them to the application's tables once; later calls do nothing.
void registerLaunchAtLoginLocalizedStrings();

}  // namespace veltrano
