#pragma once
// The executors every part of the host runs on.
//  - The main executor: the GUI thread in the application, an io_context run by the test or tool otherwise.
//  - The shared I/O context ("the global queue"): a few threads for network callbacks and actors.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "base/thread_pools.hpp"

namespace veltrano {

namespace asio = boost::asio;

// An actor's executor: operations posted to it run one at a time.
using Strand = asio::strand<asio::any_io_executor>;

// Installs the executor that stands for the main thread. Not thread-safe: call once at start-up
// (tests install a fresh one per test through MainLoopForTests).
void setMainExecutor(asio::any_io_executor executor, std::thread::id mainThread);
asio::any_io_executor mainExecutor();
bool isOnMainThread();

// Runs `block` once on the main thread soon (also inside nested menu and dialog loops), in FIFO order with other
// posted blocks; returns at once. Callable from any thread. With no main loop installed (shutting down) the block is
// dropped. The one way to post to the main thread; onMainThread (base/main_thread_call.hpp) awaits a step there.
void performOnMainRunLoop(std::function<void()> block);

// The process-wide I/O context with a few threads, owned by the ThreadPools that main installs.
IoThreads& sharedIo();
// A fresh strand on the shared I/O context: the executor of one actor.
Strand makeActorStrand();

// A main loop for tests and tools: an io_context run on the calling thread, installed as the main executor
// for its lifetime.
class MainLoopForTests {
 public:
  MainLoopForTests();
  ~MainLoopForTests();
  asio::io_context& context() { return context_; }
  // Runs handlers until `done` returns true or `timeout` passes; returns `done()`.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Runs what is ready now, without waiting.
  void drain();

 private:
  asio::io_context context_;
  asio::any_io_executor previous_;
};

}  // namespace veltrano
