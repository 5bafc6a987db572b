#pragma once
// The English texts of remote access's status lines.
#include "core/localization.hpp"

namespace veltrano {

const LocalizationTable& remoteHostLocalizedStrings();
void registerRemoteHostLocalizedStrings();

}  // namespace veltrano
