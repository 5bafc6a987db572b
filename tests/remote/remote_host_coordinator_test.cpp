// The remote host coordinator on a stand-in signaling connection, fake data-channel peers and virtual time: its
// start and stop, the status texts, the held signals, the checks of every signal, the sessions' states and
// routes, and what reaches the host.
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "core/localization.hpp"
#include "remote/remote_host_coordinator.hpp"
#include "support/eventually.hpp"
#include "support/fake_remote_access.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using State = WebRTCPeerCallbacks::State;
using Kind = SignalingClient::State::Kind;
using testing::FakePeerConnection;
using webrtc::PeerConnectionState;

const std::string tablet = "ipad-1";
const std::string offerBody = R"({"sdp":"v=0 offer","type":"offer"})";
const std::string candidateBody = R"({"sdp":"candidate:1 1 udp 1 198.18.0.2 5000 typ host","sdpMLineIndex":0})";

class FakeOutlet final : public ExternalMediaOutlet {
 public:
  boost::asio::awaitable<void> applyExternalClients(int, ExternalPacketSink) override { co_return; }
};

class RemoteHostCoordinatorTest : public ::testing::Test, protected testing::CoordinatorOnStandIns {
 protected:
  RemoteHostCoordinatorTest() { coordinator = make(); }
  // As the host always does: remote access stops before it is dropped, and the peers' closes run.
  ~RemoteHostCoordinatorTest() override {
    for (const auto& [id, session] : coordinator->sessions()) peers.push_back(session.peer);
    coordinator->stopRemoteHost();
    coordinator.reset();
    settle();
    // A peer that the tablet closed still probes its route for a while, on the virtual clock.
    for (int round = 0; round < 12; ++round) {
      clock.advance(1s);
      remote.peers.network().flush();
      for (const auto& peer : peers) boost::asio::post(peer->executor(), boost::asio::use_future).get();
    }
    settle();
  }

  // An offer makes the session; its fake peer connection.
  std::shared_ptr<FakePeerConnection> offer(const std::string& session, const std::string& from = tablet) {
    signal(from, session, "offer", offerBody);
    return remote.peers.last();
  }
  void emit(FakePeerConnection& peer, PeerConnectionState state) {
    for (const auto& [id, session] : coordinator->sessions()) {
      if (std::find(peers.begin(), peers.end(), session.peer) == peers.end()) peers.push_back(session.peer);
    }
    peer.emitConnectionState(state);
    settle();
  }
  // The host closes a peer on the peer's own strand, after the session has left the table.
  static bool closes(const FakePeerConnection& peer) {
    return testing::eventually([&] { return peer.record().closed; });
  }
  std::vector<std::string> errorLines() const {
    std::vector<std::string> lines;
    for (const auto& line : logs.lines()) {
      if (line.category == LogCategory::Error) lines.push_back(line.message);
    }
    return lines;
  }

  std::vector<std::shared_ptr<WebRTCPeerSession>> peers;  // every session's peer seen, for the end
};

// --- Start and stop ---

TEST_F(RemoteHostCoordinatorTest, StartLogsInAsThisComputerOnceAndKeepsTheDeviceIdentifier) {
  coordinator->startRemoteHost();
  settle();
  EXPECT_EQ(journal, (std::vector<std::string>{"remote.identity", "signaling.create Desk", "signaling.start"}));
  const auto& login = remote.signaling().login;
  EXPECT_EQ(login.role, "mac");
  EXPECT_EQ(login.endpoint.path, "/veltrano/v1/signal");
  EXPECT_EQ(login.deviceID.rfind("mac-", 0), 0u);
  EXPECT_EQ(remote.defaults->values.at("veltrano.deviceID.mac"), login.deviceID);
  ASSERT_TRUE(coordinator->lifecycleID());

  coordinator->startRemoteHost();
  settle();
  EXPECT_EQ(remote.clients.size(), 1u) << "a running coordinator makes nothing more";
  EXPECT_TRUE(statuses.empty());

  // The next start of the host, with a name longer than the service takes.
  auto next = make([] { return std::string(70, 'n'); });
  next->startRemoteHost();
  settle();
  EXPECT_EQ(remote.signaling().login.deviceID, login.deviceID);
  EXPECT_EQ(remote.signaling().login.deviceName, std::string(64, 'n'));
  next->stopRemoteHost();
  settle();
}

TEST_F(RemoteHostCoordinatorTest, AnIdentityThatFailsLeavesRemoteAccessOffUntilTheNextStart) {
  remote.identityFailure = "the key file is malformed";
  coordinator->startRemoteHost();
  settle();
  EXPECT_EQ(statuses, std::vector<std::string>{localized("host.remote.icloud_unavailable")});
  EXPECT_EQ(errorLines(), std::vector<std::string>{"remote identity: the key file is malformed"});
  EXPECT_FALSE(coordinator->signaling());
  EXPECT_FALSE(coordinator->lifecycleID());

  remote.identityFailure.reset();
  coordinator->startRemoteHost();
  settle();
  remote.signaling().report(Kind::connecting);
  settle();
  EXPECT_EQ(statuses.back(), localized("host.remote.preparing"));
}

TEST_F(RemoteHostCoordinatorTest, EachSignalingStateShowsItsText) {
  coordinator->startRemoteHost();
  settle();
  const std::vector<std::pair<Kind, std::string>> cases = {{Kind::connecting, "host.remote.preparing"},
                                                           {Kind::connected, "host.remote.available"},
                                                           {Kind::failed, "host.remote.recovering"},
                                                           {Kind::waitingToRetry, "host.remote.preparing"},
                                                           {Kind::stopped, "host.remote.stopped"}};
  for (const auto& [kind, key] : cases) {
    remote.signaling().report(kind);
    settle();
    EXPECT_EQ(statuses.back(), localized(key)) << key;
  }
  EXPECT_EQ(statuses.size(), cases.size());
}

TEST_F(RemoteHostCoordinatorTest, CallbacksOfAnOlderStartAreDropped) {
  running();
  auto& first = remote.signaling();
  // Queued before the stop, handled after it.
  first.report(Kind::failed);
  first.reportSignal({tablet, "S1", "offer", Bytes(offerBody.begin(), offerBody.end()), 1});
  coordinator->stopRemoteHost();
  settle();
  coordinator->startRemoteHost();
  settle();
  const auto statusesBefore = statuses.size();
  first.callbacks.onState({Kind::connected, {}});
  first.callbacks.onICEServers({});
  first.callbacks.onSignal({tablet, "S2", "offer", Bytes(offerBody.begin(), offerBody.end()), 2});
  settle();
  EXPECT_EQ(statuses.size(), statusesBefore);
  EXPECT_TRUE(coordinator->sessions().empty());
  EXPECT_FALSE(coordinator->hasReceivedICEServers());
  EXPECT_EQ(journalCount("signaling.stop"), 1u);
  EXPECT_TRUE(std::find(statuses.begin(), statuses.end(), localized("host.remote.stopped")) == statuses.end())
      << "the old client's stopped report reaches no handler";
}

TEST_F(RemoteHostCoordinatorTest, AStopThatNeverStartedStillReportsEmptyValues) {
  coordinator->stopRemoteHost();
  settle();
  EXPECT_EQ(routes, std::vector<std::vector<WebRTCRoute>>{{}});
  EXPECT_EQ(counts, std::vector<std::int64_t>{0});
  EXPECT_TRUE(statuses.empty());
  EXPECT_TRUE(coordinator->transportUpdateTask());
}

TEST_F(RemoteHostCoordinatorTest, TheAccountsDeviceListChangesNothingTheHostShows) {
  running();
  const auto reported = std::tuple(statuses, routes, counts);
  remote.signaling().reportDevices({{"m1", "Other Mac", "mac"}, {"i2", "B", "ipad"}, {"i1", "A", "ipad"},
                                    {"x", "Phone", "IPAD"}});
  settle();
  EXPECT_EQ(std::tuple(statuses, routes, counts), reported);
}

TEST_F(RemoteHostCoordinatorTest, StopEndsEverySessionAndHandsTheServersBack) {
  running();
  coordinator->audioServer = std::make_shared<FakeOutlet>();
  coordinator->attachVideoServer(std::make_shared<FakeOutlet>(), 7);
  auto first = offer("S1");
  auto second = offer("S2");
  emit(*first, PeerConnectionState::connected);
  counts.clear();
  coordinator->stopRemoteHost();
  settle();
  EXPECT_TRUE(closes(*first));
  EXPECT_TRUE(closes(*second));
  EXPECT_TRUE(coordinator->sessions().empty());
  EXPECT_TRUE(coordinator->videoServers().empty());
  EXPECT_FALSE(coordinator->audioServer);
  EXPECT_FALSE(coordinator->signaling());
  EXPECT_FALSE(coordinator->lifecycleID());
  EXPECT_FALSE(coordinator->hasReceivedICEServers());
  EXPECT_EQ(coordinator->mediaHub->audioListenerCount(), 0);
  EXPECT_EQ(counts, std::vector<std::int64_t>{0});
  EXPECT_EQ(journalCount("signaling.stop"), 1u);
  EXPECT_TRUE(coordinator->stopTask().isFinished());
}

// --- Signals before the first ICE server list ---

TEST_F(RemoteHostCoordinatorTest, SignalsWaitForTheFirstServerListAndAtMost256Wait) {
  coordinator->startRemoteHost();
  settle();
  signal(tablet, "S1", "offer", offerBody);
  signal(tablet, "S1", "candidate", candidateBody);
  signal(tablet, "S2", "offer", offerBody);
  EXPECT_TRUE(coordinator->sessions().empty());
  EXPECT_EQ(coordinator->pendingSignalCount(), 3u);

  // An empty list counts as received; the held signals go in arrival order.
  remote.signaling().reportICEServers({});
  settle();
  ASSERT_EQ(coordinator->sessions().size(), 2u);
  EXPECT_EQ(coordinator->pendingSignalCount(), 0u);
  const auto& sessions = coordinator->sessions();
  EXPECT_NE(sessions.at("S1").peer, sessions.at("S2").peer);

  coordinator->stopRemoteHost();
  coordinator->startRemoteHost();
  settle();
  for (int held = 0; held < 257; ++held) {
    remote.signaling().reportSignal({tablet, "H" + std::to_string(held), "hangup", {}, std::uint64_t(held) + 1000});
  }
  settle();
  EXPECT_EQ(coordinator->pendingSignalCount(), RemoteHostCoordinator::pendingSignalLimit);
}

// --- The shape of a signal ---

TEST(RemoteSignalCheck, EachKindHasItsLimitsAndShape) {
  const std::string big(2'097'152 - 10, 'a');  // the data is then exactly at its limit
  struct Case {
    std::string kind;
    std::string data;
    bool wellFormed;
  };
  const std::vector<Case> cases = {
      {"offer", offerBody, true},
      {"answer", R"({"sdp":"v=0"})", true},
      {"offer", R"({"sdp":""})", false},
      {"offer", R"({"sdp":5})", false},
      {"offer", R"(["sdp"])", false},
      {"offer", "not json", false},
      {"offer", R"({"sdp":")" + big + R"("})", true},
      {"offer", R"({"sdp":")" + big + R"(a"})", false},
      {"candidate", candidateBody, true},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":2147483647,"sdpMid":null})", true},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":1.5,"sdpMid":"0"})", true},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":-1})", false},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":2147483648})", false},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":"0"})", false},
      {"candidate", R"({"sdp":"c"})", false},
      {"candidate", R"({"sdp":"","sdpMLineIndex":0})", false},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":0,"sdpMid":3})", false},
      {"candidate", R"({"sdp":")" + std::string(32'768, 'c') + R"(","sdpMLineIndex":0})", true},
      {"candidate", R"({"sdp":")" + std::string(32'769, 'c') + R"(","sdpMLineIndex":0})", false},
      {"hangup", std::string(65'536, 'x'), true},
      {"hangup", std::string(65'537, 'x'), false},
      {"iceRestart", "", true},
      {"Offer", offerBody, false},
      {"bye", "", false},
  };
  for (const auto& c : cases) {
    const Bytes data(c.data.begin(), c.data.end());
    EXPECT_EQ(RemoteHostCoordinator::parseSignal(c.kind, data), c.wellFormed) << c.kind << " " << c.data.substr(0, 80);
  }
}

// --- Signals and sessions ---

TEST_F(RemoteHostCoordinatorTest, AnOfferMakesASessionThatAnswersThroughSignaling) {
  running({{{"stun:198.18.0.1:3478"}, std::nullopt, std::nullopt}});
  signal(tablet, "S1", "candidate", candidateBody);
  EXPECT_TRUE(coordinator->sessions().empty()) << "a candidate before any offer is dropped";
  EXPECT_TRUE(errorLines().empty());

  auto peer = offer("S1");
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->record().configuration.iceServers.size(), 1u);
  ASSERT_EQ(remote.signaling().sent.size(), 1u);
  const auto& answer = remote.signaling().sent[0];
  EXPECT_EQ(answer.to, tablet);
  EXPECT_EQ(answer.sessionID, "S1");
  EXPECT_EQ(answer.kind, "answer");
  EXPECT_TRUE(counts.empty() && routes.empty()) << "nothing is reported when a session is made";

  // Renegotiation goes to the same peer.
  signal(tablet, "S1", "offer", offerBody);
  EXPECT_EQ(remote.peers.last(), peer);
  EXPECT_EQ(peer->record().remoteDescriptions.size(), 2u);
  EXPECT_FALSE(peer->record().closed);

  // A later server list reaches the session's peer.
  remote.signaling().reportICEServers({{{"stun:198.18.0.1:3478", "stun:198.18.0.1:3479"}, std::nullopt, std::nullopt}});
  settle();
  EXPECT_EQ(peer->record().configuration.iceServers.at(0).urls.size(), 2u);
}

TEST_F(RemoteHostCoordinatorTest, AMalformedSignalEndsItsSessionAndReconnectsSignaling) {
  running();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"candidate", R"({"sdp":"c","sdpMLineIndex":-1})"},
      {"candidate", R"({"sdp":"c","sdpMLineIndex":2147483648})"},
      {"candidate", R"({"sdp":"","sdpMLineIndex":0})"},
      {"hangup", std::string(65'537, 'x')},
      {"restart", "{}"},
  };
  for (const auto& [kind, body] : cases) {
    auto peer = offer("S1");
    statuses.clear();
    const auto reconnects = journalCount("signaling.networkChanged");
    signal(tablet, "S1", kind, body);
    EXPECT_TRUE(coordinator->sessions().empty()) << kind;
    EXPECT_TRUE(closes(*peer)) << kind;
    EXPECT_EQ(statuses, std::vector<std::string>{localized("host.remote.recovering")}) << kind;
    EXPECT_EQ(journalCount("signaling.networkChanged"), reconnects + 1) << kind;
    EXPECT_EQ(errorLines().back(), "REMOTE: invalid " + kind + " signal for session=S1");
  }
}

TEST_F(RemoteHostCoordinatorTest, ASignalForAnotherDevicesSessionIsDroppedAndLogged) {
  running();
  auto peer = offer("S1");
  const auto remoteDescriptions = peer->record().remoteDescriptions.size();
  for (const std::string& body : {candidateBody, std::string(R"({"sdp":"c","sdpMLineIndex":-1})")}) {
    signal("ipad-stranger", "S1", "candidate", body);
    EXPECT_EQ(errorLines().back(), "REMOTE: signal device mismatch for session=S1");
  }
  signal("ipad-stranger", "S1", "hangup", "");
  EXPECT_EQ(coordinator->sessions().size(), 1u);
  EXPECT_FALSE(peer->record().closed);
  EXPECT_EQ(peer->record().remoteDescriptions.size(), remoteDescriptions);
  EXPECT_TRUE(peer->record().addedCandidates.empty());
  EXPECT_EQ(journalCount("signaling.networkChanged"), 0u) << "a stranger costs no reconnection";
}

TEST_F(RemoteHostCoordinatorTest, ACandidateIndexThatIsNoIntegerPassesTheCheckAndIsIgnoredByThePeer) {
  running();
  auto peer = offer("S1");
  signal(tablet, "S1", "candidate", R"({"sdp":"candidate:1","sdpMLineIndex":1.5})");
  signal(tablet, "S1", "candidate", candidateBody);
  EXPECT_EQ(coordinator->sessions().size(), 1u);
  EXPECT_EQ(journalCount("signaling.networkChanged"), 0u);
  EXPECT_EQ(peer->record().addedCandidates.size(), 1u);
}

// A device that offers faster than its sessions connect gets no more than its share of sessions still negotiating,
// and all devices together no more than the bound in all; what is there stays, and the drops cost a line now and then.
TEST_F(RemoteHostCoordinatorTest, OffersBeyondTheNegotiationBoundAreDroppedAndTheSessionsThereStay) {
  running();
  const auto first = offer("A0");
  for (std::size_t i = 1; i < NegotiationBound::perDevice + 3; ++i) offer("A" + std::to_string(i));
  EXPECT_EQ(coordinator->sessions().size(), NegotiationBound::perDevice);
  EXPECT_FALSE(coordinator->sessions().contains("A8"));
  EXPECT_EQ(errorLines(), std::vector<std::string>{
                              "REMOTE: offer dropped for session=A8 from device=ipad-1: 8 sessions negotiating (8 of it)"});

  emit(*first, PeerConnectionState::connected);  // a connected session no longer counts
  offer("A11");
  EXPECT_TRUE(coordinator->sessions().contains("A11"));
  for (int other = 0; other < 30; ++other) offer("B" + std::to_string(other), "ipad-" + std::to_string(other + 2));
  EXPECT_EQ(coordinator->sessions().size(), 1 + NegotiationBound::inAll);
  EXPECT_TRUE(coordinator->sessions().contains("A0"));
  EXPECT_EQ(errorLines().size(), 1u);

  clock.advance(10s);
  offer("C0", "ipad-40");
  ASSERT_EQ(errorLines().size(), 2u);
  EXPECT_EQ(errorLines()[1], "REMOTE: offer dropped for session=C0 from device=ipad-40: 32 sessions negotiating (0 of it) "
                             "(8 similar lines left out)");
}

TEST_F(RemoteHostCoordinatorTest, APeerThatCannotBeMadeLeavesNoSession) {
  running();
  remote.peers.refuse();
  signal(tablet, "S1", "offer", offerBody);
  EXPECT_TRUE(coordinator->sessions().empty());
  EXPECT_EQ(errorLines(), std::vector<std::string>{"REMOTE: no se pudo crear la sesion WebRTC"});
}

TEST_F(RemoteHostCoordinatorTest, AFailedSendOfThePeersSignalEndsTheSessionAndReconnects) {
  running();
  remote.signaling().failSends = true;
  auto peer = offer("S1");
  EXPECT_TRUE(coordinator->sessions().empty());
  EXPECT_TRUE(closes(*peer));
  EXPECT_EQ(journalCount("signaling.networkChanged"), 1u);
  ASSERT_FALSE(errorLines().empty());
  EXPECT_EQ(errorLines().front().rfind("REMOTE: send answer failed for session=S1: ", 0), 0u) << errorLines().front();
}

// --- Peer states and routes ---

TEST_F(RemoteHostCoordinatorTest, AConnectedPeerGetsTheMediaChannelsAndCounts) {
  running();
  coordinator->attachVideoServer(std::make_shared<FakeOutlet>(), 2);
  coordinator->attachVideoServer(std::make_shared<FakeOutlet>(), 1);
  auto peer = offer("S1");
  emit(*peer, PeerConnectionState::connected);
  std::vector<std::string> labels;
  for (const auto& channel : peer->record().createdChannels) {
    labels.push_back(channel->label());
    EXPECT_FALSE(channel->init().ordered) << channel->label();
    EXPECT_EQ(channel->init().maxRetransmits, 0) << channel->label();
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"veltrano.audio", "veltrano.video.1", "veltrano.video.2"}));
  EXPECT_EQ(statuses.back(), localized("host.remote.ready"));
  EXPECT_EQ(counts, std::vector<std::int64_t>{1});

  // A second connected state (after a restart) keeps the channels and reports the same count.
  emit(*peer, PeerConnectionState::connected);
  EXPECT_EQ(peer->record().createdChannels.size(), 3u);
  EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 1}));

  // The same tablet with a second session: two sessions, two counted.
  auto second = offer("S2");
  emit(*second, PeerConnectionState::connected);
  EXPECT_EQ(counts.back(), 2);

  // A display attached later opens its channel on every session.
  coordinator->attachVideoServer(std::make_shared<FakeOutlet>(), 3);
  settle();
  EXPECT_EQ(peer->record().createdChannels.back()->label(), "veltrano.video.3");
  EXPECT_EQ(second->record().createdChannels.back()->label(), "veltrano.video.3");
}

TEST_F(RemoteHostCoordinatorTest, EachEndingStateClosesTheSessionWithItsText) {
  running();
  struct Case {
    PeerConnectionState state;
    std::vector<std::string> statuses;
    bool closedByHost;
  };
  const std::vector<Case> cases = {
      {PeerConnectionState::disconnected, {localized("host.remote.recovering_connection")}, true},
      {PeerConnectionState::failed, {}, true},
      {PeerConnectionState::closed, {}, false},
  };
  for (const auto& c : cases) {
    auto peer = offer("S1");
    emit(*peer, PeerConnectionState::connected);
    statuses.clear();
    counts.clear();
    emit(*peer, c.state);
    EXPECT_TRUE(coordinator->sessions().empty());
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(counts, std::vector<std::int64_t>{0});
    if (c.closedByHost) EXPECT_TRUE(closes(*peer));
    else EXPECT_FALSE(peer->record().closed);
  }
}

TEST_F(RemoteHostCoordinatorTest, AnOfferCrossingTheHostsOwnFailsTheSession) {
  running();
  auto peer = offer("S1");
  peer->failNextRemoteDescription("glare: have-local-offer");
  signal(tablet, "S1", "offer", offerBody);
  EXPECT_TRUE(coordinator->sessions().empty());
  EXPECT_TRUE(closes(*peer));
}

TEST_F(RemoteHostCoordinatorTest, RoutesFollowTheSessionsAndALateReportChangesNothing) {
  running();
  auto peer = offer("S1");
  peer->answerStatisticsWith({{"T", {"transport", {{"selectedCandidatePairId", std::string("P")}}}},
                              {"P", {"candidate-pair", {{"localCandidateId", std::string("L")},
                                                        {"remoteCandidateId", std::string("R")}}}},
                              {"L", {"local-candidate", {{"candidateType", std::string("relay")}}}},
                              {"R", {"remote-candidate", {{"candidateType", std::string("host")}}}}});
  emit(*peer, PeerConnectionState::connected);
  ASSERT_TRUE(loop.runUntil([&] { return !routes.empty(); }));
  EXPECT_EQ(routes.back(), std::vector<WebRTCRoute>{WebRTCRoute::relay});

  // An ICE restart: the route goes, the peer still counts.
  emit(*peer, PeerConnectionState::connecting);
  EXPECT_EQ(routes.back(), std::vector<WebRTCRoute>{});
  EXPECT_EQ(statuses.back(), localized("host.remote.connecting_device"));
  EXPECT_EQ(counts.back(), 1);

  // Connected again over another pair.
  peer->answerStatisticsWith({{"T", {"transport", {{"selectedCandidatePairId", std::string("P")}}}},
                              {"P", {"candidate-pair", {{"localCandidateId", std::string("L")},
                                                        {"remoteCandidateId", std::string("R")}}}},
                              {"L", {"local-candidate", {{"candidateType", std::string("host")}}}},
                              {"R", {"remote-candidate", {{"candidateType", std::string("srflx")}}}}});
  emit(*peer, PeerConnectionState::connected);
  ASSERT_TRUE(loop.runUntil([&] { return routes.back() == std::vector<WebRTCRoute>{WebRTCRoute::direct}; }));

  // A route reported after the session ended: logged, nothing else.
  const auto session = coordinator->sessions().at("S1");
  emit(*peer, PeerConnectionState::failed);
  const auto reports = routes.size();
  session.peer->callbacks().onRoute(WebRTCRoute::lan);
  settle();
  EXPECT_EQ(routes.size(), reports);
  const auto lines = logs.messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "remote session=S1 route=lan"), lines.end());
}

TEST_F(RemoteHostCoordinatorTest, ASessionThatDoesNotConnectWithinAMinuteIsClosed) {
  running();
  auto silent = offer("S1");
  auto connected = offer("S2");
  emit(*connected, PeerConnectionState::connected);
  clock.advance(59s);
  settle();
  EXPECT_EQ(coordinator->sessions().size(), 2u);
  clock.advance(1s);
  settle();
  EXPECT_FALSE(coordinator->sessions().contains("S1"));
  EXPECT_TRUE(closes(*silent));
  EXPECT_TRUE(coordinator->sessions().contains("S2"));
  EXPECT_FALSE(connected->record().closed);
  EXPECT_EQ(counts.back(), 1);
}

}  // namespace
}  // namespace veltrano
