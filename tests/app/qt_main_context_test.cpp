// The main executor on Qt's GUI thread: hand-offs from I/O threads, coroutine hops, nested loops, shutdown.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "app/qt_test_support.hpp"
#include "base/executors.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using testing::processEventsUntil;

// Counts the destructions of the posted function it sits in, and those that happened off the GUI thread.
struct LifeProbe {
  struct Counts {
    std::atomic<int> destroyed{0}, offGui{0};
  };
  std::shared_ptr<Counts> counts;
  std::thread::id gui;
  LifeProbe(std::shared_ptr<Counts> shared, std::thread::id guiThread) : counts(std::move(shared)), gui(guiThread) {}
  LifeProbe(LifeProbe&& other) noexcept : counts(std::move(other.counts)), gui(other.gui) {}
  ~LifeProbe() {
    if (!counts) return;
    ++counts->destroyed;
    if (std::this_thread::get_id() != gui) ++counts->offGui;
  }
};

class QtMainContextTest : public ::testing::Test {
 protected:
  testing::QtMainForTests main_;
  IoThreads io_{"test I/O", 3};
  asio::any_io_executor mainExec() { return mainExecutor(); }
};

TEST_F(QtMainContextTest, PostsFromIoThreadsRunOnTheGuiThreadInOrderAndDieThere) {
  constexpr int perThread = 500;
  const auto gui = std::this_thread::get_id();
  std::vector<std::vector<int>> seen(3);
  std::atomic<int> wrongThread{0};
  auto counts = std::make_shared<LifeProbe::Counts>();
  for (int sender = 0; sender < 3; ++sender) {
    asio::post(io_.executor(), [&, sender] {
      for (int i = 0; i < perThread; ++i) {
        asio::post(mainExec(), [&, sender, i, probe = LifeProbe(counts, gui)] {
          if (std::this_thread::get_id() != gui) ++wrongThread;
          seen[sender].push_back(i);
        });
      }
    });
  }
  ASSERT_TRUE(processEventsUntil([&] {
    return seen[0].size() == perThread && seen[1].size() == perThread && seen[2].size() == perThread;
  }));
  EXPECT_EQ(wrongThread, 0);
  EXPECT_EQ(counts->offGui, 0);
  for (const auto& list : seen) {
    for (int i = 0; i < perThread; ++i) ASSERT_EQ(list[i], i);
  }
}

TEST_F(QtMainContextTest, DispatchRunsInlineOnTheGuiThreadAndPostNever) {
  bool ran = false;
  asio::dispatch(mainExec(), [&] { ran = true; });
  EXPECT_TRUE(ran);
  ran = false;
  asio::post(mainExec(), [&] { ran = true; });
  EXPECT_FALSE(ran);
  EXPECT_TRUE(processEventsUntil([&] { return ran; }));
}

asio::awaitable<std::vector<std::thread::id>> hopThroughAStrand(Strand strand) {
  std::vector<std::thread::id> threads{std::this_thread::get_id()};
  auto onStrand = [](std::vector<std::thread::id>* out) -> asio::awaitable<void> {
    out->push_back(std::this_thread::get_id());
    co_return;
  };
  co_await asio::co_spawn(strand, onStrand(&threads), asio::use_awaitable);
  threads.push_back(std::this_thread::get_id());
  asio::steady_timer timer(strand.get_inner_executor(), 5ms);
  co_await timer.async_wait(asio::use_awaitable);
  threads.push_back(std::this_thread::get_id());
  co_return threads;
}

TEST_F(QtMainContextTest, MainCoroutinesResumeOnTheGuiThreadAfterHopsAndIoWaits) {
  std::optional<std::vector<std::thread::id>> threads;
  asio::co_spawn(mainExec(), hopThroughAStrand(asio::make_strand(io_.executor())),
                 [&](std::exception_ptr error, std::vector<std::thread::id> result) {
                   ASSERT_FALSE(error);
                   threads = std::move(result);
                 });
  ASSERT_TRUE(processEventsUntil([&] { return threads.has_value(); }));
  const auto gui = std::this_thread::get_id();
  ASSERT_EQ(threads->size(), 4u);
  EXPECT_EQ((*threads)[0], gui);
  EXPECT_NE((*threads)[1], gui);  // on the strand
  EXPECT_EQ((*threads)[2], gui);
  EXPECT_EQ((*threads)[3], gui);
}

TEST_F(QtMainContextTest, PostedWorkRunsInsideANestedLoop) {
  bool ranInside = false;
  QEventLoop nested;
  QTimer::singleShot(0, [&] {
    asio::post(io_.executor(), [&] { asio::post(mainExecutor(), [&] {
      ranInside = nested.isRunning();
      nested.quit();
    }); });
  });
  QTimer::singleShot(10000, &nested, &QEventLoop::quit);
  nested.exec();
  EXPECT_TRUE(ranInside);
}

TEST_F(QtMainContextTest, TrackedCopiesCountAsOutstandingWork) {
  auto executor = main_.context().get_executor();
  EXPECT_EQ(main_.context().outstandingWork(), 0);
  {
    auto tracked = asio::prefer(executor, asio::execution::outstanding_work.tracked);
    auto copy = tracked;
    EXPECT_EQ(main_.context().outstandingWork(), 2);
    auto moved = std::move(copy);
    EXPECT_EQ(main_.context().outstandingWork(), 2);
  }
  EXPECT_EQ(main_.context().outstandingWork(), 0);
}

TEST_F(QtMainContextTest, AnExceptionFromAPostedFunctionIsReportedNotPropagated) {
  std::string reported;
  main_.context().onException = [&](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      reported = e.what();
    }
  };
  asio::post(mainExec(), [] { throw std::runtime_error("boom"); });
  EXPECT_TRUE(processEventsUntil([&] { return !reported.empty(); }));
  EXPECT_EQ(reported, "boom");
}

TEST_F(QtMainContextTest, ShutdownDropsQueuedFunctionsAndRefusesLaterOnes) {
  int ran = 0;
  auto counts = std::make_shared<LifeProbe::Counts>();
  asio::post(mainExec(), [&ran, probe = LifeProbe(counts, std::this_thread::get_id())] { ++ran; });
  main_.context().shutdownQueue();
  EXPECT_EQ(counts->destroyed, 1);
  asio::post(mainExec(), [&ran, probe = LifeProbe(counts, std::this_thread::get_id())] { ++ran; });
  EXPECT_EQ(counts->destroyed, 2);
  QCoreApplication::processEvents();
  EXPECT_EQ(ran, 0);
}

// The one safe order: stop and join the I/O threads, shut the main queue, destroy the I/O context's pending
// operations (their suspended main coroutines unwind now), then the main context.
TEST(QtMainContextShutdown, SuspendedMainCoroutinesUnwindCleanlyInTheSafeOrder) {
  testing::qtApplication();
  struct IoContext : asio::io_context {
    using asio::execution_context::shutdown;
  };
  auto mainContext = std::make_unique<app::QtMainContext>();
  auto previous = mainExecutor();
  setMainExecutor(mainContext->get_executor(), std::this_thread::get_id());
  auto io = std::make_unique<IoContext>();
  auto guard = asio::make_work_guard(*io);
  std::thread ioThread([&] { io->run(); });

  auto unwound = std::make_shared<std::atomic<int>>(0);
  auto started = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < 8; ++i) {
    asio::co_spawn(
        mainContext->get_executor(),
        [](asio::io_context& io, std::shared_ptr<std::atomic<int>> started,
           std::shared_ptr<std::atomic<int>> unwound) -> asio::awaitable<void> {
          struct OnUnwind {
            std::shared_ptr<std::atomic<int>> count;
            ~OnUnwind() { ++*count; }
          } onUnwind{unwound};
          asio::steady_timer timer(io, std::chrono::hours(1));
          ++*started;
          co_await timer.async_wait(asio::use_awaitable);
        }(*io, started, unwound),
        [](std::exception_ptr) {});
  }
  ASSERT_TRUE(processEventsUntil([&] { return *started == 8; }));

  guard.reset();
  io->stop();
  ioThread.join();
  mainContext->shutdownQueue();
  io->shutdown();
  EXPECT_EQ(*unwound, 8);
  io.reset();
  mainContext.reset();
  setMainExecutor(previous, std::this_thread::get_id());
}

}  // namespace
}  // namespace veltrano
