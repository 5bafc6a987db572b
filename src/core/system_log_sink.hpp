#pragma once
// The default sink: one line "[CATEGORY] message" in the system log, identifier "com.tavri.Veltrano",
// category "runtime", error priority for ERROR and info for the rest.
#include "core/log_sink.hpp"
#include "platform/syslog/system_log.hpp"

#include <string>

namespace veltrano {

class SystemLogSink final : public LogSink {
 public:
  static constexpr const char* identifier = "com.tavri.Veltrano";
  static constexpr const char* category = "runtime";

  SystemLogSink();
  explicit SystemLogSink(platform::SystemLogOptions options);  // tests point it at other sockets or descriptors

  void write(LogCategory category, std::string_view message) override;

  static std::string formatLine(LogCategory category, std::string_view message);
  static platform::SystemLogLevel level(LogCategory category);
  static platform::SystemLogOptions defaultOptions();

 private:
  platform::SystemLog log_;
};

}  // namespace veltrano
