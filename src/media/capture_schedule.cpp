#include "media/capture_schedule.hpp"

#include <algorithm>

namespace veltrano {

CaptureSchedule::CaptureSchedule(TimePoint streamStart)
    : streamStart_(streamStart), lastFrameAt_(streamStart), nextLivenessCheckAt_(streamStart + livenessCheckInterval) {}

void CaptureSchedule::captured(TimePoint capturedAt) { lastFrameAt_ = std::max(lastFrameAt_, capturedAt); }

bool CaptureSchedule::admitFrame(TimePoint capturedAt, std::int32_t framesPerSecond) {
  const auto interval = std::chrono::duration_cast<Duration>(std::chrono::seconds(1)) /
                        std::max<std::int32_t>(framesPerSecond, 1);
  if (nextEncodeDeadline_ && capturedAt < *nextEncodeDeadline_ - interval / 8) return false;
  TimePoint next = nextEncodeDeadline_.value_or(capturedAt) + interval;
  if (next < capturedAt) next = capturedAt + interval;
  nextEncodeDeadline_ = next;
  return true;
}

void CaptureSchedule::encoded(TimePoint at) { lastEncodeAt_ = at; }

CaptureSchedule::Step CaptureSchedule::step(TimePoint now, bool canResend) {
  Step step;
  if (now >= nextLivenessCheckAt_) {
    nextLivenessCheckAt_ = now + livenessCheckInterval;
    const auto quietFor = now - lastFrameAt_;
    if (quietFor >= livenessTimeout) {
      step.stalledFor = quietFor;
      step.next = now + idleTick;
      return step;
    }
    if (quietFor >= livenessProbeAfter && (!lastProbeAt_ || now - *lastProbeAt_ >= livenessProbeAfter)) {
      step.requestFrame = true;
      lastProbeAt_ = now;
    }
  }
  auto due = lastEncodeAt_.value_or(streamStart_) + heartbeatInterval;
  if (now >= due && canResend) {
    step.resendLastFrame = true;
    lastEncodeAt_ = now;
    due = now + heartbeatInterval;
  }
  step.next = std::min(due > now ? due : now + idleTick, nextLivenessCheckAt_);
  return step;
}

}  // namespace veltrano
