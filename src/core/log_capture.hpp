#pragma once
// A sink that keeps every line in memory, for tests of code that logs. ScopedLogCapture installs one for its
// lifetime and puts the previous sink back afterwards.
#include "core/log_sink.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace veltrano {

struct CapturedLogLine {
  LogCategory category;
  std::string message;
  bool operator==(const CapturedLogLine&) const = default;
};

class CapturingLogSink final : public LogSink {
 public:
  void write(LogCategory category, std::string_view message) override;
  std::vector<CapturedLogLine> lines() const;
  std::vector<std::string> messages() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedLogLine> lines_;
};

class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  CapturingLogSink& sink() { return *sink_; }
  std::vector<CapturedLogLine> lines() const { return sink_->lines(); }
  std::vector<std::string> messages() const { return sink_->messages(); }

 private:
  std::shared_ptr<CapturingLogSink> sink_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace veltrano
