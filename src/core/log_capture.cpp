#include "core/log_capture.hpp"

namespace veltrano {

void CapturingLogSink::write(LogCategory category, std::string_view message) {
  std::lock_guard lock(mutex_);
  lines_.push_back({category, std::string(message)});
}

std::vector<CapturedLogLine> CapturingLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> CapturingLogSink::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> result;
  result.reserve(lines_.size());
  for (const auto& line : lines_) result.push_back(line.message);
  return result;
}

void CapturingLogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

ScopedLogCapture::ScopedLogCapture()
    : sink_(std::make_shared<CapturingLogSink>()), previous_(setLogSink(sink_)) {}

ScopedLogCapture::~ScopedLogCapture() { setLogSink(std::move(previous_)); }

}  // namespace veltrano
