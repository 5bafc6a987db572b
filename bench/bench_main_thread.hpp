#pragma once
// A main thread of the benchmark's own: what the host runs on the main thread (command handler, input
// controller, metrics and log posts) runs here while the benchmark drives the I/O side.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>

#include "base/executors.hpp"

namespace veltrano::bench {

class BenchMainThread {
 public:
  BenchMainThread() : guard_(context_.get_executor()), thread_([this] { context_.run(); }) {
    setMainExecutor(context_.get_executor(), thread_.get_id());
  }
  ~BenchMainThread() {
    guard_.reset();
    thread_.join();
    setMainExecutor({}, {});
  }
  BenchMainThread(const BenchMainThread&) = delete;
  BenchMainThread& operator=(const BenchMainThread&) = delete;

 private:
  boost::asio::io_context context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
};

}  // namespace veltrano::bench
