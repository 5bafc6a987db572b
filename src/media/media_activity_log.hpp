#pragma once
// A line that the capture service or the encoder writes both to the system log and, on the main thread, to the
// window's activity log.
#include <memory>
#include <string>

#include "core/log_category.hpp"

namespace veltrano {

class MetricsStore;

// Callable from any thread; the activity-log entry is dropped when the store is gone.
void logMediaActivity(const std::weak_ptr<MetricsStore>& metrics, LogCategory category, std::string message);

}  // namespace veltrano
