#pragma once

namespace veltrano {

// Who can be asked for a keyframe: a display's encoder. VideoEncoderService implements it by setting its
// forceKeyframe flag on its own executor. Callable from any thread; returns at once.
class KeyframeRequestTarget {
 public:
  virtual ~KeyframeRequestTarget() = default;
  virtual void requestKeyframe() = 0;
};

}  // namespace veltrano
