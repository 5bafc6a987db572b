#include "platform/h264/bgra_to_i420.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>

namespace veltrano::platform {

bool BgraToI420Converter::convert(const BgraImage& source, const I420Planes& target) {
  if (!source.data || source.width <= 0 || source.height <= 0 || source.stride < source.width * 4) return false;
  if (source.width == target.width && source.height == target.height) {
    return libyuv::ARGBToI420(source.data, source.stride, target.y, target.yStride, target.u, target.uStride,
                              target.v, target.vStride, target.width, target.height) == 0;
  }
  const int chromaWidth = (source.width + 1) / 2;
  const int chromaHeight = (source.height + 1) / 2;
  const std::size_t lumaSize = static_cast<std::size_t>(source.width) * source.height;
  const std::size_t chromaSize = static_cast<std::size_t>(chromaWidth) * chromaHeight;
  scratch_.resize(lumaSize + 2 * chromaSize);
  std::uint8_t* y = scratch_.data();
  std::uint8_t* u = y + lumaSize;
  std::uint8_t* v = u + chromaSize;
  if (libyuv::ARGBToI420(source.data, source.stride, y, source.width, u, chromaWidth, v, chromaWidth, source.width,
                         source.height) != 0) {
    return false;
  }
  return libyuv::I420Scale(y, source.width, u, chromaWidth, v, chromaWidth, source.width, source.height, target.y,
                           target.yStride, target.u, target.uStride, target.v, target.vStride, target.width,
                           target.height, libyuv::kFilterBox) == 0;
}

}  // namespace veltrano::platform
