#include "base/executors.hpp"
#include "platform/cpu/usable_cpus.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <mutex>

namespace veltrano {

namespace {
std::mutex gMainMutex;
asio::any_io_executor gMainExecutor;
std::thread::id gMainThread;
}  // namespace

void setMainExecutor(asio::any_io_executor executor, std::thread::id mainThread) {
  std::lock_guard lock(gMainMutex);
  gMainExecutor = std::move(executor);
  gMainThread = mainThread;
}

asio::any_io_executor mainExecutor() {
  std::lock_guard lock(gMainMutex);
  return gMainExecutor;
}

bool isOnMainThread() {
  std::lock_guard lock(gMainMutex);
  return std::this_thread::get_id() == gMainThread;
}

void performOnMainRunLoop(std::function<void()> block) {
  // Kept here too, so that a block the executor refuses is destroyed after the lock is released (its captures may
  // post again).
  auto held = std::make_shared<std::function<void()>>(std::move(block));
  // Posted under the lock: a loop's owner takes its executor out before destroying the loop, so a post from
  // another thread either finishes first or finds no executor, never a loop that is going away.
  std::lock_guard lock(gMainMutex);
  if (!gMainExecutor) return;  // no main loop (shutting down): nothing can run the block
  asio::post(gMainExecutor, [held] { (*held)(); });
}

namespace {
const ThreadPoolKind kSharedIo{"shared I/O", std::max(2u, std::min(4u, usableCpuCount()))};
}  // namespace

IoThreads& sharedIo() { return ThreadPools::pool(kSharedIo); }

Strand makeActorStrand() { return asio::make_strand(sharedIo().executor()); }

MainLoopForTests::MainLoopForTests() : previous_(mainExecutor()) {
  setMainExecutor(context_.get_executor(), std::this_thread::get_id());
}

MainLoopForTests::~MainLoopForTests() {
  drain();
  // A pool still working for this loop (a coroutine here awaiting an operation on a strand) holds its work count
  // and will post the resumption here. Run until that work is done, as the program's main loop outlives the pools;
  // work that never ends (a server left running) gets a bound, not a hang.
  context_.restart();
  context_.run_for(std::chrono::seconds(10));
  setMainExecutor(previous_, std::this_thread::get_id());
}

bool MainLoopForTests::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    context_.restart();
    context_.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

void MainLoopForTests::drain() {
  context_.restart();
  context_.poll();
}

}  // namespace veltrano
