#pragma once
// A value with its own change signal. Setting an equal value stores nothing and notifies nobody.
// Main thread only (like the store that holds these properties).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "base/thread_checks.hpp"

namespace veltrano {

// Ends an observation when destroyed or reset. Safe to outlive the observed property.
class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  ~Subscription() { reset(); }
  Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      reset();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  void reset() {
    if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
  }

 private:
  std::function<void()> cancel_;
};

template <class T>
class ObservableProperty {
 public:
  using Observer = std::function<void(const T&)>;

  ObservableProperty() : ObservableProperty(T{}) {}
  explicit ObservableProperty(T initial) : value_(std::move(initial)), observers_(std::make_shared<Observers>()) {}
  ObservableProperty(const ObservableProperty&) = delete;
  ObservableProperty& operator=(const ObservableProperty&) = delete;

  const T& get() const {
    assertOnMainThread();
    return value_;
  }
  const T& operator()() const { return get(); }

  // Stores `value` and notifies the observers when it differs from the stored one; returns whether it did.
  bool set(T value) {
    assertOnMainThread();
    if (value == value_) return false;
    value_ = std::move(value);
    notify();
    return true;
  }

  // Changes the stored value in place and notifies; for a change known to be one (an appended log entry),
  // where building a copy to compare would cost more than the change itself.
  template <class Mutation>
  void mutate(Mutation&& mutation) {
    assertOnMainThread();
    std::forward<Mutation>(mutation)(value_);
    notify();
  }

  // `observer` runs after every change, with the new value. Observers added or removed while a change is
  // being announced take effect from the next change on.
  [[nodiscard]] Subscription observe(Observer observer) const {
    assertOnMainThread();
    auto id = observers_->nextId++;
    observers_->entries.emplace(id, std::make_shared<Observer>(std::move(observer)));
    std::weak_ptr<Observers> weak = observers_;
    return Subscription([weak, id] {
      if (auto observers = weak.lock()) {
        assertOnMainThread();
        observers->entries.erase(id);
      }
    });
  }

  std::size_t observerCount() const {
    assertOnMainThread();
    return observers_->entries.size();
  }

 private:
  struct Observers {
    std::uint64_t nextId = 0;
    std::map<std::uint64_t, std::shared_ptr<Observer>> entries;
  };

  void notify() {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> snapshot(observers_->entries.begin(),
                                                                             observers_->entries.end());
    auto keepAlive = observers_;
    for (auto& [id, observer] : snapshot) {
      // Skip an observer that an earlier one removed during this announcement.
      if (!keepAlive->entries.contains(id)) continue;
      (*observer)(value_);
    }
  }

  T value_;
  std::shared_ptr<Observers> observers_;
};

}  // namespace veltrano
