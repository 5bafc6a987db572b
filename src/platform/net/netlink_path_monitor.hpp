#pragma once
// The network path from rtnetlink: it listens to link, address and route events of the network namespace it was
// started in, waits for a burst of them to settle, reads the tables again and reports the path when it differs
// from the last one reported. The first path is reported right after start.
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/network_path_monitor.hpp"

namespace veltrano::platform {

class NetlinkPathMonitor final : public NetworkPathMonitor, public std::enable_shared_from_this<NetlinkPathMonitor> {
 public:
  struct Timing {
    // A burst ends once no event came for this long...
    std::chrono::milliseconds settle{200};
    // ...or this long after its first event, so that a steady trickle of events still gets reported.
    std::chrono::milliseconds longestBurst{1000};
  };

  static std::shared_ptr<NetlinkPathMonitor> create(Timing timing);
  static std::shared_ptr<NetlinkPathMonitor> create() { return create(Timing{}); }
  ~NetlinkPathMonitor() override;

  void setPathUpdateHandler(PathUpdateHandler handler) override;
  // Opens its sockets on the calling thread, so the path is that of the caller's network namespace. Where the
  // kernel refuses them, one usable path with nothing in it is reported; a failed read waits for the next event.
  void start(const boost::asio::any_io_executor& queue) override;
  void cancel() override;

 private:
  explicit NetlinkPathMonitor(Timing timing);

  // Strand only.
  void waitForEvents();
  bool drainEvents();
  void extendBurst();
  void readAndReport(bool always);
  void deliver(const NetworkPath& path);
  void close();

  const Timing timing_;

  // Guards the handler and strand_; never held while the handler runs.
  std::mutex mutex_;
  PathUpdateHandler handler_;
  std::optional<boost::asio::strand<boost::asio::any_io_executor>> strand_;
  std::atomic<bool> cancelled_{false};

  // Strand state.
  std::optional<boost::asio::posix::stream_descriptor> events_;
  int dumpSocket_ = -1;
  std::optional<boost::asio::steady_timer> settleTimer_;
  std::uint64_t settleGeneration_ = 0;
  std::optional<std::chrono::steady_clock::time_point> burstStart_;
  std::optional<NetworkPath> lastReported_;
};

}  // namespace veltrano::platform
