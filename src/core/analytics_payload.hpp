#pragma once
// The JSON body of one analytics report:
// {"event", "detail" (text or null), "deviceId", "platform": "linux", "appVersion", "timestamp" (ISO 8601 UTC)}.
#include "core/analytics_event.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace veltrano {

struct AnalyticsReport {
  AnalyticsEvent event = AnalyticsEvent::server_app_open;
  std::optional<std::string> detail;
  std::string deviceId;
  std::string appVersion;
  std::chrono::system_clock::time_point timestamp;
};

std::string analyticsPayloadJson(const AnalyticsReport& report);

// "2024-05-01T12:34:56.789Z"
std::string iso8601Utc(std::chrono::system_clock::time_point time);

}  // namespace veltrano
