#include <boost/asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/continuation.hpp"
#include "remote/remote_phone_pointer_queue.hpp"
#include "remote/remote_session_input_end.hpp"
#include "support/eventually.hpp"
#include "support/expected_unhandled_errors.hpp"
#include "support/recorded_values.hpp"

namespace veltrano {
namespace {

namespace asio = boost::asio;

class PhonePointerQueue : public ::testing::Test {
 protected:
  ~PhonePointerQueue() override {
    gate.resume();
    pool.join();
  }

  // An operation that records `name` when it ends, after waiting for `wait` when given.
  RemotePhonePointerQueue::Operation recording(std::string name, std::optional<Continuation<>> wait = {}) {
    return [this, name, wait] { return record(&done, name, wait); };
  }
  // The session's handling: acts only while the session is alive.
  RemotePhonePointerQueue::Operation command(std::string name) {
    return [this, name] { return runIfActive(this, name); };
  }
  // Occupies the queue until `gate` opens.
  void enqueueBlocker() {
    queue->enqueue(recording("blocker", gate), false);
    ASSERT_TRUE(testing::eventually([&] { return queue->pendingCount() == 0; }));
  }

  static asio::awaitable<void> record(testing::RecordedValues<std::string>* into, std::string name,
                                      std::optional<Continuation<>> wait) {
    if (wait) co_await wait->wait();
    into->add(std::move(name));
  }
  static asio::awaitable<void> runIfActive(PhonePointerQueue* self, std::string name) {
    self->done.add(self->lifetime.isActive() ? name : name + " skipped");
    co_return;
  }

  asio::thread_pool pool{4};
  std::shared_ptr<RemotePhonePointerQueue> queue = RemotePhonePointerQueue::create(pool.get_executor());
  RemoteSessionLifetime lifetime;
  Continuation<> gate;
  testing::RecordedValues<std::string> done;
};

TEST_F(PhonePointerQueue, CommandsCompleteInEnqueueOrderEvenWhenTheFirstIsSlowOrAnotherFails) {
  testing::ExpectedUnhandledErrors errors;
  queue->enqueue(recording("1", gate), true);
  queue->enqueue(recording("2"), true);
  queue->enqueue([]() -> asio::awaitable<void> { throw std::runtime_error("broken command"); }, false);
  queue->enqueue(recording("3"), false);
  ASSERT_TRUE(testing::eventually([&] { return queue->pendingCount() == 3; }));
  EXPECT_EQ(done.size(), 0u);
  gate.resume();
  ASSERT_TRUE(done.waitForCount(3));
  EXPECT_EQ(done.values(), (std::vector<std::string>{"1", "2", "3"}));
  ASSERT_TRUE(errors.errors().waitForCount(1));
  EXPECT_EQ(errors.errors().values()[0].message, "broken command");
  // An idle queue starts again with the next command.
  queue->enqueue(recording("4"), true);
  ASSERT_TRUE(done.waitForCount(4));
}

TEST_F(PhonePointerQueue, AtTheLimitTheOldestDroppableCommandMakesRoom) {
  struct Case {
    const char* name;
    bool fillDroppable;        // what waits behind the blocker, up to the limit
    std::vector<bool> extras;  // droppable flags of the commands that come on top
    std::size_t pending;
    std::vector<std::string> expectedFirst;  // the first commands to run after the blocker
  };
  const Case cases[] = {
      {"droppable waiting", true, {true, false}, RemotePhonePointerQueue::pendingLimit, {"fill 2", "fill 3"}},
      {"only kept commands waiting", false, {true, false}, RemotePhonePointerQueue::pendingLimit + 1,
       {"fill 0", "fill 1"}},
  };
  for (const Case& c : cases) {
    queue = RemotePhonePointerQueue::create(pool.get_executor());
    gate = Continuation<>();
    done.clear();
    enqueueBlocker();
    for (std::size_t i = 0; i < RemotePhonePointerQueue::pendingLimit; ++i) {
      queue->enqueue(recording("fill " + std::to_string(i)), c.fillDroppable);
    }
    for (std::size_t i = 0; i < c.extras.size(); ++i) queue->enqueue(recording("extra " + std::to_string(i)), c.extras[i]);
    EXPECT_EQ(queue->pendingCount(), c.pending) << c.name;
    gate.resume();
    ASSERT_TRUE(done.waitForCount(c.pending + 1)) << c.name;
    const auto ran = done.values();
    ASSERT_EQ(ran.size(), c.pending + 1) << c.name;
    EXPECT_EQ(ran[0], "blocker") << c.name;
    EXPECT_EQ(std::vector<std::string>(ran.begin() + 1, ran.begin() + 3), c.expectedFirst) << c.name;
    // What came on top and was kept runs last, in order.
    EXPECT_EQ(ran.back(), "extra 1") << c.name;
    EXPECT_EQ(queue->droppedCount(), RemotePhonePointerQueue::pendingLimit + c.extras.size() - c.pending) << c.name;
  }
}

TEST_F(PhonePointerQueue, EndingTheSessionSkipsWaitingCommandsAndThenEndsItsPointerSessions) {
  queue->insertPointerSession("p1");
  queue->insertPointerSession("p2");
  queue->insertPointerSession("p1");
  EXPECT_EQ(queue->pointerSessionSnapshot(), (std::set<std::string>{"p1", "p2"}));

  enqueueBlocker();
  queue->enqueue(command("queued"), true);
  endRemoteSessionInput(*queue, lifetime, [this](std::set<std::string> sessions) {
    std::string names = "end";
    for (const auto& session : sessions) names += " " + session;
    return record(&done, names, std::nullopt);
  });
  EXPECT_FALSE(lifetime.isActive());
  queue->enqueue(command("late"), true);
  gate.resume();
  ASSERT_TRUE(done.waitForCount(4));
  EXPECT_EQ(done.values(), (std::vector<std::string>{"blocker", "queued skipped", "end p1 p2", "late skipped"}));
  EXPECT_EQ(queue->pointerSessionSnapshot(), (std::set<std::string>{"p1", "p2"}));
}

TEST_F(PhonePointerQueue, ASessionWithoutPointerSessionsQueuesNoCleanup) {
  enqueueBlocker();
  bool called = false;
  endRemoteSessionInput(*queue, lifetime, [&called](std::set<std::string>) -> asio::awaitable<void> {
    called = true;
    co_return;
  });
  EXPECT_FALSE(lifetime.isActive());
  EXPECT_EQ(queue->pendingCount(), 0u);
  gate.resume();
  ASSERT_TRUE(done.waitForCount(1));
  pool.join();
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace veltrano
