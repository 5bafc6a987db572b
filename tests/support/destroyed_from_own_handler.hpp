#pragma once
// A producer that delivers on a thread of its own (a capture stream, a sound capture, an encoder) must survive its
// owner stopping or dropping it from inside one of its deliveries: the delivering thread then finishes by itself.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/eventually.hpp"

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

// `start(handler)` starts a Producer whose handler runs `stop(producer)`; after `poke(producer)` asks for more, that
// first delivery stays the last, and the owner's destruction afterwards still returns.
template <class Producer, class Start, class Stop, class Poke>
void expectStoppedFromOwnHandler(Start start, Stop stop, Poke poke) {
  std::promise<Producer*> self;
  std::shared_future<Producer*> selfReady = self.get_future().share();
  std::atomic<int> handled{0};
  std::unique_ptr<Producer> producer = start([&](auto&&...) {
    ++handled;
    stop(*selfReady.get());
  });
  self.set_value(producer.get());
  ASSERT_TRUE(testing::eventually([&] { return handled.load() > 0; }));
  poke(*producer);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a delivery that must not come
  EXPECT_EQ(handled.load(), 1);
  producer.reset();
}

}  // namespace veltrano::test
