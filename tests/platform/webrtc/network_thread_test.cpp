#include "platform/webrtc/network_thread.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "platform/webrtc/peer_connection.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::webrtc {
namespace {

TEST(NetworkThreadTest, RunsPostedWorkInOrderOnItsOwnThreadNeverInsideThePoster) {
  const auto token = NetworkThread::start();
  const auto thread = NetworkThread::running();
  ASSERT_TRUE(thread);
  testing::RecordedValues<int> order;
  std::promise<bool> onThread;
  thread->post([&] {
    onThread.set_value(thread->isCurrent());
    thread->post([&] { order.add(3); });
    order.add(2);
  });
  order.add(1);
  thread->post([&] { order.add(4); });
  EXPECT_TRUE(onThread.get_future().get());
  ASSERT_TRUE(order.waitForCount(4));
  // The nested post never runs inside its poster, and work runs in posting order.
  const auto values = order.values();
  const auto at = [&](int v) { return std::find(values.begin(), values.end(), v) - values.begin(); };
  EXPECT_LT(at(2), at(3));
  EXPECT_LT(at(2), at(4));
  EXPECT_FALSE(thread->isCurrent());
}

TEST(NetworkThreadTest, RunsTheWorkQueuedBeforeTheLastTokenGoesThenStops) {
  auto token = NetworkThread::start();
  const auto thread = NetworkThread::running();
  bool ranOnThread = false;
  thread->post([&] { thread->post([&] { ranOnThread = thread->isCurrent(); }); });
  token.reset();
  EXPECT_TRUE(ranOnThread);
  EXPECT_EQ(NetworkThread::running(), nullptr);
}

TEST(NetworkThreadTest, PeersNeedTheThreadAndAValidConfiguration) {
  auto observer = std::weak_ptr<PeerConnectionObserver>();
  EXPECT_EQ(createPeerConnection({}, observer), nullptr);
  auto token = startNetworkThread();
  IceServer turnWithoutCredentials;
  turnWithoutCredentials.urls = {"turn:198.18.0.2"};
  EXPECT_EQ(createPeerConnection({{turnWithoutCredentials}, IceTransportPolicy::relay}, observer), nullptr);
  EXPECT_NE(createPeerConnection({{IceServer{}}, IceTransportPolicy::all}, observer), nullptr);
}

}  // namespace
}  // namespace veltrano::webrtc
