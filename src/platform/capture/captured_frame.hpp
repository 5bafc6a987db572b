#pragma once
// One grabbed picture of a display, as the capture thread hands it on.
#include <chrono>
#include <cstdint>
#include <vector>

namespace veltrano::platform {

struct CapturedFrame {
  // Rows of 4-byte pixels, B G R X in memory (libyuv's "ARGB"). X gives no alpha: the fourth byte means nothing.
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
  std::chrono::steady_clock::time_point timestamp;  // CLOCK_MONOTONIC, when the grab was taken
};

}  // namespace veltrano::platform
