#include "base/actor.hpp"
#include "base/clock.hpp"
#include "base/executors.hpp"
#include "base/task.hpp"
#include "support/expected_unhandled_errors.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;

class AsyncTest : public ::testing::Test {
 protected:
  MainLoopForTests loop;
  VirtualClock clock{[this] { loop.drain(); }};
};

TEST_F(AsyncTest, SleepsWakeInDeadlineOrderOnVirtualTime) {
  std::vector<int> woke;
  auto sleeper = [&](int ms) {
    return Task::spawn(mainExecutor(), [&, ms](TaskToken token) -> asio::awaitable<void> {
      co_await sleepFor(token, clock, std::chrono::milliseconds(ms));
      woke.push_back(ms);
    });
  };
  auto a = sleeper(300);
  auto b = sleeper(100);
  auto c = sleeper(200);
  loop.drain();
  EXPECT_EQ(clock.sleeperCount(), 3u);
  clock.advance(150ms);
  EXPECT_EQ(woke, (std::vector<int>{100}));
  clock.advance(1s);
  EXPECT_EQ(woke, (std::vector<int>{100, 200, 300}));
  EXPECT_TRUE(a.isFinished() && b.isFinished() && c.isFinished());
}

TEST_F(AsyncTest, CancelWakesASleepWithCancellationAndJoinReturns) {
  bool reachedEnd = false;
  bool sawCancel = false;
  auto task = Task::spawn(mainExecutor(), [&](TaskToken token) -> asio::awaitable<void> {
    try {
      co_await sleepFor(token, clock, 10s);
      reachedEnd = true;
    } catch (const CancellationError&) {
      sawCancel = true;
    }
  });
  bool joined = false;
  auto joiner = Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
    co_await task.join();
    joined = true;
  });
  // Cancelled before it ever ran: it sleeps no more and its uncaught cancellation ends it normally.
  auto early = Task::spawn(mainExecutor(), [&](TaskToken token) -> asio::awaitable<void> {
    co_await sleepFor(token, clock, 1s);
  });
  early.cancel();
  loop.drain();
  EXPECT_FALSE(joined);
  task.cancel();
  ASSERT_TRUE(loop.runUntil([&] { return joined && early.isFinished(); }));
  EXPECT_TRUE(sawCancel);
  EXPECT_FALSE(reachedEnd);
  EXPECT_EQ(clock.sleeperCount(), 0u);
  EXPECT_TRUE(task.isCancelled());
  EXPECT_NE(task.id(), joiner.id());
  EXPECT_EQ(early.error(), nullptr);
}

TEST_F(AsyncTest, OtherErrorsAreReportedAndKept) {
  veltrano::testing::ExpectedUnhandledErrors expected;
  auto task = Task::spawn(mainExecutor(), [](TaskToken) -> asio::awaitable<void> {
    throw std::runtime_error("boom");
    co_return;
  });
  ASSERT_TRUE(loop.runUntil([&] { return task.isFinished(); }));
  auto error = expected.errors().waitForValue(0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->where, "task " + std::to_string(task.id()));
  EXPECT_EQ(error->message, "boom");
  EXPECT_NE(task.error(), nullptr);
}

TEST_F(AsyncTest, ContinuationResumedFromAnyThreadOnceBeforeOrAfterTheWaitOrWithAnError) {
  Continuation<int> early;
  EXPECT_TRUE(early.resume(7));
  EXPECT_FALSE(early.resume(8));
  Continuation<int> late;
  Continuation<int> failing;
  failing.resumeThrowing(std::make_exception_ptr(std::runtime_error("nope")));
  std::vector<int> got;
  std::string message;
  auto task = Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
    got.push_back(co_await early.wait());
    got.push_back(co_await late.wait());
    try {
      co_await failing.wait();
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
  });
  loop.drain();
  std::thread([late] { late.resume(9); }).join();
  ASSERT_TRUE(loop.runUntil([&] { return task.isFinished(); }));
  EXPECT_EQ(got, (std::vector<int>{7, 9}));
  EXPECT_EQ(message, "nope");
}

TEST_F(AsyncTest, AWaiterLeftBehindByEveryResumerIsFreed) {
  auto resumer = std::make_optional<Continuation<>>();
  auto frameAlive = std::make_shared<int>(0);
  std::weak_ptr<int> frame = frameAlive;
  asio::co_spawn(
      mainExecutor(),
      [](const Continuation<>& c, std::shared_ptr<int>) -> asio::awaitable<void> { co_await c.wait(); }(
          *resumer, std::move(frameAlive)),
      asio::detached);
  loop.drain();
  ASSERT_FALSE(frame.expired());
  resumer.reset();  // nobody can resume it any more
  loop.drain();      // the frame unwinds on its executor
  EXPECT_TRUE(frame.expired());
}

TEST_F(AsyncTest, ATaskLeftSleepingOnAVirtualClockIsFreedWithTheClock) {
  auto ownClock = std::make_optional<VirtualClock>();
  auto frameAlive = std::make_shared<int>(0);
  std::weak_ptr<int> frame = frameAlive;
  Task::spawn(mainExecutor(), [&ownClock, alive = std::move(frameAlive)](TaskToken token) -> asio::awaitable<void> {
    const std::shared_ptr<int> kept = alive;
    co_await sleepFor(std::move(token), *ownClock, 1h);
  });
  loop.drain();
  ASSERT_EQ(ownClock->sleeperCount(), 1u);
  ASSERT_FALSE(frame.expired());
  ownClock.reset();  // nothing will ever wake the sleep
  loop.drain();
  EXPECT_TRUE(frame.expired()) << "the sleeping task's frame outlived everything that could resume it";
}

TEST_F(AsyncTest, PostsFromManyThreadsRunOnTheMainThreadInOrderPerThread) {
  constexpr int kThreads = 4, kPosts = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> offMain{0};
  int total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) {
        performOnMainRunLoop([&, t, i] {
          if (!isOnMainThread()) ++offMain;
          seen[t].push_back(i);
          ++total;
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(loop.runUntil([&] { return total == kThreads * kPosts; }));
  EXPECT_EQ(offMain.load(), 0);
  for (auto& s : seen) {
    ASSERT_EQ(s.size(), static_cast<size_t>(kPosts));
    for (int i = 0; i < kPosts; ++i) ASSERT_EQ(s[i], i);
  }
}

// A post from another thread while the main loop's owner destroys it (as a batch flushed by a service released in
// the background does at a test's end) reaches that loop before it goes, or none at all. AddressSanitizer saw a post
// land in a destroyed loop before posts went out under the executor's lock.
TEST(MainLoop, PostsFromAnotherThreadNeverReachALoopBeingDestroyed) {
  std::atomic<bool> posting{true};
  std::atomic<int> posts{0};
  std::thread poster([&] {
    while (posting) {
      performOnMainRunLoop([] {});
      ++posts;
    }
  });
  // Loops come and go for as long as the other thread posts many times.
  for (int loops = 0; loops < 2000 || posts < 20000; ++loops) {
    MainLoopForTests loop;
    loop.drain();
  }
  posting = false;
  poster.join();
}

// A coroutine still awaiting work on a pool when its loop's owner leaves is resumed on that loop before it goes.
// ThreadSanitizer saw the pool post such a resumption into a loop being destroyed.
TEST(MainLoop, ACoroutineAwaitingAPoolWhenTheLoopEndsIsResumedBeforeItGoes) {
  const auto strand = makeActorStrand();
  std::atomic<bool> resumedOnMain{false};
  {
    MainLoopForTests loop;
    Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
      co_await runOn(strand, []() -> asio::awaitable<void> {
        std::this_thread::sleep_for(100ms);  // the loop's owner leaves meanwhile
        co_return;
      }());
      resumedOnMain = isOnMainThread();
    });
    loop.drain();
  }
  EXPECT_TRUE(resumedOnMain);
}

TEST_F(AsyncTest, AsyncMutexKeepsOperationsFromInterleavingAcrossAwaits) {
  AsyncMutex mutex;
  std::vector<std::string> trace;
  auto op = [&](std::string name) {
    return Task::spawn(mainExecutor(), [&, name](TaskToken token) -> asio::awaitable<void> {
      auto guard = co_await mutex.lock();
      trace.push_back(name + "+");
      co_await sleepFor(token, clock, 10ms);
      trace.push_back(name + "-");
    });
  };
  auto a = op("a");
  auto b = op("b");
  loop.drain();
  clock.advance(10ms);
  clock.advance(10ms);
  ASSERT_TRUE(loop.runUntil([&] { return a.isFinished() && b.isFinished(); }));
  EXPECT_EQ(trace, (std::vector<std::string>{"a+", "a-", "b+", "b-"}));
}

TEST_F(AsyncTest, RunOnHopsToTheActorAndBack) {
  auto strand = makeActorStrand();
  bool onStrand = false, backOnMain = false;
  auto task = Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
    int v = co_await runOn(strand, [&]() -> asio::awaitable<int> {
      onStrand = strand.running_in_this_thread();
      co_return 5;
    }());
    backOnMain = isOnMainThread() && v == 5;
  });
  ASSERT_TRUE(loop.runUntil([&] { return task.isFinished(); }));
  EXPECT_TRUE(onStrand);
  EXPECT_TRUE(backOnMain);
}

TEST(ThreadChecks, ACallOffItsStrandOnItsStrandOrOffTheMainThreadAbortsNamingTheCaller) {
#ifdef VELTRANO_THREAD_CHECKS
  // The dying call starts a thread: in a fresh process, since ThreadSanitizer refuses threads after a fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Strand strand = makeActorStrand();
  EXPECT_DEATH(assertOnStrand(strand), "async_test.cpp:[0-9]+: .* called off its strand");
  assertOffStrand(strand);
  // The death test's child has no I/O threads: the strand runs on a context of its own there.
  EXPECT_DEATH(
      {
        asio::io_context context;
        const auto own = asio::make_strand(context.get_executor());
        asio::post(own, [&] { assertOffStrand(own); });
        context.run();
      },
      "async_test.cpp:[0-9]+: .* called off threads other than its strand");
  EXPECT_DEATH(std::thread([] { assertOnMainThread(); }).join(), "called off the main thread");
  assertOnMainThread();  // the test program's main thread, also without a main loop
  MainLoopForTests loop;
  assertOnMainThread();
  auto runningOn = [](Strand s) -> asio::awaitable<bool> { co_return co_await isRunningOn(s); };
  EXPECT_TRUE(asio::co_spawn(strand, runningOn(strand), asio::use_future).get());
  EXPECT_FALSE(asio::co_spawn(sharedIo().executor(), runningOn(strand), asio::use_future).get());
#else
  GTEST_SKIP() << "built without VELTRANO_THREAD_CHECKS";
#endif
}
