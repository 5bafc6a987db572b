#pragma once
// The English texts of the control channel's "host.log.command.*" keys and of the Bonjour publisher's errors.
#include "core/localization.hpp"

namespace veltrano {

const LocalizationTable& controlLocalizedStrings();
// Adds them to the application's tables once; later calls do nothing.
void registerControlLocalizedStrings();

}  // namespace veltrano
