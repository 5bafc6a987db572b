#pragma once
// The control server's totals of bytes sent and received, carried to the metrics store on the main thread in
// batches: the first count after a quiet spell goes at once, later ones at most once per `flushInterval`. A busy
// client then costs the main thread a few blocks a second instead of two per command, and the totals stay exact.
//
// Used on one strand (the server's); the timer that sends a batch runs there too. Counts still pending when the
// object goes away are sent from its destructor.
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

#include "base/executors.hpp"
#include "core/metrics_store.hpp"

namespace veltrano {

class ControlTrafficCounters : public std::enable_shared_from_this<ControlTrafficCounters> {
 public:
  static constexpr std::chrono::milliseconds flushInterval{100};

  static std::shared_ptr<ControlTrafficCounters> create(const Strand& strand, std::weak_ptr<MetricsStore> metrics);
  ~ControlTrafficCounters();
  ControlTrafficCounters(const ControlTrafficCounters&) = delete;
  ControlTrafficCounters& operator=(const ControlTrafficCounters&) = delete;

  void addSent(std::int64_t count);
  void addReceived(std::int64_t count);

 private:
  ControlTrafficCounters(const Strand& strand, std::weak_ptr<MetricsStore> metrics);
  void scheduleFlush();
  void flush();

  const std::weak_ptr<MetricsStore> metrics_;
  boost::asio::steady_timer timer_;
  std::int64_t pendingSent_ = 0;
  std::int64_t pendingReceived_ = 0;
  bool flushScheduled_ = false;
  std::chrono::steady_clock::time_point lastFlush_{};
};

}  // namespace veltrano
