#pragma once
#include <stdexcept>

namespace veltrano::platform {

// A capture stream could not start: no X server, unknown display, unsupported screen format.
class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace veltrano::platform
