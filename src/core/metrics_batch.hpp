#pragma once
// Changes to the metrics store carried to the main thread in batches: the first change after a quiet spell goes at
// once, later ones at most once per `flushInterval`. A busy stream then costs the main thread a few blocks a second
// instead of one or two per packet or frame, and totals stay exact.
//
// `Pending` is what accumulates between two flushes: default-constructible, with `bool empty() const` and
// `void applyTo(MetricsStore&) const`. Used on one strand (its owner's); the timer that sends a batch runs there
// too. What is still pending when the batch goes away is sent from its destructor.
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <utility>

#include "base/executors.hpp"
#include "core/metrics_store.hpp"

namespace veltrano {

template <class Pending>
class MetricsBatch : public std::enable_shared_from_this<MetricsBatch<Pending>> {
 public:
  static constexpr std::chrono::milliseconds flushInterval{100};

  static std::shared_ptr<MetricsBatch> create(const Strand& strand, std::weak_ptr<MetricsStore> metrics) {
    return std::shared_ptr<MetricsBatch>(new MetricsBatch(strand, std::move(metrics)));
  }
  ~MetricsBatch() { flush(); }
  MetricsBatch(const MetricsBatch&) = delete;
  MetricsBatch& operator=(const MetricsBatch&) = delete;

  // On the strand: `change(Pending&)` adds to the batch, which leaves now or within flushInterval.
  template <class Change>
  void update(Change&& change) {
    std::forward<Change>(change)(pending_);
    if (flushScheduled_) return;  // the batch on its way takes this change too
    const auto due = lastFlush_ + flushInterval;
    if (std::chrono::steady_clock::now() >= due) {
      flush();
      return;
    }
    flushScheduled_ = true;
    timer_.expires_at(due);
    timer_.async_wait([weak = this->weak_from_this()](boost::system::error_code) {
      if (auto batch = weak.lock()) batch->flush();
    });
  }

 private:
  MetricsBatch(const Strand& strand, std::weak_ptr<MetricsStore> metrics)
      : metrics_(std::move(metrics)), timer_(strand) {}

  void flush() {
    flushScheduled_ = false;
    lastFlush_ = std::chrono::steady_clock::now();
    if (pending_.empty()) return;
    performOnMainRunLoop([store = metrics_, batch = std::exchange(pending_, Pending{})] {
      if (auto metricsStore = store.lock()) batch.applyTo(*metricsStore);
    });
  }

  const std::weak_ptr<MetricsStore> metrics_;
  boost::asio::steady_timer timer_;
  Pending pending_;
  bool flushScheduled_ = false;
  std::chrono::steady_clock::time_point lastFlush_{};
};

}  // namespace veltrano
