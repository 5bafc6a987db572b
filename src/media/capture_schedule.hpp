#pragma once
// When a capture stream's frames go to the encoder, one stream's worth of policy on the service's clock:
//  - pacing: a captured frame is encoded when it is not earlier than the next deadline (with an eighth of an
//    interval of slack, so that a 60 Hz source paced to 45 fps does not lose frames to jitter); each encoded frame
//    moves the deadline one interval on, and a deadline left behind by a pause restarts from the frame;
//  - heartbeat: without an encode for heartbeatInterval the last frame is sent again (a client that joins a static
//    screen still gets a picture);
//  - watchdog: checked every livenessCheckInterval; a display without a frame for livenessProbeAfter is grabbed
//    anyway (at most once per livenessProbeAfter), and a stream without a frame for livenessTimeout is stalled.
// Executor only. Times are the service's clock; frames carry the capture time of the same (monotonic) clock.
#include <chrono>
#include <cstdint>
#include <optional>

#include "base/clock.hpp"

namespace veltrano {

class CaptureSchedule {
 public:
  using Duration = Clock::Duration;
  using TimePoint = Clock::TimePoint;
  static constexpr Duration heartbeatInterval = std::chrono::milliseconds(850);
  // How often the heartbeat looks while nothing can be sent (no frame or no viewer yet).
  static constexpr Duration idleTick = std::chrono::milliseconds(250);
  static constexpr Duration livenessCheckInterval = std::chrono::seconds(1);
  static constexpr Duration livenessProbeAfter = std::chrono::seconds(2);
  static constexpr Duration livenessTimeout = std::chrono::seconds(5);

  explicit CaptureSchedule(TimePoint streamStart);

  // A frame captured at `capturedAt`: the stream lives.
  void captured(TimePoint capturedAt);
  // Whether a frame captured at `capturedAt` goes to the encoder at `framesPerSecond` (below 1 counts as 1); moves
  // the deadline when it does. The caller reports the encode with encoded().
  bool admitFrame(TimePoint capturedAt, std::int32_t framesPerSecond);
  // Forgets the next encode deadline: the next frame goes to the encoder (a new rate starts from it).
  void restartPacing() { nextEncodeDeadline_.reset(); }
  // A frame went to the encoder at `at`: the heartbeat counts from here.
  void encoded(TimePoint at);

  struct Step {
    std::optional<Duration> stalledFor;  // set: give the stream up, nothing else to do
    bool requestFrame = false;           // ask the stream for a frame although nothing changed
    bool resendLastFrame = false;        // the caller encodes its last frame now (counted as encoded already)
    TimePoint next;                      // when to step again
  };
  // The heartbeat's step at `now`; `canResend`: a last frame, a viewer and an encoder are there.
  Step step(TimePoint now, bool canResend);

 private:
  TimePoint streamStart_;
  TimePoint lastFrameAt_;
  TimePoint nextLivenessCheckAt_;
  std::optional<TimePoint> lastEncodeAt_;
  std::optional<TimePoint> lastProbeAt_;
  std::optional<TimePoint> nextEncodeDeadline_;
};

}  // namespace veltrano
