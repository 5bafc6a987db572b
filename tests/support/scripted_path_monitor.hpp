#pragma once
// A network path monitor whose paths the test hands over, delivered on the queue it was started on like the real
// one. It records whether it was started and cancelled.
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <memory>
#include <mutex>

#include "platform/net/network_path_monitor.hpp"

namespace veltrano::testing {

class ScriptedPathMonitor final : public platform::NetworkPathMonitor,
                                  public std::enable_shared_from_this<ScriptedPathMonitor> {
 public:
  void setPathUpdateHandler(PathUpdateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void start(const boost::asio::any_io_executor& queue) override {
    std::lock_guard lock(mutex_);
    queue_ = queue;
    started_ = true;
  }
  void cancel() override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    handler_ = nullptr;
  }

  // Hands `path` to the handler on the monitor's queue; nothing once cancelled or before start.
  void deliver(const platform::NetworkPath& path) {
    std::lock_guard lock(mutex_);
    if (!started_ || cancelled_) return;
    boost::asio::post(queue_, [self = shared_from_this(), path] {
      std::lock_guard lock(self->mutex_);
      if (self->handler_) self->handler_(path);
    });
  }

  // Waits until every path handed over so far went through the handler.
  void flush() {
    boost::asio::any_io_executor queue;
    {
      std::lock_guard lock(mutex_);
      if (!started_) return;
      queue = queue_;
    }
    boost::asio::post(queue, boost::asio::use_future).get();
  }

  bool started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  bool cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  mutable std::mutex mutex_;
  PathUpdateHandler handler_;
  boost::asio::any_io_executor queue_;
  bool started_ = false;
  bool cancelled_ = false;
};

// A satisfied path over one wired interface, with `gateways` as its routers.
inline platform::NetworkPath wiredPath(const std::string& name, int index, std::vector<std::string> addresses,
                                       std::vector<std::string> gateways = {}) {
  platform::NetworkPath path;
  path.status = platform::NetworkPath::Status::satisfied;
  path.availableInterfaces.push_back({name, index, platform::NetworkInterfaceType::wiredEthernet, std::move(addresses)});
  path.usedInterfaceTypes = {platform::NetworkInterfaceType::wiredEthernet};
  path.gateways = std::move(gateways);
  return path;
}

inline platform::NetworkPath unsatisfiedPath() { return {}; }

}  // namespace veltrano::testing
