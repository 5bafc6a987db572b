#pragma once
// log(category, message): one line in the system log (or the installed sink). Never fails.
#include "core/log_category.hpp"
#include "core/log_sink.hpp"

#include <concepts>
#include <string>
#include <string_view>
#include <utility>

namespace veltrano {

void log(LogCategory category, std::string_view message);

// Builds the message only when a line is written (not at all while logging is silenced).
template <class BuildMessage>
  requires std::invocable<BuildMessage&> && std::convertible_to<std::invoke_result_t<BuildMessage&>, std::string_view>
void log(LogCategory category, BuildMessage&& build) {
  auto sink = currentLogSink();
  if (!sink) return;
  try {
    const auto& message = build();
    sink->write(category, message);
  } catch (...) {
    // Logging never fails its caller.
  }
}

}  // namespace veltrano
