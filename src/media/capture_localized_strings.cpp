#include "media/capture_localized_strings.hpp"

namespace veltrano {

const LocalizationTable& captureLocalizedStrings() {
  static const LocalizationTable table = {
      {"capture.error.displays_unavailable", "The list of displays cannot be read (no X server reachable)."},
      {"capture.error.no_display", "There is no display to capture."},
      {"capture.error.display_not_found_format", "Display %d was not found."},
      {"capture.error.encoder_format", "The video encoder cannot start: %s"},
      {"capture.error.stream_format", "The capture cannot start: %s"},
  };
  return table;
}

void registerCaptureLocalizedStrings() { registerLocalizedStringsOnce(captureLocalizedStrings()); }

}  // namespace veltrano
