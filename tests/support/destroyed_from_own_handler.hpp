#pragma once
// A producer that delivers on a thread of its own (a capture stream, a sound capture) must survive its owner
// dropping it from inside one of its deliveries: the delivering thread then finishes by itself.
#include <chrono>
#include <future>
#include <memory>

#include <gtest/gtest.h>

namespace veltrano::test {

// `start(handler)` starts a Producer with `handler` as its delivery handler and returns it. The first delivery
// resets the owning pointer; the test fails when that does not happen within five seconds.
template <class Producer, class Start>
void expectDestroyedFromOwnHandler(Start start) {
  std::promise<std::unique_ptr<Producer>*> owner;
  std::shared_future<std::unique_ptr<Producer>*> ownerReady = owner.get_future().share();
  std::promise<void> destroyed;
  std::unique_ptr<Producer> doomed = start([&](auto&&...) {
    auto* holder = ownerReady.get();
    if (*holder) {
      holder->reset();
      destroyed.set_value();
    }
  });
  owner.set_value(&doomed);
  ASSERT_EQ(destroyed.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(doomed, nullptr);
}

}  // namespace veltrano::test
