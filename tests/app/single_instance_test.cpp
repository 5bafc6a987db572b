// One program per user: a later instance asks the first for its window and does not claim.
#include <QUuid>

#include <gtest/gtest.h>

#include "app/qt_test_support.hpp"
#include "app/single_instance.hpp"

namespace veltrano {
namespace {

QString uniqueName() { return "veltrano-test-" + QUuid::createUuid().toString(QUuid::WithoutBraces); }

TEST(SingleInstance, ASecondInstanceAsksTheFirstForItsWindowAndDoesNotClaim) {
  testing::qtApplication();
  const QString name = uniqueName();
  app::SingleInstance first(name);
  ASSERT_TRUE(first.claim());
  int requests = 0;
  QObject::connect(&first, &app::SingleInstance::activationRequested, [&] { ++requests; });
  // The second asks from a thread of its own: its question blocks until the first, on this thread, answers.
  std::atomic<int> secondClaimed{-1};
  std::thread second([&] {
    app::SingleInstance later(name);
    secondClaimed = later.claim() ? 1 : 0;
  });
  EXPECT_TRUE(testing::processEventsUntil([&] { return requests == 1 && secondClaimed != -1; }));
  second.join();
  EXPECT_EQ(secondClaimed, 0);
}

}  // namespace
}  // namespace veltrano
