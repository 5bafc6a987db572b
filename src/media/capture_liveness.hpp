#pragma once
// When a capture stream last delivered a frame. The capture thread stamps it; the service's watchdog reads it.
#include <chrono>
#include <mutex>

namespace veltrano {

class CaptureLiveness {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit CaptureLiveness(TimePoint start) : lastFrameAt_(start) {}

  void stamp(TimePoint at) {
    std::lock_guard lock(mutex_);
    if (at > lastFrameAt_) lastFrameAt_ = at;
  }
  TimePoint lastFrameAt() const {
    std::lock_guard lock(mutex_);
    return lastFrameAt_;
  }

 private:
  mutable std::mutex mutex_;
  TimePoint lastFrameAt_;
};

}  // namespace veltrano
