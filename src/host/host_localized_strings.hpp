#pragma once
// The English texts of the host lifecycle's keys: start-up errors, the remote access line, the Bonjour name.
#include "core/localization.hpp"

namespace veltrano {

const LocalizationTable& hostLocalizedStrings();
// Adds them to the application's tables once; later calls do nothing.
void registerHostLocalizedStrings();

}  // namespace veltrano
