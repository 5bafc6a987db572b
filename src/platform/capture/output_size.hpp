#pragma once
// The size a capture delivers for a display under an optional size cap.
namespace veltrano::platform {

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};

// The largest size within maxWidth x maxHeight (0 = no limit on that side) that keeps the aspect ratio and is never
// larger than the source, rounded down to even numbers (4:2:0 pictures need them), at least 2x2.
PixelSize cappedOutputSize(int width, int height, int maxWidth, int maxHeight);

}  // namespace veltrano::platform
