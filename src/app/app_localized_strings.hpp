#pragma once
#include "core/localization.hpp"

namespace veltrano::app {

// The English texts of the window's and the menu's keys.
const LocalizationTable& appLocalizedStrings();
void registerAppLocalizedStrings();

}  // namespace veltrano::app
