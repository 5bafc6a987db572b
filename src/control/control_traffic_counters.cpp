#include "control/control_traffic_counters.hpp"

#include "core/main_run_loop.hpp"

namespace veltrano {

std::shared_ptr<ControlTrafficCounters> ControlTrafficCounters::create(const Strand& strand,
                                                                       std::weak_ptr<MetricsStore> metrics) {
  return std::shared_ptr<ControlTrafficCounters>(new ControlTrafficCounters(strand, std::move(metrics)));
}

ControlTrafficCounters::ControlTrafficCounters(const Strand& strand, std::weak_ptr<MetricsStore> metrics)
    : metrics_(std::move(metrics)), timer_(strand) {}

ControlTrafficCounters::~ControlTrafficCounters() { flush(); }

void ControlTrafficCounters::addSent(std::int64_t count) {
  pendingSent_ += count;
  scheduleFlush();
}

void ControlTrafficCounters::addReceived(std::int64_t count) {
  pendingReceived_ += count;
  scheduleFlush();
}

void ControlTrafficCounters::scheduleFlush() {
  if (flushScheduled_) return;  // the batch on its way takes these counts too
  const auto due = lastFlush_ + flushInterval;
  if (std::chrono::steady_clock::now() >= due) {
    flush();
    return;
  }
  flushScheduled_ = true;
  timer_.expires_at(due);
  timer_.async_wait([weak = weak_from_this()](boost::system::error_code) {
    if (auto counters = weak.lock()) counters->flush();
  });
}

void ControlTrafficCounters::flush() {
  flushScheduled_ = false;
  lastFlush_ = std::chrono::steady_clock::now();
  const std::int64_t sent = std::exchange(pendingSent_, 0);
  const std::int64_t received = std::exchange(pendingReceived_, 0);
  if (sent == 0 && received == 0) return;
  performOnMainRunLoop([store = metrics_, sent, received] {
    const auto metricsStore = store.lock();
    if (!metricsStore) return;
    if (sent != 0) metricsStore->bytesSent.set(metricsStore->bytesSent.get() + sent);
    if (received != 0) metricsStore->bytesReceived.set(metricsStore->bytesReceived.get() + received);
  });
}

}  // namespace veltrano
