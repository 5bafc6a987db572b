#include "core/log_throttle.hpp"

#include "core/app_logger.hpp"

namespace veltrano {

LogThrottle::LogThrottle(Clock& clock, LogThrottleLimits limits, std::shared_ptr<LogThrottle> wider)
    : clock_(clock), limits_(limits), wider_(std::move(wider)) {}

void LogThrottle::write(std::string_view kind, LogCategory category, const std::function<std::string()>& build) {
  const std::optional<std::size_t> leftOut = admit(kind);
  if (!leftOut) return;
  log(category, [&] { return withLeftOutCount(build(), *leftOut); });
}

std::optional<std::size_t> LogThrottle::admit(std::string_view kind) {
  const Clock::TimePoint now = clock_.now();
  const std::lock_guard lock(mutex_);
  auto entry = kinds_.find(kind);
  if (entry == kinds_.end()) entry = kinds_.emplace(std::string(kind), KindState{now}).first;
  KindState& state = entry->second;
  if (now - state.periodStart >= limits_.period) {
    state.periodStart = now;
    state.written = 0;
  }
  if (state.written >= limits_.burst) {
    ++state.leftOut;
    return std::nullopt;
  }
  // Lock order: always a throttle before its wider one. A line the wider one leaves out is counted there.
  std::size_t widerLeftOut = 0;
  if (wider_) {
    const std::optional<std::size_t> admitted = wider_->admit(kind);
    if (!admitted) return std::nullopt;
    widerLeftOut = *admitted;
  }
  ++state.written;
  const std::size_t leftOut = state.leftOut + widerLeftOut;
  state.leftOut = 0;
  return leftOut;
}

std::string withLeftOutCount(std::string line, std::size_t leftOut) {
  if (leftOut == 0) return line;
  return line + " (" + std::to_string(leftOut) + " similar lines left out)";
}

}  // namespace veltrano
