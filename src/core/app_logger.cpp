#include "core/app_logger.hpp"

namespace veltrano {

void log(LogCategory category, std::string_view message) {
  auto sink = currentLogSink();
  if (!sink) return;
  try {
    sink->write(category, message);
  } catch (...) {
    // Logging never fails its caller.
  }
}

}  // namespace veltrano
