#include "media/screen_capture_errors.hpp"

#include <utility>

#include "media/capture_localized_strings.hpp"

namespace veltrano {

ScreenCaptureFailure::ScreenCaptureFailure(std::uint32_t id, std::string text)
    : std::runtime_error(text), displayID(id), message(std::move(text)) {}

ScreenCaptureError ScreenCaptureError::displaysUnavailable() {
  registerCaptureLocalizedStrings();
  return {Kind::displaysUnavailable, localized("capture.error.displays_unavailable")};
}

ScreenCaptureError ScreenCaptureError::noDisplay() {
  registerCaptureLocalizedStrings();
  return {Kind::noDisplay, localized("capture.error.no_display")};
}

ScreenCaptureError ScreenCaptureError::displayNotFound(std::uint32_t displayID) {
  registerCaptureLocalizedStrings();
  return {Kind::displayNotFound, localizedFormat("capture.error.display_not_found_format", displayID)};
}

ScreenCaptureError ScreenCaptureError::encoderFailed(const std::string& reason) {
  registerCaptureLocalizedStrings();
  return {Kind::encoderFailed, localizedFormat("capture.error.encoder_format", reason)};
}

ScreenCaptureError ScreenCaptureError::streamFailed(const std::string& reason) {
  registerCaptureLocalizedStrings();
  return {Kind::streamFailed, localizedFormat("capture.error.stream_format", reason)};
}

}  // namespace veltrano
