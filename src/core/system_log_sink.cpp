#include "core/system_log_sink.hpp"

namespace veltrano {

platform::SystemLogOptions SystemLogSink::defaultOptions() {
  platform::SystemLogOptions options;
  options.identifier = identifier;
  options.category = category;
  return options;
}

SystemLogSink::SystemLogSink() : SystemLogSink(defaultOptions()) {}

SystemLogSink::SystemLogSink(platform::SystemLogOptions options) : log_(std::move(options)) {}

std::string SystemLogSink::formatLine(LogCategory category, std::string_view message) {
  auto tag = name(category);
  std::string line;
  line.reserve(tag.size() + message.size() + 3);
  line += '[';
  line += tag;
  line += "] ";
  line += message;
  return line;
}

platform::SystemLogLevel SystemLogSink::level(LogCategory category) {
  return category == LogCategory::Error ? platform::SystemLogLevel::error : platform::SystemLogLevel::info;
}

void SystemLogSink::write(LogCategory category, std::string_view message) {
  log_.write(level(category), formatLine(category, message));
}

}  // namespace veltrano
