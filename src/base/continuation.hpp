#pragma once
// A one-shot continuation: one coroutine waits, any thread resumes it once. A resume that comes before the wait
// is kept; later resumes are ignored (the first one wins).
#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <variant>

namespace veltrano {

namespace asio = boost::asio;

template <class T = void>
class Continuation {
  using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
  using Signature = std::conditional_t<std::is_void_v<T>, void(std::exception_ptr), void(std::exception_ptr, Value)>;

  struct State {
    std::mutex mutex;
    bool resumed = false;
    std::exception_ptr error;
    std::optional<Value> value;
    std::optional<asio::any_completion_handler<Signature>> handler;
    asio::any_io_executor handlerExecutor;
  };

 public:
  Continuation() : state_(std::make_shared<State>()) {}

  // Waits until resumed; rethrows the error of resumeThrowing.
  asio::awaitable<T> wait() const {
    return asio::async_initiate<const asio::use_awaitable_t<>, Signature>(
        [weak = std::weak_ptr<State>(state_)](auto handler) {
          // The waiting frame keeps this function while it waits, and the state keeps the frame's handler:
          // holding the state here would keep both alive for ever once every resumer is gone.
          if (const std::shared_ptr<State> state = weak.lock()) begin(*state, std::move(handler));
        },
        asio::use_awaitable);
  }

  // Waits like wait() for a continuation the waiting frame need not keep: once the wait has begun, only the
  // resumers hold it, so a waiter that every resumer has left behind is freed with the last of them.
  asio::awaitable<T> waitLettingGo() && {
    return asio::async_initiate<const asio::use_awaitable_t<>, Signature>(
        [state = std::move(state_)](auto handler) mutable {
          const std::shared_ptr<State> held = std::move(state);
          begin(*held, std::move(handler));
        },
        asio::use_awaitable);
  }

  // Returns false when already resumed.
  template <class U = T>
    requires(!std::is_void_v<U>)
  bool resume(U value) const {
    return finish(nullptr, Value(std::move(value)));
  }
  bool resume() const
    requires std::is_void_v<T>
  {
    return finish(nullptr, Value{});
  }
  bool resumeThrowing(std::exception_ptr error) const { return finish(std::move(error), std::nullopt); }

  bool isResumed() const {
    std::lock_guard lock(state_->mutex);
    return state_->resumed;
  }

 private:
  bool finish(std::exception_ptr error, std::optional<Value> value) const {
    std::unique_lock lock(state_->mutex);
    if (state_->resumed) return false;
    state_->resumed = true;
    if (!state_->handler) {
      state_->error = std::move(error);
      state_->value = std::move(value);
      return true;
    }
    auto handler = std::move(*state_->handler);
    auto executor = std::move(state_->handlerExecutor);
    state_->handler.reset();
    lock.unlock();
    complete(executor, std::move(handler), std::move(error), std::move(value));
    return true;
  }

  template <class Handler>
  static void begin(State& state, Handler handler) {
    asio::any_io_executor executor = asio::get_associated_executor(handler);
    std::unique_lock lock(state.mutex);
    if (state.resumed) {
      lock.unlock();
      complete(executor, std::move(handler), state.error, std::move(state.value));
    } else {
      state.handler.emplace(std::move(handler));
      state.handlerExecutor = std::move(executor);
    }
  }

  template <class Handler>
  static void complete(const asio::any_io_executor& executor, Handler handler, std::exception_ptr error,
                       std::optional<Value> value) {
    // Never inside the resumer's stack: the waiter resumes on its own executor. Deferred rather than posted, so
    // that a resumer already running on the waiter's threads hands over to it when its own handler returns,
    // instead of waking another thread for it.
    if constexpr (std::is_void_v<T>) {
      asio::defer(executor, [h = std::move(handler), error]() mutable { std::move(h)(error); });
    } else {
      if (!value && !error) error = std::make_exception_ptr(std::logic_error("continuation resumed without value"));
      asio::defer(executor, [h = std::move(handler), error, v = std::move(value)]() mutable {
        std::move(h)(error, v ? std::move(*v) : Value{});
      });
    }
  }

  std::shared_ptr<State> state_;
};

}  // namespace veltrano
