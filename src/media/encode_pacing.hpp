#pragma once
// Pacing of captured frames to the encode rate, by presentation time: a frame goes to the encoder when it is
// not earlier than the next deadline (with an eighth of an interval of slack, so that a 60 Hz source paced to
// 45 fps does not lose frames to jitter); each accepted frame moves the deadline one interval on, and a deadline
// left behind by a stall restarts from the frame.
#include <cstdint>
#include <optional>

namespace veltrano {

// `frameSeconds` is the frame's monotonic time; `nextDeadline` is the service's nextEncodePTSSeconds (none: the
// next frame is accepted). Returns whether the frame is encoded and updates the deadline when it is. A rate
// below 1 counts as 1.
bool admitFrameForEncoding(double frameSeconds, std::int32_t framesPerSecond, std::optional<double>& nextDeadline);

}  // namespace veltrano
