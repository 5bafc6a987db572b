#include "base/serial_thread.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <pthread.h>

#include <optional>
#include <string>

#include "base/thread_pools.hpp"
#include "base/unhandled_error.hpp"

namespace veltrano {

struct SerialThread::Context {
  asio::io_context io{1};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{io.get_executor()};
};

SerialThread::SerialThread(const char* name) : context_(std::make_shared<Context>()) {
  thread_ = std::thread([context = context_, name = std::string(name).substr(0, 15)] {
    ::pthread_setname_np(::pthread_self(), name.c_str());
    for (;;) {
      try {
        context->io.run();
        return;
      } catch (...) {
        reportUnhandledError(name, std::current_exception());
      }
    }
  });
}

SerialThread::~SerialThread() {
  context_->guard.reset();
  if (thread_.get_id() == std::this_thread::get_id()) {
    joinElsewhere(std::move(thread_));
  } else {
    thread_.join();
  }
}

asio::any_io_executor SerialThread::executor() const { return context_->io.get_executor(); }

}  // namespace veltrano
