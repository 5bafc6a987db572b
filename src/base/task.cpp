#include "base/task.hpp"

#include <condition_variable>
#include <string>

#include "base/unhandled_error.hpp"

namespace veltrano {

namespace {
std::atomic<std::uint64_t> gNextTaskID{1};
}  // namespace

TaskContext::TaskContext() : id_(gNextTaskID.fetch_add(1)) {}

void TaskContext::cancel() {
  std::map<std::uint64_t, std::function<void()>> hooks;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true)) return;
    hooks.swap(hooks_);
  }
  for (auto& [key, hook] : hooks) hook();
}

std::uint64_t TaskContext::onCancel(std::function<void()> hook) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_.load()) {
      auto key = ++nextHook_;
      hooks_.emplace(key, std::move(hook));
      return key;
    }
  }
  hook();
  return 0;
}

void TaskContext::removeCancelHook(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  hooks_.erase(key);
}

namespace {
// The body is a parameter so it lives in this frame for as long as its coroutine runs
// (a lambda's captures would otherwise dangle once spawn() returns).
asio::awaitable<void> runBody(Task::Body body, TaskToken context) { co_await body(std::move(context)); }
}  // namespace

Task Task::spawn(const asio::any_io_executor& executor, Body body) {
  Task task;
  task.context_ = std::make_shared<TaskContext>();
  auto context = task.context_;
  asio::co_spawn(executor, runBody(std::move(body), context), [context](std::exception_ptr error) { finish(context, error); });
  return task;
}

void Task::finish(const TaskToken& context, std::exception_ptr error) {
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const CancellationError&) {
      error = nullptr;  // a cancelled task ends normally
    } catch (...) {
      reportUnhandledError("task " + std::to_string(context->id()), error);
    }
  }
  std::vector<Continuation<>> joiners;
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(context->mutex_);
    context->finished_ = true;
    context->error_ = error;
    joiners.swap(context->joiners_);
    callbacks.swap(context->finishCallbacks_);
    context->hooks_.clear();
  }
  for (auto& j : joiners) j.resume();
  for (auto& c : callbacks) c();
}

bool Task::isFinished() const {
  if (!context_) return true;
  std::lock_guard lock(context_->mutex_);
  return context_->finished_;
}

std::exception_ptr Task::error() const {
  if (!context_) return nullptr;
  std::lock_guard lock(context_->mutex_);
  return context_->error_;
}

asio::awaitable<void> Task::join() const {
  if (!context_) co_return;
  Continuation<> done;
  {
    std::lock_guard lock(context_->mutex_);
    if (context_->finished_) co_return;
    context_->joiners_.push_back(done);
  }
  co_await done.wait();
}

bool Task::joinBlocking(std::chrono::milliseconds timeout) const {
  if (!context_) return true;
  auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto finished = std::make_shared<bool>(false);
  {
    std::lock_guard lock(context_->mutex_);
    if (context_->finished_) return true;
    context_->finishCallbacks_.push_back([state, finished] {
      std::lock_guard l(state->first);
      *finished = true;
      state->second.notify_all();
    });
  }
  std::unique_lock l(state->first);
  return state->second.wait_for(l, timeout, [&] { return *finished; });
}

}  // namespace veltrano
