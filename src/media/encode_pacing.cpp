#include "media/encode_pacing.hpp"

#include <algorithm>

namespace veltrano {

bool admitFrameForEncoding(double frameSeconds, std::int32_t framesPerSecond, std::optional<double>& nextDeadline) {
  const double interval = 1.0 / std::max<std::int32_t>(framesPerSecond, 1);
  if (nextDeadline && frameSeconds < *nextDeadline - interval / 8) return false;
  double next = nextDeadline.value_or(frameSeconds) + interval;
  if (next < frameSeconds) next = frameSeconds + interval;
  nextDeadline = next;
  return true;
}

}  // namespace veltrano
