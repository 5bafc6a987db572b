#pragma once
#include <array>
#include <string_view>

namespace veltrano {

// Categories of log lines; a category's name is also the tag of an activity-log event.
// The last one is spelled `Error` because ERROR is a macro on some systems.
enum class LogCategory { HOST, NET, PERMISSION, SCREEN, CAPTURE, METRICS, CLIENT, INPUT, Error };

inline constexpr std::array<LogCategory, 9> allLogCategories = {
    LogCategory::HOST,    LogCategory::NET,     LogCategory::PERMISSION, LogCategory::SCREEN, LogCategory::CAPTURE,
    LogCategory::METRICS, LogCategory::CLIENT,  LogCategory::INPUT,      LogCategory::Error};

// The upper-case name: "HOST", "NET", ..., "ERROR".
std::string_view name(LogCategory category);

}  // namespace veltrano
