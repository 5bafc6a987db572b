// Changes to the metrics store from a busy strand reach the main thread in a few exact batches.
#include "core/metrics_batch.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <future>

namespace veltrano {
namespace {

using namespace std::chrono_literals;

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
  boost::asio::post(strand, [&] {
    for (int i = 0; i < 1000; ++i) batch->update([](FrameCount& pending) { ++pending.frames; });
    burst.set_value();
  });
  burst.get_future().wait();
  std::size_t blocks = 0;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (metrics->capturedFrames.get() < 1000 && std::chrono::steady_clock::now() < deadline) {
    loop.context().restart();
    blocks += loop.context().run_one_for(5ms);
  }
  EXPECT_EQ(metrics->capturedFrames.get(), 1000);
  EXPECT_LE(blocks, 2u);  // the first change at once, the rest in the next batch

  // What is pending when the batch goes away still arrives.
  std::promise<void> last;
  boost::asio::post(strand, [&] {
    batch->update([](FrameCount& pending) { pending.frames += 5; });
    batch->update([](FrameCount& pending) { pending.frames += 5; });
    batch.reset();
    last.set_value();
  });
  last.get_future().wait();
  EXPECT_TRUE(loop.runUntil([&] { return metrics->capturedFrames.get() == 1010; }, 5s));
}

}  // namespace
}  // namespace veltrano
