// Client counts with their analytics events, remote access's status and routes, and the metrics line that the
// host writes every few seconds while it runs.
#include <algorithm>
#include <utility>

#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"

namespace veltrano {

asio::awaitable<void> HostViewModel::updateLocalClientCount(Weak weak, std::uint64_t generation, std::int64_t count) {
  auto self = weak.lock();
  if (!self || self->lifecycleGeneration_.get() != generation) co_return;
  count = std::max<std::int64_t>(count, 0);
  self->reportClientCountDelta(self->localControlClientCount_.get(), count, "local");
  self->localControlClientCount_.set(count);
  self->updateCaptureDemand();
}

void HostViewModel::updateRemoteClientCount(std::int64_t count, std::uint64_t generation) {
  assertOnMainThread();
  if (lifecycleGeneration_.get() != generation) return;
  count = std::max<std::int64_t>(count, 0);
  reportClientCountDelta(remoteConnectedClientCount_.get(), count, "remote");
  remoteConnectedClientCount_.set(count);
  updateCaptureDemand();
}

void HostViewModel::reportClientCountDelta(std::int64_t from, std::int64_t to, const char* route) const {
  assertOnMainThread();
  const auto event = to > from ? AnalyticsEvent::server_client_connected : AnalyticsEvent::server_client_disconnected;
  for (auto change = std::max(from, to) - std::min(from, to); change > 0; --change) track(event, route);
}

void HostViewModel::installRemoteCoordinatorCallbacks(RemoteHostCoordinator& coordinator, std::uint64_t generation) {
  const Weak weak = weak_from_this();
  coordinator.onStatusChanged = [weak, generation](const std::string& status) {
    if (const auto self = weak.lock()) self->updateRemoteAccessStatus(status, generation);
  };
  coordinator.onRoutesChanged = [weak, generation](const std::vector<WebRTCRoute>& routes) {
    if (const auto self = weak.lock()) self->updateRemoteRoutes(routes, generation);
  };
  coordinator.onConnectedClientCountChanged = [weak, generation](std::int64_t count) {
    if (const auto self = weak.lock()) self->updateRemoteClientCount(count, generation);
  };
}

void HostViewModel::updateRemoteAccessStatus(const std::string& status, std::uint64_t generation) {
  assertOnMainThread();
  if (lifecycleGeneration_.get() == generation) remoteAccessStatus_.set(status);
}

void HostViewModel::updateRemoteRoutes(std::vector<WebRTCRoute> routes, std::uint64_t generation) {
  assertOnMainThread();
  if (lifecycleGeneration_.get() != generation) return;
  remoteConnectionRoutes_.set(routes);
  applyRemoteMediaProfile(routes, generation);
  updateCaptureDemand();
}

void HostViewModel::startMetricsTask(std::uint64_t generation) {
  assertOnMainThread();
  metricsTask_.get().task.cancel();
  Weak weak = weak_from_this();
  Clock* clock = &clock_;
  metricsTask_.set({spawnOnMain([weak, generation, clock](TaskToken token) {
    return runMetricsLog(weak, generation, clock, std::move(token));
  })});
}

asio::awaitable<void> HostViewModel::runMetricsLog(Weak weak, std::uint64_t generation, Clock* clock,
                                                   TaskToken token) {
  while (!token->isCancelled()) {
    try {
      co_await sleepFor(token, *clock, metricsLogInterval);
    } catch (const CancellationError&) {
      co_return;
    }
    auto self = weak.lock();
    if (!self || token->isCancelled() || self->lifecycleGeneration_.get() != generation ||
        !self->metrics->isRunning.get()) {
      co_return;
    }
    const std::int64_t clients = self->localControlClientCount_.get() + self->remoteConnectedClientCount_.get();
    const std::string text = localizedFormat("host.log.metrics_format", self->metrics->fps.get(),
                                             self->metrics->capturedFrames.get(), clients);
    log(LogCategory::METRICS, text);
    self->metrics->logEvent(LogCategory::METRICS, text);
  }
}

}  // namespace veltrano
