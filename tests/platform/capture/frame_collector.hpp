#pragma once
// Collects what a capture stream delivers on its thread, for the test thread to wait on.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/capture_stream.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::test {

class FrameCollector {
 public:
  platform::CaptureStream::FrameHandler frameHandler() { return frames_.recorder(); }
  platform::CaptureStream::StopHandler stopHandler() { return stops_.recorder(); }

  // The frame with this index (0 = first), waiting up to `timeout`; null when it did not come.
  std::shared_ptr<const platform::CapturedFrame> frame(std::size_t index,
                                                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return frames_.waitForValue(index, timeout).value_or(nullptr);
  }
  std::size_t frameCount() { return frames_.size(); }
  bool waitForStop(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return stops_.waitForCount(1, timeout);
  }
  std::vector<std::string> stops() { return stops_.values(); }

 private:
  testing::RecordedValues<std::shared_ptr<const platform::CapturedFrame>> frames_;
  testing::RecordedValues<std::string> stops_;
};

}  // namespace veltrano::test
