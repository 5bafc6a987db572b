#include "platform/capture/output_size.hpp"

#include <algorithm>
#include <cstdint>

namespace veltrano::platform {

PixelSize cappedOutputSize(int width, int height, int maxWidth, int maxHeight) {
  std::int64_t w = std::max(width, 0);
  std::int64_t h = std::max(height, 0);
  const bool limitW = maxWidth > 0 && w > maxWidth;
  const bool limitH = maxHeight > 0 && h > maxHeight;
  if (w > 0 && h > 0 && (limitW || limitH)) {
    // Integer arithmetic so that exact ratios (3840 -> 1920) never lose a pixel to rounding.
    // Width is the binding side when maxWidth / w < maxHeight / h.
    const bool widthBinds = limitW && (!limitH || std::int64_t{maxWidth} * h < std::int64_t{maxHeight} * w);
    if (widthBinds) {
      h = h * maxWidth / w;
      w = maxWidth;
    } else {
      w = w * maxHeight / h;
      h = maxHeight;
    }
  }
  auto even = [](std::int64_t v) { return static_cast<int>(std::max<std::int64_t>(2, v & ~std::int64_t{1})); };
  return {even(w), even(h)};
}

}  // namespace veltrano::platform
