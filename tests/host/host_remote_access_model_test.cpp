// Remote access in the host view model, on fakes: what the start gives the coordinator, the callbacks that carry
// the start's generation, and the stop that takes it out before the Bonjour publication is withdrawn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/localization.hpp"
#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

TEST(HostRemoteAccess, AStartGivesTheCoordinatorItsServersAndItsReportsReachTheModel) {
  HostHarness harness;
  harness.startRunning();
  auto& model = *harness.model;
  const auto coordinator = model.remoteCoordinator();
  ASSERT_TRUE(coordinator);
  EXPECT_TRUE(coordinator->signaling());
  EXPECT_EQ(coordinator->audioServer, model.audioServer().get()->externalOutlet());
  ASSERT_EQ(coordinator->videoServers().size(), 2u);
  for (const auto& [displayID, outlet] : coordinator->videoServers()) {
    EXPECT_EQ(outlet, model.displaySession(displayID)->videoServer->externalOutlet());
  }

  auto& signaling = harness.services->remote.signaling();
  signaling.report(SignalingClient::State::Kind::connected);
  harness.pass();
  EXPECT_EQ(model.remoteAccessStatus().get(), localized("host.remote.available"));
  coordinator->onConnectedClientCountChanged(1);
  coordinator->onRoutesChanged({WebRTCRoute::relay});
  harness.pass();
  EXPECT_EQ(model.remoteConnectedClientCount().get(), 1);
  EXPECT_EQ(model.remoteConnectionRoutes().get(), std::vector<WebRTCRoute>{WebRTCRoute::relay});
  EXPECT_TRUE(model.wantsCapture().get()) << "a remote peer wants capture as a local client does";
  EXPECT_EQ(model.mediaPathDescription(), localized("host.media.remote_relay"));
}

TEST(HostRemoteAccess, StopTakesRemoteAccessOutBeforeTheServiceIsWithdrawnAndOldReportsAreIgnored) {
  HostHarness harness;
  harness.startRunning();
  auto& model = *harness.model;
  const auto first = model.remoteCoordinator();
  const auto oldStatus = first->onStatusChanged;
  const auto oldCount = first->onConnectedClientCountChanged;
  // At the moment the publication is withdrawn, remote access has stopped already.
  bool stoppedBeforeWithdrawal = false;
  harness.world->onStopPublication = [&] {
    stoppedBeforeWithdrawal = !model.remoteCoordinator() && !first->signaling() && !first->onStatusChanged &&
                              !first->onRoutesChanged && !first->onConnectedClientCountChanged;
  };
  model.stopServer(false);
  EXPECT_TRUE(stoppedBeforeWithdrawal);
  EXPECT_TRUE(first->sessions().empty());
  EXPECT_TRUE(first->videoServers().empty());
  EXPECT_EQ(model.remoteAccessStatus().get(), localized("host.remote.stopped"));
  harness.pass();
  EXPECT_EQ(harness.world->count("signaling.stop"), 1u);

  harness.startRunning();
  ASSERT_TRUE(model.remoteCoordinator());
  EXPECT_NE(model.remoteCoordinator(), first) << "every start makes a coordinator of its own";
  // The first start's handlers, called late, change nothing.
  oldStatus(localized("host.remote.ready"));
  oldCount(3);
  harness.pass();
  EXPECT_NE(model.remoteAccessStatus().get(), localized("host.remote.ready"));
  EXPECT_EQ(model.remoteConnectedClientCount().get(), 0);
}

}  // namespace
}  // namespace veltrano::test
