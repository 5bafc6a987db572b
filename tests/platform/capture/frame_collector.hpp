#pragma once
// Collects what a capture stream delivers on its thread, for the test thread to wait on.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capture/capture_stream.hpp"

namespace veltrano::test {

class FrameCollector {
 public:
  platform::CaptureStream::FrameHandler frameHandler() {
    return [this](std::shared_ptr<const platform::CapturedFrame> frame) {
      std::lock_guard lock(mutex_);
      frames_.push_back(std::move(frame));
      changed_.notify_all();
    };
  }
  platform::CaptureStream::StopHandler stopHandler() {
    return [this](const std::string& message) {
      std::lock_guard lock(mutex_);
      stops_.push_back(message);
      changed_.notify_all();
    };
  }

  // The frame with this index (0 = first), waiting up to `timeout`; null when it did not come.
  std::shared_ptr<const platform::CapturedFrame> frame(std::size_t index,
                                                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return frames_.size() > index; });
    return frames_.size() > index ? frames_[index] : nullptr;
  }
  std::size_t frameCount() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  bool waitForStop(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !stops_.empty(); });
  }
  std::vector<std::string> stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<const platform::CapturedFrame>> frames_;
  std::vector<std::string> stops_;
};

}  // namespace veltrano::test
