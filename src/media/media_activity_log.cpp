#include "media/media_activity_log.hpp"

#include "base/executors.hpp"
#include "core/app_logger.hpp"
#include "core/metrics_store.hpp"

namespace veltrano {

void logMediaActivity(const std::weak_ptr<MetricsStore>& metrics, LogCategory category, std::string message) {
  log(category, message);
  performOnMainRunLoop([metrics, category, message = std::move(message)]() mutable {
    if (auto store = metrics.lock()) store->logEvent(category, std::move(message));
  });
}

}  // namespace veltrano
