// Network path recovery of the remote host coordinator: scripted paths from a stand-in monitor, a stand-in
// signaling connection, fake peers, virtual time. What counts as a change, what a change does to the sessions'
// routes and the status, and the ICE restart of each session once signaling is back.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/localization.hpp"
#include "remote/remote_host_coordinator.hpp"
#include "support/fake_remote_access.hpp"

namespace veltrano {
namespace {

using Kind = SignalingClient::State::Kind;
using platform::NetworkPath;
using testing::FakePeerConnection;
using testing::unsatisfiedPath;
using testing::wiredPath;
using webrtc::PeerConnectionState;

const std::string offerBody = R"({"sdp":"v=0 offer","type":"offer"})";
const NetworkPath home = wiredPath("eth0", 2, {"192.168.1.20"}, {"192.168.1.1"});

class RemoteNetworkPathTest : public ::testing::Test, protected testing::CoordinatorOnStandIns {
 protected:
  RemoteNetworkPathTest() { coordinator = make(); }
  ~RemoteNetworkPathTest() override {
    coordinator.reset();
    settle();
  }

  void path(const NetworkPath& update) {
    remote.pathMonitor().deliver(update);
    settle();
  }
  // A connected session whose peer reports a relayed route.
  std::shared_ptr<FakePeerConnection> connectedSession(const std::string& session) {
    signal("ipad-1", session, "offer", offerBody);
    auto peer = remote.peers.last();
    peer->answerStatisticsWith({{"T", {"transport", {{"selectedCandidatePairId", std::string("P")}}}},
                                {"P", {"candidate-pair", {{"localCandidateId", std::string("L")},
                                                          {"remoteCandidateId", std::string("R")}}}},
                                {"L", {"local-candidate", {{"candidateType", std::string("relay")}}}},
                                {"R", {"remote-candidate", {{"candidateType", std::string("host")}}}}});
    peer->emitConnectionState(PeerConnectionState::connected);
    settle();
    EXPECT_TRUE(loop.runUntil([&] { return coordinator->sessions().at(session).route.has_value(); }));
    return peer;
  }
  std::size_t recoveries() const { return journalCount("signaling.networkChanged"); }
  std::size_t recoveringTexts() const {
    return static_cast<std::size_t>(std::count(statuses.begin(), statuses.end(), localized("host.remote.recovering")));
  }
};

TEST_F(RemoteNetworkPathTest, TheFirstSatisfiedPathIsOnlyStoredAndTheSamePathAgainIsNoChange) {
  running();
  EXPECT_TRUE(remote.pathMonitor().started());
  // Signaling waits for a path from the start, and learns each report's verdict.
  EXPECT_FALSE(remote.signaling().networkPathAvailable);
  path(unsatisfiedPath());
  EXPECT_FALSE(remote.signaling().networkPathAvailable);
  path(home);
  EXPECT_TRUE(remote.signaling().networkPathAvailable);
  path(home);
  // The platform's order of the interfaces does not matter.
  NetworkPath twoLinks = wiredPath("eth0", 2, {"192.168.1.20"}, {"192.168.1.1"});
  twoLinks.availableInterfaces.push_back({"eth1", 3, platform::NetworkInterfaceType::wiredEthernet, {"10.0.0.5"}});
  path(twoLinks);
  const auto afterTwoLinks = recoveries();
  std::reverse(twoLinks.availableInterfaces.begin(), twoLinks.availableInterfaces.end());
  path(twoLinks);
  EXPECT_EQ(recoveries(), afterTwoLinks);
  EXPECT_EQ(afterTwoLinks, 1u) << "only the second link was a change";
}

TEST_F(RemoteNetworkPathTest, EachRealChangeReconnectsSignalingOnce) {
  running();
  path(home);
  struct Case {
    const char* what;
    NetworkPath next;
  };
  NetworkPath wifi = home;
  wifi.availableInterfaces[0].type = platform::NetworkInterfaceType::wifi;
  wifi.usedInterfaceTypes = {platform::NetworkInterfaceType::wifi};
  NetworkPath expensive = wifi;
  expensive.isExpensive = true;
  const std::vector<Case> cases = {
      {"a new router on the same link", wiredPath("eth0", 2, {"192.168.1.20"}, {"192.168.1.254"})},
      {"a new address on the same link and router", wiredPath("eth0", 2, {"192.168.1.21"}, {"192.168.1.254"})},
      {"another interface", wiredPath("eth1", 3, {"192.168.1.21"}, {"192.168.1.254"})},
      {"Wi-Fi instead of Ethernet", wifi},
      {"an expensive path", expensive},
  };
  std::size_t expected = 0;
  for (const auto& c : cases) {
    path(c.next);
    EXPECT_EQ(recoveries(), ++expected) << c.what;
    EXPECT_EQ(recoveringTexts(), expected) << c.what;
  }
}

TEST_F(RemoteNetworkPathTest, APathThatGoesAwayAndComesBackUnchangedRecovers) {
  running();
  path(home);
  path(unsatisfiedPath());
  EXPECT_EQ(recoveries(), 0u) << "an unsatisfied path starts nothing by itself";
  path(home);
  EXPECT_EQ(recoveries(), 1u);
  EXPECT_EQ(statuses.back(), localized("host.remote.recovering"));
  path(home);
  EXPECT_EQ(recoveries(), 1u) << "the outage was already recovered";
}

TEST_F(RemoteNetworkPathTest, AChangeClearsEveryRouteAndRestartsEachSessionOnceSignalingIsBack) {
  running();
  path(home);
  auto first = connectedSession("S1");
  auto second = connectedSession("S2");
  ASSERT_EQ(routes.back().size(), 2u);

  path(wiredPath("wlan0", 4, {"10.1.1.7"}, {"10.1.1.1"}));
  EXPECT_EQ(routes.back(), std::vector<WebRTCRoute>{});
  EXPECT_FALSE(coordinator->sessions().at("S1").route);
  EXPECT_EQ(coordinator->sessions().size(), 2u) << "the sessions themselves stay";
  EXPECT_EQ(statuses.back(), localized("host.remote.recovering"));
  EXPECT_EQ(first->record().restarts, 0) << "no restart before signaling is back";

  // Another change while signaling reconnects: one more reconnection, still one restart per session.
  path(wiredPath("wlan0", 4, {"10.1.1.8"}, {"10.1.1.1"}));
  EXPECT_EQ(recoveries(), 2u);
  remote.signaling().report(Kind::connecting);
  settle();
  EXPECT_EQ(first->record().restarts, 0);
  remote.signaling().report(Kind::connected);
  settle();
  EXPECT_EQ(statuses.back(), localized("host.remote.available"));
  EXPECT_EQ(first->record().restarts, 1);
  EXPECT_EQ(second->record().restarts, 1);
  EXPECT_EQ(first->record().offersCreated, 1) << "the restart goes out as a new offer";

  // The restarted sessions find their routes again and report them.
  first->emitConnectionState(PeerConnectionState::connected);
  second->emitConnectionState(PeerConnectionState::connected);
  settle();
  EXPECT_TRUE(loop.runUntil([&] { return routes.back().size() == 2; }));

  // Signaling reconnecting for its own reasons later restarts nothing.
  remote.signaling().report(Kind::connected);
  settle();
  EXPECT_EQ(first->record().restarts, 1);
}

TEST_F(RemoteNetworkPathTest, TheReplacedConnectionsLastConnectedReportRestartsNothing) {
  running();
  path(home);
  auto peer = connectedSession("S1");
  remote.signaling().lateReportOfReplacedConnection = Kind::connected;
  path(wiredPath("wlan0", 4, {"10.1.1.7"}, {"10.1.1.1"}));
  settle();
  EXPECT_EQ(peer->record().restarts, 0) << "a restart offer sent now would go out over the socket being closed";
  remote.signaling().report(Kind::connecting);
  remote.signaling().report(Kind::connected);
  settle();
  EXPECT_EQ(peer->record().restarts, 1);
}

TEST_F(RemoteNetworkPathTest, ANewConnectionConnectedBeforeTheChangeIsTakenInStillRestartsOnce) {
  running();
  path(home);
  auto peer = connectedSession("S1");
  remote.signaling().newConnectionConnectsAtOnce = true;
  path(wiredPath("wlan0", 4, {"10.1.1.7"}, {"10.1.1.1"}));
  settle();
  EXPECT_EQ(peer->record().restarts, 1) << "signaling is back: nothing else will report connected";
  remote.signaling().report(Kind::connected);
  settle();
  EXPECT_EQ(peer->record().restarts, 1);
}

TEST_F(RemoteNetworkPathTest, WithoutSessionsOnlySignalingReconnects) {
  running();
  path(home);
  path(wiredPath("eth0", 2, {"192.168.1.20"}, {"192.168.1.254"}));
  EXPECT_EQ(recoveries(), 1u);
  EXPECT_EQ(statuses.back(), localized("host.remote.recovering"));
  auto late = connectedSession("S1");
  remote.signaling().report(Kind::connected);
  settle();
  EXPECT_EQ(late->record().restarts, 0) << "a session made after the change needs no restart";
}

TEST_F(RemoteNetworkPathTest, TabletsThatVanishDuringRecoveryAreClosed) {
  running();
  path(home);
  auto staying = connectedSession("S1");
  auto vanishing = connectedSession("S2");
  auto silent = connectedSession("S3");
  path(wiredPath("eth0", 2, {"192.168.1.30"}, {"192.168.1.1"}));
  vanishing->emitConnectionState(PeerConnectionState::failed);
  settle();
  EXPECT_FALSE(coordinator->sessions().contains("S2"));
  EXPECT_TRUE(vanishing->record().closed);
  remote.signaling().report(Kind::connected);
  settle();
  EXPECT_EQ(staying->record().restarts, 1);
  EXPECT_EQ(silent->record().restarts, 1);
  EXPECT_EQ(vanishing->record().restarts, 0);

  // One restart connects again; the other never answers, and is ended once its limit passes.
  staying->emitConnectionState(PeerConnectionState::connecting);
  silent->emitConnectionState(PeerConnectionState::connecting);
  settle();
  staying->emitConnectionState(PeerConnectionState::connected);
  settle();
  clock.advance(RemoteHostCoordinator::sessionRecoveryLimit - std::chrono::seconds(1));
  settle();
  EXPECT_TRUE(coordinator->sessions().contains("S3"));
  clock.advance(std::chrono::seconds(1));
  settle();
  EXPECT_FALSE(coordinator->sessions().contains("S3"));
  EXPECT_TRUE(silent->record().closed);
  EXPECT_TRUE(coordinator->sessions().contains("S1"));
  EXPECT_FALSE(staying->record().closed);
}

TEST_F(RemoteNetworkPathTest, AStopDuringRecoveryEndsItAndTheNextStartBeginsAfresh) {
  running();
  path(home);
  auto peer = connectedSession("S1");
  path(wiredPath("eth0", 2, {"192.168.1.30"}, {"192.168.1.1"}));
  auto& firstClient = remote.signaling();
  auto& firstMonitor = remote.pathMonitor();
  // A path on its way to the main thread when the stop comes is dropped there.
  firstMonitor.deliver(unsatisfiedPath());
  firstMonitor.flush();
  coordinator->stopRemoteHost();
  settle();
  EXPECT_TRUE(firstMonitor.cancelled());
  const auto statusesAtStop = statuses.size();
  firstClient.callbacks.onState({Kind::connected, {}});
  firstMonitor.deliver(wiredPath("eth9", 9, {"10.9.9.9"}, {"10.9.9.1"}));
  settle();
  EXPECT_EQ(statuses.size(), statusesAtStop) << "nothing reports after stop";
  EXPECT_EQ(peer->record().restarts, 0);

  // The next start watches the path anew: its first path is only stored, even after the outage the old
  // monitor saw.
  running();
  ASSERT_EQ(remote.pathMonitors.size(), 2u);
  const auto before = recoveries();
  path(wiredPath("eth0", 2, {"192.168.1.30"}, {"192.168.1.1"}));
  EXPECT_EQ(recoveries(), before);
  path(wiredPath("eth0", 2, {"192.168.1.31"}, {"192.168.1.1"}));
  EXPECT_EQ(recoveries(), before + 1);
}

}  // namespace
}  // namespace veltrano
