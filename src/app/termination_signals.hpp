#pragma once
// SIGTERM and SIGINT end the program the same way as the menu's quit: the handler runs on the main thread.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/signal_set.hpp>

#include <functional>

namespace veltrano::app {

namespace asio = boost::asio;

class TerminationSignals {
 public:
  // Waits on `io`; `onSignal` is posted to the main executor each time a signal arrives.
  TerminationSignals(const asio::any_io_executor& io, std::function<void()> onSignal);
  ~TerminationSignals();

 private:
  void wait();
  asio::signal_set signals_;
  std::function<void()> onSignal_;
};

}  // namespace veltrano::app
