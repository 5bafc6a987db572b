#include "control/control_traffic_counters.hpp"

namespace veltrano {

std::shared_ptr<ControlTrafficCounters> ControlTrafficCounters::create(const Strand& strand,
                                                                       std::weak_ptr<MetricsStore> metrics) {
  return std::shared_ptr<ControlTrafficCounters>(
      new ControlTrafficCounters(MetricsBatch<Counts>::create(strand, std::move(metrics))));
}

void ControlTrafficCounters::addSent(std::int64_t count) {
  batch_->update([count](Counts& pending) { pending.sent += count; });
}

void ControlTrafficCounters::addReceived(std::int64_t count) {
  batch_->update([count](Counts& pending) { pending.received += count; });
}

void ControlTrafficCounters::Counts::applyTo(MetricsStore& store) const {
  if (sent != 0) store.bytesSent.set(store.bytesSent.get() + sent);
  if (received != 0) store.bytesReceived.set(store.bytesReceived.get() + received);
}

}  // namespace veltrano
