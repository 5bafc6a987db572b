#pragma once
// Colour conversion in front of the encoder: BGRX screen pixels to BT.601 limited-range I420, scaled to the
// encoder's picture size when a frame arrives at another size.
#include <cstdint>
#include <vector>

#include "platform/h264/h264_types.hpp"

namespace veltrano::platform {

struct I420Planes {
  std::uint8_t* y = nullptr;
  int yStride = 0;
  std::uint8_t* u = nullptr;
  int uStride = 0;
  std::uint8_t* v = nullptr;
  int vStride = 0;
  int width = 0;
  int height = 0;
};

class BgraToI420Converter {
 public:
  // False when the image is empty or libyuv refuses it.
  bool convert(const BgraImage& source, const I420Planes& target);

 private:
  std::vector<std::uint8_t> scratch_;  // I420 at the source size, only for frames that need scaling
};

}  // namespace veltrano::platform
