#pragma once
// How capture fails. Both are errors whose what() is their localized description.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace veltrano {

// A stream that stopped by itself (display removed or changed, X server gone, capture stalled); handed to the
// capture service's unexpectedStopHandler.
struct ScreenCaptureFailure : std::runtime_error {
  ScreenCaptureFailure(std::uint32_t displayID, std::string message);
  std::uint32_t displayID;
  std::string message;
};

// A capture that could not start, or a display list that could not be read.
class ScreenCaptureError : public std::runtime_error {
 public:
  enum class Kind { displaysUnavailable, noDisplay, displayNotFound, encoderFailed, streamFailed };

  static ScreenCaptureError displaysUnavailable();
  static ScreenCaptureError noDisplay();
  static ScreenCaptureError displayNotFound(std::uint32_t displayID);
  static ScreenCaptureError encoderFailed(const std::string& reason);
  static ScreenCaptureError streamFailed(const std::string& reason);

  Kind kind() const { return kind_; }

 private:
  ScreenCaptureError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
  Kind kind_;
};

}  // namespace veltrano
