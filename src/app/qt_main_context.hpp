#pragma once
// The main executor of the application: functions posted to it run on the Qt GUI thread, one QEvent each, so
// they also run inside nested loops (an open menu, a modal dialog). QtMainContext is an Asio execution
// context, so its executor converts to any_io_executor and is what setMainExecutor installs.
//
// Create it on the GUI thread after QApplication and destroy it before; see QtMainContext::~QtMainContext and
// the application's quit sequence for the order relative to the I/O threads.
#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>

#include <QCoreApplication>
#include <QEvent>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

class QObject;

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace veltrano::app {

namespace asio = boost::asio;
namespace exec = boost::asio::execution;

class QtMainExecutor;

// One posted function, owned by Qt's event queue (so Qt destroys it on the GUI thread once delivered).
struct PostedFunctionEvent : QEvent {
  static QEvent::Type eventType();
  PostedFunctionEvent() : QEvent(eventType()) {}
  virtual void run() = 0;
};

template <class F>
struct PostedFunction final : PostedFunctionEvent {
  explicit PostedFunction(F&& function) : function_(std::move(function)) {}
  void run() override { function_(); }
  F function_;
};

class QtMainContext : public asio::execution_context {
 public:
  QtMainContext();  // GUI thread, after QApplication exists
  ~QtMainContext();
  QtMainContext(const QtMainContext&) = delete;
  QtMainContext& operator=(const QtMainContext&) = delete;

  QtMainExecutor get_executor() noexcept;
  bool running_in_this_thread() const noexcept { return std::this_thread::get_id() == guiThread_; }
  // Executors holding tracked work; lags behind I/O completions until the I/O threads are joined.
  long outstandingWork() const noexcept { return work_.load(std::memory_order_acquire); }

  // Drops every function still queued; functions posted later are destroyed at once instead of queued.
  void shutdownQueue();
  bool isShutDown() const noexcept { return shut_.load(std::memory_order_acquire); }

  // Called on the GUI thread with whatever a posted function threw; nothing unwinds into Qt's loop.
  std::function<void(std::exception_ptr)> onException;

 private:
  friend class QtMainExecutor;

  template <class F>
  void post(F&& function) {
    using Function = std::decay_t<F>;
    if (isShutDown()) return;  // the function dies here, on the caller's thread
    auto* event = new PostedFunction<Function>(Function(std::forward<F>(function)));
#if defined(__SANITIZE_THREAD__)
    // Qt's event queue is locked inside uninstrumented Qt: tell the sanitizer the hand-off is ordered, and order
    // the posters (which grow Qt's list) under a lock it can see.
    __tsan_release(event);
    std::lock_guard lock(sanitizedPostMutex_);
#endif
    QCoreApplication::postEvent(dispatcher_, event);
  }
  void runPosted(PostedFunctionEvent& event) noexcept;

  class Dispatcher;
  QObject* dispatcher_;
  std::thread::id guiThread_;
  std::atomic<long> work_{0};
  std::atomic<bool> shut_{false};
#if defined(__SANITIZE_THREAD__)
  std::mutex sanitizedPostMutex_;
#endif
};

class QtMainExecutor {
 public:
  QtMainExecutor() noexcept = default;
  QtMainExecutor(const QtMainExecutor& other) noexcept : context_(other.context_), bits_(other.bits_) { acquire(); }
  QtMainExecutor(QtMainExecutor&& other) noexcept
      : context_(std::exchange(other.context_, nullptr)), bits_(std::exchange(other.bits_, 0)) {}
  QtMainExecutor& operator=(const QtMainExecutor& other) noexcept {
    QtMainExecutor copy(other);
    swap(copy);
    return *this;
  }
  QtMainExecutor& operator=(QtMainExecutor&& other) noexcept {
    QtMainExecutor moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~QtMainExecutor() { release(); }

  QtMainContext& query(exec::context_t) const noexcept { return *context_; }
  static constexpr exec::mapping_t query(exec::mapping_t) noexcept { return exec::mapping.thread; }
  exec::blocking_t query(exec::blocking_t) const noexcept {
    return (bits_ & never) ? exec::blocking_t(exec::blocking.never) : exec::blocking_t(exec::blocking.possibly);
  }
  exec::relationship_t query(exec::relationship_t) const noexcept {
    return (bits_ & continuation) ? exec::relationship_t(exec::relationship.continuation)
                                  : exec::relationship_t(exec::relationship.fork);
  }
  exec::outstanding_work_t query(exec::outstanding_work_t) const noexcept {
    return (bits_ & tracked) ? exec::outstanding_work_t(exec::outstanding_work.tracked)
                             : exec::outstanding_work_t(exec::outstanding_work.untracked);
  }

  QtMainExecutor require(exec::blocking_t::never_t) const noexcept { return with(bits_ | never); }
  QtMainExecutor require(exec::blocking_t::possibly_t) const noexcept { return with(bits_ & ~never); }
  QtMainExecutor require(exec::relationship_t::continuation_t) const noexcept { return with(bits_ | continuation); }
  QtMainExecutor require(exec::relationship_t::fork_t) const noexcept { return with(bits_ & ~continuation); }
  QtMainExecutor require(exec::outstanding_work_t::tracked_t) const noexcept { return with(bits_ | tracked); }
  QtMainExecutor require(exec::outstanding_work_t::untracked_t) const noexcept { return with(bits_ & ~tracked); }

  // Runs inline when blocking is allowed and the caller is already on the GUI thread; posts otherwise.
  template <class F>
  void execute(F&& function) const {
    if (!(bits_ & never) && context_->running_in_this_thread()) {
      std::decay_t<F> local(std::forward<F>(function));
      local();
      return;
    }
    context_->post(std::forward<F>(function));
  }

  friend bool operator==(const QtMainExecutor& a, const QtMainExecutor& b) noexcept {
    return a.context_ == b.context_ && a.bits_ == b.bits_;
  }
  friend bool operator!=(const QtMainExecutor& a, const QtMainExecutor& b) noexcept { return !(a == b); }

 private:
  friend class QtMainContext;
  enum : std::uint8_t { never = 1, continuation = 2, tracked = 4 };
  QtMainExecutor(QtMainContext* context, std::uint8_t bits) noexcept : context_(context), bits_(bits) { acquire(); }
  QtMainExecutor with(std::uint8_t bits) const noexcept { return QtMainExecutor(context_, bits); }
  void acquire() const noexcept {
    if (context_ && (bits_ & tracked)) context_->work_.fetch_add(1, std::memory_order_acq_rel);
  }
  void release() const noexcept {
    if (context_ && (bits_ & tracked)) context_->work_.fetch_sub(1, std::memory_order_acq_rel);
  }
  void swap(QtMainExecutor& other) noexcept {
    std::swap(context_, other.context_);
    std::swap(bits_, other.bits_);
  }

  QtMainContext* context_ = nullptr;
  std::uint8_t bits_ = 0;
};

inline QtMainExecutor QtMainContext::get_executor() noexcept { return QtMainExecutor(this, 0); }

}  // namespace veltrano::app
