// Blocks and metric batches from other threads reach the main thread.
#include "base/executors.hpp"
#include "core/metrics_batch.hpp"


#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <atomic>
#include <future>
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

struct FrameCount {
  std::int64_t frames = 0;
  bool empty() const { return frames == 0; }
  void applyTo(MetricsStore& store) const { store.capturedFrames.set(store.capturedFrames.get() + frames); }
};

TEST(MetricsBatch, ABurstReachesTheMainThreadInAFewBlocksWithTheExactTotal) {
  MainLoopForTests loop;
  auto metrics = std::make_shared<MetricsStore>();
  const Strand strand = makeActorStrand();
  auto batch = MetricsBatch<FrameCount>::create(strand, metrics);
  std::promise<void> burst;
  std::chrono::steady_clock::duration burstTook{};
  boost::asio::post(strand, [&] {
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) batch->update([](FrameCount& pending) { ++pending.frames; });
    burstTook = std::chrono::steady_clock::now() - began;
    burst.set_value();
  });
  burst.get_future().wait();
  std::size_t blocks = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (metrics->capturedFrames.get() < 1000 && std::chrono::steady_clock::now() < deadline) {
    loop.context().restart();
    blocks += loop.context().run_one_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(metrics->capturedFrames.get(), 1000);
  // The first change at once, the rest in the next batch; a burst that a busy machine stretched over flush
  // intervals may have sent one more at once per interval it lasted.
  const auto intervals = static_cast<std::size_t>(burstTook / MetricsBatch<FrameCount>::flushInterval);
  EXPECT_LE(blocks, 2u + intervals) << "a burst of " << std::chrono::duration<double, std::milli>(burstTook).count()
                                    << " ms";

  // What is pending when the batch goes away still arrives.
  std::promise<void> last;
  boost::asio::post(strand, [&] {
    batch->update([](FrameCount& pending) { pending.frames += 5; });
    batch->update([](FrameCount& pending) { pending.frames += 5; });
    batch.reset();
    last.set_value();
  });
  last.get_future().wait();
  EXPECT_TRUE(loop.runUntil([&] { return metrics->capturedFrames.get() == 1010; }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace veltrano
