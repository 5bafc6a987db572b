#pragma once
// The English texts of the file panels' "host.file.*" keys.
#include "core/localization.hpp"

namespace veltrano {

const LocalizationTable& fileTransferLocalizedStrings();
// Adds them to the application's tables once; later calls do nothing.
void registerFileTransferLocalizedStrings();

}  // namespace veltrano
