#pragma once
// Where log lines go. The process has one current sink; tests replace it to capture lines.
#include "core/log_category.hpp"

#include <memory>
#include <string_view>

namespace veltrano {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Called from any thread, possibly from several at once.
  virtual void write(LogCategory category, std::string_view message) = 0;
};

// The current sink: the system log unless replaced. Thread-safe.
std::shared_ptr<LogSink> currentLogSink();
// Installs `sink` (nullptr silences logging) and returns the one it replaces. Thread-safe.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);

}  // namespace veltrano
