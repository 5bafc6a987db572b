// Remote access of the whole host while its network path changes: the host on its real services (with the
// rtnetlink path monitor) in a network namespace, a local wss signaling service, and a tablet (aiortc, headless
// Chromium) in a namespace of its own. The host's address moves under a connected tablet; a tablet vanishes
// during the recovery; the host stops with a tablet connected.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/whole_remote_host.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using testing::SignalingTablet;

class HostNetworkPathTest : public testing::WholeRemoteHostTest {
 protected:
  // Everything of the host lives in the host namespace, as the program started there would: the I/O threads, its
  // ports, and the signaling service on its loopback.
  HostNetworkPathTest() : WholeRemoteHostTest("Network path test", SignalingPlacement::inHostNamespace) {}

  // A watching tablet (Chromium) reports the host's messages and video envelopes.
  SignalingTablet& connectedTablet(const std::string& deviceID, const std::string& sessionID, bool watch = false) {
    auto& added = tablet(deviceID);
    added.watchesVideo = watch;
    EXPECT_TRUE(connects(added, sessionID, watch))
        << ::testing::PrintToString(statusKeysFrom(0)) << " routes " << routes.size() << "\n" << lastLogLines(40);
    return added;
  }
};

TEST_P(HostNetworkPathTest, TheHostsAddressMovesUnderAConnectedTablet) {
  // Chromium watches the video; aiortc cannot restart and comes back with a new session.
  const bool watching = GetParam().restartsIce;
  auto& tablet = connectedTablet("ipad-watching", "S1", watching);
  if (watching) {
    ASSERT_TRUE(watchesTheActiveDisplay(tablet)) << tablet.video.values().size() << " video envelopes";
  }
  const auto statusesBefore = statuses.size();
  const auto routesBefore = routes.size();
  const auto kindsBefore = tablet.received.values();
  const auto offersBefore = std::count(kindsBefore.begin(), kindsBefore.end(), "offer");
  const auto events = service->eventCount();

  const auto envelopesAtMove = tablet.video.values().size();
  if (watching) {
    // The path dies first and a frame goes out meanwhile: the tablet loses it (its video channel does not resend).
    // One frame only: the host hears nothing from the tablet from here on, and after 3 s of that it reads the
    // session disconnected and ends it before the restart could save it.
    namespaces->cutPath();
    const auto encoded = model->metrics->encodedFrames.get();
    ASSERT_TRUE(loop.runUntil([&] { return model->metrics->encodedFrames.get() > encoded; }, kDeadline));
  }
  namespaces->moveHostAddress("198.18.0.11");

  // Signaling reconnects for the new path; the status says so and comes back.
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1001 network changed", events));
  EXPECT_TRUE(serviceEvent("authenticated " + hostDevice(), events));
  EXPECT_TRUE(loop.runUntil([&] {
    const auto keys = statusKeysFrom(statusesBefore);
    const auto recovering = std::find(keys.begin(), keys.end(), "recovering");
    return recovering != keys.end() && std::find(recovering, keys.end(), "available") != keys.end();
  }, kDeadline)) << ::testing::PrintToString(statusKeysFrom(statusesBefore));
  // The route was cleared at the change, and the host offered the tablet a restart once signaling was back.
  ASSERT_GT(routes.size(), routesBefore);
  EXPECT_TRUE(routes[routesBefore].empty());
  // The main loop turns meanwhile: the host forwards its peers' signals from there.
  EXPECT_TRUE(loop.runUntil([&] {
    const auto kinds = tablet.received.values();
    return std::count(kinds.begin(), kinds.end(), "offer") > offersBefore;
  }, kDeadline)) << ::testing::PrintToString(statusKeysFrom(statusesBefore)) << "\n" << lastLogLines(40);

  if (GetParam().restartsIce) {
    // The same session finds its way over the new address and reports its route again.
    EXPECT_TRUE(loop.runUntil([&] {
      return model->remoteConnectionRoutes().get() == std::vector<WebRTCRoute>{WebRTCRoute::lan} &&
             model->remoteConnectedClientCount().get() == 1;
    }, kDeadline)) << ::testing::PrintToString(statusKeysFrom(statusesBefore));
    EXPECT_TRUE(model->remoteCoordinator()->sessions().contains("S1"));
    EXPECT_EQ(status(model->remoteAccessStatus().get()), "ready");
    // The picture comes back by itself: after the frames lost in the cut only a keyframe decodes again.
    const auto seen = tablet.video.values().size();
    EXPECT_TRUE(keyframeAfter(tablet, seen)) << seen << " envelopes at the reconnect, " << tablet.video.values().size()
                                             << " now; " << envelopesAtMove << " at the move";
  } else {
    // A tablet that cannot restart loses the session, which the host ends; it then offers anew and connects.
    EXPECT_TRUE(loop.runUntil([&] { return sessions() == 0 && model->remoteConnectedClientCount().get() == 0; },
                              kDeadline));
    tablet.offer(namespaces->inPeer() + GetParam().command, hostDevice(), "S2");
    EXPECT_TRUE(loop.runUntil([&] {
      return model->remoteConnectionRoutes().get() == std::vector<WebRTCRoute>{WebRTCRoute::lan} &&
             model->remoteConnectedClientCount().get() == 1;
    }, kDeadline));
  }
}

TEST_P(HostNetworkPathTest, ATabletThatVanishesDuringRecoveryIsCleanedUp) {
  auto& tablet = connectedTablet("ipad-vanishing", "S1");
  const auto events = service->eventCount();
  // The tablet's path to the host dies and the host's address moves: nothing answers the host's restart.
  namespaces->cutPath();
  namespaces->moveHostAddress("198.18.0.12");
  tablet.vanish();
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1001 network changed", events));
  // Its restart never connects: the session ends once the recovery limit passes, and with it the client.
  EXPECT_TRUE(loop.runUntil([&] {
    return sessions() == 0 && model->remoteConnectedClientCount().get() == 0 &&
           model->remoteConnectionRoutes().get().empty();
  }, std::chrono::duration_cast<std::chrono::milliseconds>(RemoteHostCoordinator::sessionRecoveryLimit + kDeadline)))
      << "sessions " << sessions();
  EXPECT_NE(status(model->remoteAccessStatus().get()), "ready");
}

TEST_P(HostNetworkPathTest, StoppingWithATabletConnectedEndsEverythingAndReportsNothingAfter) {
  auto& tablet = connectedTablet("ipad-staying", "S1");
  const auto events = service->eventCount();
  stop();
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1000", events));
  EXPECT_TRUE(tablet.closed.waitForMatch([](const std::string& l) { return l == "veltrano.control"; }, kDeadline));
  EXPECT_EQ(model->remoteConnectedClientCount().get(), 0);
  EXPECT_TRUE(model->remoteConnectionRoutes().get().empty());
  EXPECT_EQ(status(model->remoteAccessStatus().get()), "stopped");
  // A path change after the stop reaches nothing.
  const auto reported = statuses.size() + routes.size();
  namespaces->moveHostAddress("198.18.0.13");
  loop.runUntil([] { return false; }, 2s);
  EXPECT_EQ(statuses.size() + routes.size(), reported);
  // The last holder of the network thread lets it go: it is joined, with no peer left on it.
  model.reset();
  loop.drain();
  networkThread.reset();
}

INSTANTIATE_TEST_SUITE_P(Tablets, HostNetworkPathTest, ::testing::ValuesIn(testing::remoteTablets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace veltrano::test
