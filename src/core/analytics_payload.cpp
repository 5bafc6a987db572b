#include "core/analytics_payload.hpp"

#include "base/json.hpp"

#include <fmt/format.h>

#include <ctime>

namespace veltrano {

std::string iso8601Utc(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count();
  auto seconds = static_cast<std::time_t>(millis / 1000);
  auto remainder = millis % 1000;
  if (remainder < 0) {
    remainder += 1000;
    seconds -= 1;
  }
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                     utc.tm_hour, utc.tm_min, utc.tm_sec, remainder);
}

std::string analyticsPayloadJson(const AnalyticsReport& report) {
  json::Json body = json::Json::object();
  body["event"] = std::string(rawName(report.event));
  body["detail"] = report.detail ? json::Json(*report.detail) : json::Json(nullptr);
  body["deviceId"] = report.deviceId;
  body["platform"] = "linux";
  body["appVersion"] = report.appVersion;
  body["timestamp"] = iso8601Utc(report.timestamp);
  return json::dump(body);
}

}  // namespace veltrano
