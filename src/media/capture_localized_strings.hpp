#pragma once
// The English texts of the capture's "capture.error.*" keys.
#include "core/localization.hpp"

namespace veltrano {

const LocalizationTable& captureLocalizedStrings();
// Adds them to the application's tables once; later calls do nothing.
void registerCaptureLocalizedStrings();

}  // namespace veltrano
