#pragma once
// The control server's totals of bytes sent and received, carried to the metrics store on the main thread in
// batches (see MetricsBatch): a busy client costs the main thread a few blocks a second instead of two per command.
//
// Used on one strand (the server's). Counts still pending when the object goes away are sent from its destructor.
#include <cstdint>
#include <memory>

#include "base/executors.hpp"
#include "core/metrics_batch.hpp"

namespace veltrano {

class ControlTrafficCounters {
 public:
  static std::shared_ptr<ControlTrafficCounters> create(const Strand& strand, std::weak_ptr<MetricsStore> metrics);

  void addSent(std::int64_t count);
  void addReceived(std::int64_t count);

 private:
  struct Counts {
    std::int64_t sent = 0;
    std::int64_t received = 0;
    bool empty() const { return sent == 0 && received == 0; }
    void applyTo(MetricsStore& store) const;
  };
  explicit ControlTrafficCounters(std::shared_ptr<MetricsBatch<Counts>> batch) : batch_(std::move(batch)) {}

  const std::shared_ptr<MetricsBatch<Counts>> batch_;
};

}  // namespace veltrano
