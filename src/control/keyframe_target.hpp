#pragma once
// What the "keyframe" command needs of the active display's video encoder.
#include <boost/asio/awaitable.hpp>

namespace veltrano {

class KeyframeTarget {
 public:
  virtual ~KeyframeTarget() = default;
  // Sets the encoder's force-keyframe flag on the encoder's own executor, so that its next frame is a
  // keyframe; completes on the caller's executor once the flag is set.
  virtual boost::asio::awaitable<void> forceKeyframe() = 0;
};

}  // namespace veltrano
