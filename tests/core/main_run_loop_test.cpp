#include "core/main_run_loop.hpp"

#include "base/executors.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace veltrano {
namespace {

TEST(PerformOnMainRunLoop, RunsBlocksFromManyThreadsOnTheMainThreadInPostingOrder) {
  MainLoopForTests mainLoop;
  const auto mainThread = std::this_thread::get_id();
  constexpr int threads = 4;
  constexpr int perThread = 250;
  std::vector<std::vector<int>> seen(threads);
  std::atomic<int> offMain{0};
  std::atomic<int> ran{0};

  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        performOnMainRunLoop([&, t, i] {
          if (std::this_thread::get_id() != mainThread) ++offMain;
          seen[t].push_back(i);  // main thread only: no lock needed
          ++ran;
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  // Nothing runs before the main loop turns.
  EXPECT_EQ(ran.load(), 0);
  ASSERT_TRUE(mainLoop.runUntil([&] { return ran.load() == threads * perThread; }));
  EXPECT_EQ(offMain.load(), 0);
  for (const auto& order : seen) {
    ASSERT_EQ(order.size(), static_cast<std::size_t>(perThread));
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  }
}

TEST(PerformOnMainRunLoop, ABlockMayPostAnotherThatRunsAfterIt) {
  MainLoopForTests mainLoop;
  std::vector<std::string> order;
  performOnMainRunLoop([&] {
    order.push_back("outer");
    performOnMainRunLoop([&] { order.push_back("inner"); });
  });
  performOnMainRunLoop([&] { order.push_back("second"); });
  ASSERT_TRUE(mainLoop.runUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "second", "inner"}));
}

}  // namespace
}  // namespace veltrano
