#include "platform/events/scroll_notches.hpp"

#include <algorithm>

namespace veltrano::platform {

namespace {

int takeNotches(std::int64_t& pending, std::int32_t pixels) {
  pending += pixels;
  const std::int64_t notches = pending / kScrollPixelsPerNotch;  // truncates toward zero
  pending -= notches * kScrollPixelsPerNotch;
  return static_cast<int>(std::clamp<std::int64_t>(notches, -kMaxScrollNotchesPerPost, kMaxScrollNotchesPerPost));
}

}  // namespace

ScrollNotches ScrollNotchAccumulator::add(std::int32_t pixelsY, std::int32_t pixelsX) {
  return ScrollNotches{takeNotches(pendingY_, pixelsY), takeNotches(pendingX_, pixelsX)};
}

}  // namespace veltrano::platform
