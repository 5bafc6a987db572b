#pragma once
// A thread of its own running one io_context: a serial executor that no other caller shares. An object whose
// callers block until it has answered runs here, so a caller can never hold the thread its answer needs.
// Work runs in posting order; an exception that escapes a handler goes to the unhandled-error reporter.
#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <thread>

namespace veltrano {

namespace asio = boost::asio;

class SerialThread {
 public:
  // `name` shows in debuggers and process listings (at most 15 characters are kept).
  explicit SerialThread(const char* name);
  // Lets the work queued so far run, then joins the thread; destroyed on the thread itself, it is joined elsewhere.
  ~SerialThread();
  SerialThread(const SerialThread&) = delete;
  SerialThread& operator=(const SerialThread&) = delete;

  asio::any_io_executor executor() const;

 private:
  struct Context;
  std::shared_ptr<Context> context_;  // shared with the thread, which may outlive this object
  std::thread thread_;
};

}  // namespace veltrano
