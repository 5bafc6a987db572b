#pragma once
// A listener whose states the test reports by hand: a real TCP listener never sits in waiting, and never
// reports after a newer start, so those paths need a scripted one.
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/net/network_listener.hpp"

namespace veltrano::testing {

class ScriptedListener final : public platform::NetworkListener {
 public:
  explicit ScriptedListener(bool reportsCancellation = true) : reportsCancellation_(reportsCancellation) {}

  void setStateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    if (handler) installedHandlers_.push_back(handler);
    handler_ = std::move(handler);
  }
  void setNewConnectionHandler(NewConnectionHandler handler) override {
    std::lock_guard lock(mutex_);
    newConnectionHandler_ = std::move(handler);
  }
  void start(const boost::asio::any_io_executor&) override { ++startCount_; }
  void cancel() override {
    ++cancelCount_;
    if (reportsCancellation_) report(platform::NetworkState::cancelled());
  }
  std::optional<std::uint16_t> port() const override { return 4242; }

  // Reports through the handler installed now.
  void report(const platform::NetworkState& state) {
    StateHandler handler;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
    }
    if (handler) handler(state);
  }
  // Reports through the first handler ever installed: a late report of a state that was already on its way.
  void reportThroughFirstHandler(const platform::NetworkState& state) {
    StateHandler handler;
    {
      std::lock_guard lock(mutex_);
      if (!installedHandlers_.empty()) handler = installedHandlers_.front();
    }
    if (handler) handler(state);
  }
  bool hasStateHandler() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
  }
  bool hasNewConnectionHandler() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(newConnectionHandler_);
  }
  int startCount() const { return startCount_; }
  int cancelCount() const { return cancelCount_; }

 private:
  const bool reportsCancellation_;
  mutable std::mutex mutex_;
  StateHandler handler_;
  NewConnectionHandler newConnectionHandler_;
  std::vector<StateHandler> installedHandlers_;
  std::atomic<int> startCount_ = 0;
  std::atomic<int> cancelCount_ = 0;
};

}  // namespace veltrano::testing
