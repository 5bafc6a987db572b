// The program started while the link to its signaling service is down, in a network namespace of its own with the
// service across a veth link: it waits for the network without a failure and signs in once the link is up, even
// while a name server that never answers holds another lookup.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "support/eventually.hpp"
#include "support/offline_host_program.hpp"
#include "support/silent_name_server.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using testing::NetworkNamespaces;

class RemoteProgramNetworkWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the program reports inside uninstrumented Qt under ThreadSanitizer, as in its own test";
#endif
    VELTRANO_REQUIRE_X11();
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    host_.emplace();
  }

  std::optional<testing::OfflineHostProgram> host_;
};

TEST_F(RemoteProgramNetworkWaitTest, AHostStartedOfflineSignsInAsSoonAsTheLinkComesUpWithoutAFailure) {
  ASSERT_TRUE(host_->start(VELTRANO_HOST_PROGRAM, NetworkNamespaces::kPeerAddress)) << host_->program().output();

  // Offline for longer than the first two waits of the back-off together.
  std::this_thread::sleep_for(4s);
  host_->setLink(true);
  const auto linkUp = std::chrono::steady_clock::now();
  ASSERT_TRUE(host_->service().waitForEvent("authenticated ", 0, 30s)) << host_->program().output();
  EXPECT_LT(std::chrono::steady_clock::now() - linkUp, 2s);
  EXPECT_FALSE(host_->program().wrote("REMOTE: signaling failed")) << host_->program().output();
  EXPECT_TRUE(host_->stop()) << host_->program().output();
}

TEST_F(RemoteProgramNetworkWaitTest, ANameServerThatNeverAnswersTheAnalyticsLookupHoldsUpNoSignIn) {
  testing::SilentNameServer nameServer;
  ASSERT_TRUE(host_->start(VELTRANO_HOST_PROGRAM, "signaling.veltrano.test",
                           {{"VELTRANO_ANALYTICS_URL", "https://metrics.veltrano.test/veltrano/v1/metrics"}},
                           host_->silentNameServerFiles()))
      << host_->program().output();

  // The start's analytics event is waiting on the name server before the network appears.
  ASSERT_TRUE(testing::eventually([&] { return nameServer.asked("metrics.veltrano.test"); }, 30s))
      << host_->program().output();
  host_->setLink(true);
  // Long before the analytics lookup can give up: a sign-in queued behind it fails here.
  ASSERT_TRUE(host_->service().waitForEvent("authenticated ", 0, 60s)) << host_->program().output();
  EXPECT_FALSE(nameServer.asked("signaling.veltrano.test")) << "the hosts file names it";
  EXPECT_TRUE(host_->stop()) << host_->program().output();
}

}  // namespace
}  // namespace veltrano::test
