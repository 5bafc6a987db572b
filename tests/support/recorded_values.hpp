#pragma once
// Values that callbacks hand over on other threads, kept in order for the test thread to read and wait on.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrano::testing {

template <class T>
class RecordedValues {
 public:
  void add(T value) {
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    changed_.notify_all();
  }
  // A callback that records what it is given; the recorder must outlive every call.
  auto recorder() {
    return [this](T value) { add(std::move(value)); };
  }

  // Waits until at least `count` values have arrived.
  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
  }
  // Waits until some value satisfies `matches`.
  bool waitForMatch(const std::function<bool(const T&)>& matches,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (const T& value : values_)
        if (matches(value)) return true;
      return false;
    });
  }
  // The value at `index` (0 = first), waiting up to `timeout` for it; nullopt when it did not come.
  std::optional<T> waitForValue(std::size_t index, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return values_.size() > index; })) return std::nullopt;
    return values_[index];
  }

  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }
  // Forgets the first value equal to `value`, so that the recorder no longer keeps it alive.
  void remove(const T& value) {
    std::lock_guard lock(mutex_);
    const auto found = std::find(values_.begin(), values_.end(), value);
    if (found != values_.end()) values_.erase(found);
  }
  void clear() {
    std::lock_guard lock(mutex_);
    values_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> values_;
};

// What a producer hands over on a thread of its own, and the reasons it gives for stopping.
template <class T>
struct Deliveries {
  RecordedValues<T> values;
  RecordedValues<std::string> stops;
};

}  // namespace veltrano::testing
