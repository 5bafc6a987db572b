#pragma once
// X has no pixel scrolling for synthetic input, only wheel clicks ("notches"). This turns pixel
// deltas into whole notches and keeps the rest, so that many small deltas still add up to a click.
#include <cstdint>

namespace veltrano::platform {

inline constexpr int kScrollPixelsPerNotch = 40;
// More notches than this in one post are dropped (with their pixels), so an absurd delta cannot
// keep the caller busy posting clicks.
inline constexpr int kMaxScrollNotchesPerPost = 250;

struct ScrollNotches {
  int vertical = 0;    // > 0 up, < 0 down
  int horizontal = 0;  // > 0 left, < 0 right
  bool operator==(const ScrollNotches&) const = default;
};

class ScrollNotchAccumulator {
 public:
  // Adds pixel deltas (positive = up / left) and takes out the whole notches they complete.
  ScrollNotches add(std::int32_t pixelsY, std::int32_t pixelsX);

 private:
  std::int64_t pendingY_ = 0;
  std::int64_t pendingX_ = 0;
};

}  // namespace veltrano::platform
