#include "app/termination_signals.hpp"

#include <boost/asio/post.hpp>

#include <csignal>

#include "base/executors.hpp"

namespace veltrano::app {

TerminationSignals::TerminationSignals(const asio::any_io_executor& io, std::function<void()> onSignal)
    : signals_(io, SIGTERM, SIGINT), onSignal_(std::move(onSignal)) {
  wait();
}

TerminationSignals::~TerminationSignals() {
  boost::system::error_code ignored;
  signals_.cancel(ignored);
}

void TerminationSignals::wait() {
  signals_.async_wait([this](const boost::system::error_code& error, int) {
    if (error) return;
    performOnMainRunLoop(onSignal_);
    wait();
  });
}

}  // namespace veltrano::app
