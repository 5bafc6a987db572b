#pragma once
// The thread pools the process shares (the I/O threads, the blocking-call pool, the file pool...) and their
// owner. The program's main creates one ThreadPools before anything runs on a pool and destroys it before it
// returns, so every pool thread is joined while the rest of the program (OpenSSL's per-thread state, the
// objects the handlers refer to) still exists.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace veltrano {

namespace asio = boost::asio;

// A pool of threads running one io_context. An exception that escapes a handler goes to the unhandled-error
// reporter and the thread keeps serving.
class IoThreads {
 public:
  IoThreads(const char* name, unsigned threads);
  ~IoThreads();  // stop(), join(), discardQueued()
  IoThreads(const IoThreads&) = delete;
  IoThreads& operator=(const IoThreads&) = delete;

  asio::io_context& context() { return context_; }
  asio::any_io_executor executor() { return context_.get_executor(); }
  // Asks every thread to return; queued handlers stay queued.
  void stop();
  // Waits until every thread has returned. Not from one of the pool's own threads.
  void join();
  // Destroys the handlers still queued (after join()); what they own is released on the calling thread.
  void discardQueued();

 private:
  struct Context : asio::io_context {
    using asio::execution_context::shutdown;
  };
  void serve();

  const char* name_;
  Context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::vector<std::thread> threads_;
};

// Names a shared pool; define one per pool as a namespace-scope constant and ask ThreadPools::pool() for it.
struct ThreadPoolKind {
  const char* name;
  unsigned threads;
};

// Owns every shared pool; one exists at a time. Pools start the first time they are asked for.
class ThreadPools {
 public:
  ThreadPools();   // installs itself; aborts when another owner is installed
  ~ThreadPools();  // stops every pool, joins all their threads, destroys what is still queued, uninstalls
  ThreadPools(const ThreadPools&) = delete;
  ThreadPools& operator=(const ThreadPools&) = delete;

  // The pool of `kind`. Aborts with a message when no owner is installed: a pool nobody joins is a bug.
  static IoThreads& pool(const ThreadPoolKind& kind);

 private:
  friend void joinElsewhere(std::thread thread);

  // The pool of `kind`, started if need be; `mutex_` is held and the owner is not closing.
  IoThreads& poolWhileLocked(const ThreadPoolKind& kind);

  std::mutex mutex_;
  bool closing_ = false;
  std::vector<std::thread> lateJoins_;  // handed over while closing; joined last
  std::vector<std::pair<const ThreadPoolKind*, std::unique_ptr<IoThreads>>> pools_;
};

// Joins `thread` on another thread soon, or at the latest when the owner is destroyed: for an object destroyed
// from a handler running on its own thread, which cannot join itself.
void joinElsewhere(std::thread thread);

}  // namespace veltrano
