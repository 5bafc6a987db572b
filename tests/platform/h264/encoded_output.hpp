#pragma once
// Collects what a compression session hands out on its thread.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/h264/h264_compression_session.hpp"

namespace veltrano::test {

class EncodedOutput {
 public:
  platform::H264CompressionSession::OutputHandler outputHandler() {
    return [this](platform::EncodedAccessUnit unit) {
      std::lock_guard lock(mutex_);
      units_.push_back(std::move(unit));
      changed_.notify_all();
    };
  }
  platform::H264CompressionSession::ErrorHandler errorHandler() {
    return [this](const std::string& message) {
      std::lock_guard lock(mutex_);
      errors_.push_back(message);
    };
  }
  std::vector<platform::EncodedAccessUnit> units() {
    std::lock_guard lock(mutex_);
    return units_;
  }
  std::vector<std::string> errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<platform::EncodedAccessUnit> units_;
  std::vector<std::string> errors_;
};

}  // namespace veltrano::test
