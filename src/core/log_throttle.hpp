#pragma once
// Keeps a peer from flooding the log with repeated lines: within each period the first `burst` lines of a kind
// are written and the rest of that kind are left out; the first line written after that says how many were left
// out. One throttle serves one connection or one listener; a connection's may sit under its listener's, so that a
// peer that reconnects meets the listener's bound. Any thread.
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.hpp"
#include "core/log_category.hpp"

namespace veltrano {

struct LogThrottleLimits {
  std::size_t burst = 20;
  Clock::Duration period = std::chrono::seconds(10);
};

class LogThrottle {
 public:
  // `clock` must outlive the throttle. With `wider`, a line is written only when both throttles admit it.
  explicit LogThrottle(Clock& clock, LogThrottleLimits limits = {}, std::shared_ptr<LogThrottle> wider = nullptr);
  LogThrottle(const LogThrottle&) = delete;
  LogThrottle& operator=(const LogThrottle&) = delete;

  // Writes the line that `build` makes unless lines of `kind` are being left out; `build` runs only for a line
  // that is written. `kind` names a fixed kind of line, never peer text.
  void write(std::string_view kind, LogCategory category, const std::function<std::string()>& build);

  // The bookkeeping of write(): nullopt when the line is left out, otherwise the number of lines of `kind` left
  // out since the last one written (by this throttle and the wider one).
  std::optional<std::size_t> admit(std::string_view kind);

 private:
  struct KindState {
    Clock::TimePoint periodStart;
    std::size_t written = 0;
    std::size_t leftOut = 0;
  };

  Clock& clock_;
  const LogThrottleLimits limits_;
  const std::shared_ptr<LogThrottle> wider_;
  std::mutex mutex_;
  std::map<std::string, KindState, std::less<>> kinds_;
};

// `line` followed by " (N similar lines left out)" when N is not 0.
std::string withLeftOutCount(std::string line, std::size_t leftOut);

}  // namespace veltrano
