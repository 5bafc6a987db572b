#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>

#include "remote/data_channel_chunks.hpp"
#include "remote/data_channel_send_budget.hpp"
#include "remote/ice_server_list.hpp"
#include "remote/peer_signal_bodies.hpp"
#include "remote/webrtc_peer_session.hpp"
#include "base/executors.hpp"
#include "support/eventually.hpp"
#include "support/fake_webrtc_peer.hpp"
#include "support/peer_session_answers.hpp"
#include "support/recorded_values.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using State = WebRTCPeerCallbacks::State;
using testing::FakeDataChannel;
using testing::RecordedValues;
using webrtc::DataChannelState;
using webrtc::PeerConnectionState;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

class PeerSession : public ::testing::Test {
 protected:
  void SetUp() override { session = make({}, false); }
  // Nothing in flight may reach the recorders once they are gone.
  void TearDown() override {
    if (session) settle();
  }

  std::shared_ptr<WebRTCPeerSession> make(std::vector<SignalingICEServer> servers, bool forceRelay,
                                          std::uint32_t lastMessageID = 0) {
    WebRTCPeerEnvironment environment{peers.function(), &clock, lastMessageID};
    environment.hostSubnets = [] { return std::vector<InterfaceSubnet>{{"192.168.7.1", 24}}; };
    auto made = WebRTCPeerSession::create(servers, forceRelay, std::move(environment));
    auto& callbacks = made->callbacks();
    callbacks.onLocalSignal = [this](const std::string& kind, const Bytes& body) {
      signals.add(kind + " " + asString(body));
    };
    callbacks.onState = states.recorder();
    callbacks.onData = [this](const std::string& label, const Bytes& message) { data.add({label, message}); };
    callbacks.onChannelOpened = opened.recorder();
    callbacks.onRoute = routes.recorder();
    if (!testing::startAndWait(*made)) return nullptr;
    return made;
  }
  bool send(const std::string& label, ByteView message) { return testing::sendAndWait(*session, label, message); }
  bool openChannel(const std::string& label, bool reliable) { return testing::openAndWait(*session, label, reliable); }
  testing::FakePeerConnection& peer() { return *peers.last(); }
  void signal(const std::string& type, std::string_view body) { session->handleRemoteSignal(type, text(body)); }
  // Lets every hop between the session's strand and the network thread run.
  void settle() {
    for (int round = 0; round < 4; ++round) {
      peers.network().flush();
      boost::asio::post(session->executor(), boost::asio::use_future).get();
    }
  }
  std::shared_ptr<FakeDataChannel> peerOpenedChannel(const std::string& label) {
    auto channel = peer().emitDataChannel(label, DataChannelState::open);
    EXPECT_TRUE(opened.waitForMatch([&](const std::string& l) { return l == label; }));
    return channel;
  }
  void connectWithRoute(const std::string& localType, const std::string& remoteType,
                        const std::string& remoteAddress = "192.0.2.1") {
    peer().answerStatisticsWith(
        {{"T", {"transport", {{"selectedCandidatePairId", std::string("P")}}}},
         {"P", {"candidate-pair", {{"localCandidateId", std::string("L")}, {"remoteCandidateId", std::string("R")}}}},
         {"L", {"local-candidate", {{"candidateType", localType}, {"address", std::string("192.168.7.1")}}}},
         {"R", {"remote-candidate", {{"candidateType", remoteType}, {"address", remoteAddress}}}}});
    const int before = peer().record().statisticsRequests;
    peer().emitConnectionState(PeerConnectionState::connected);
    ASSERT_TRUE(testing::eventually([&] { return peer().record().statisticsRequests > before; }));
    settle();
  }
  // Lets the route probe's pending retries run, each with the statistics answered then.
  void runRouteRetries(int count) {
    for (int retry = 0; retry < count; ++retry) {
      ASSERT_TRUE(testing::eventually([&] { return clock.sleeperCount() == 1; })) << retry;
      const int before = peer().record().statisticsRequests;
      clock.advance(250ms);
      ASSERT_TRUE(testing::eventually([&] { return peer().record().statisticsRequests > before; }));
      settle();
    }
  }

  testing::FakePeerFactory peers;
  VirtualClock clock;
  RecordedValues<std::string> signals;
  RecordedValues<State> states;
  RecordedValues<std::pair<std::string, Bytes>> data;
  RecordedValues<std::string> opened;
  RecordedValues<WebRTCRoute> routes;
  std::shared_ptr<WebRTCPeerSession> session;
};

TEST_F(PeerSession, CandidatesWaitForTheRemoteDescriptionAndAreAddedInArrivalOrder) {
  peer().holdRemoteDescriptions();
  signal("candidate", R"({"sdp":"candidate:1","sdpMLineIndex":0,"sdpMid":"0"})");
  signal("candidate", R"({"sdp":"candidate:2","sdpMLineIndex":0,"sdpMid":null})");
  signal("offer", R"({"sdp":"remote offer"})");
  signal("candidate", R"({"sdp":"candidate:3","sdpMLineIndex":1})");
  signal("candidate", R"({"sdp":"candidate:bad","sdpMLineIndex":1.5})");
  settle();
  EXPECT_TRUE(peer().record().addedCandidates.empty());
  peer().releaseHeldRemoteDescription();
  ASSERT_TRUE(signals.waitForMatch([](const std::string& s) { return s == R"(answer {"sdp":"fake answer 1"})"; }));
  signal("candidate", R"({"sdp":"candidate:4","sdpMLineIndex":0})");
  settle();
  const auto record = peer().record();
  ASSERT_EQ(record.remoteDescriptions.size(), 1u);
  EXPECT_EQ(record.remoteDescriptions[0].type, webrtc::SdpType::offer);
  EXPECT_EQ(record.remoteDescriptions[0].sdp, "remote offer");
  std::vector<std::string> added;
  for (const auto& c : record.addedCandidates) added.push_back(c.sdp);
  EXPECT_EQ(added, (std::vector<std::string>{"candidate:1", "candidate:2", "candidate:3", "candidate:4"}));
  EXPECT_EQ(record.addedCandidates[0].sdpMid, "0");
  EXPECT_EQ(record.addedCandidates[1].sdpMid, std::nullopt);
}

TEST_F(PeerSession, LocalCandidatesAndARenegotiationAreReported) {
  peer().emitCandidate({"candidate:9", 2, std::nullopt});
  ASSERT_TRUE(signals.waitForMatch(
      [](const std::string& s) { return s == R"(candidate {"sdp":"candidate:9","sdpMLineIndex":2})"; }));
  signal("offer", R"({"sdp":"first"})");
  signal("offer", R"({"sdp":"second"})");
  ASSERT_TRUE(signals.waitForMatch([](const std::string& s) { return s == R"(answer {"sdp":"fake answer 2"})"; }));
  EXPECT_EQ(peer().record().localDescriptions.size(), 2u);
}

TEST_F(PeerSession, AFailedRemoteDescriptionReportsFailureAndNoAnswer) {
  peer().failNextRemoteDescription("glare");
  signal("offer", R"({"sdp":"x"})");
  ASSERT_TRUE(states.waitForMatch([](State s) { return s == State::failed; }));
  signal("offer", R"({"sdp":)");
  settle();
  EXPECT_EQ(peer().record().answersCreated, 0);
  EXPECT_EQ(peer().record().remoteDescriptions.size(), 1u);
}

TEST_F(PeerSession, ConnectionStatesAreReportedAsTheirFiveKinds) {
  const std::pair<PeerConnectionState, State> table[] = {
      {PeerConnectionState::newState, State::connecting}, {PeerConnectionState::connecting, State::connecting},
      {PeerConnectionState::disconnected, State::disconnected}, {PeerConnectionState::failed, State::failed},
      {PeerConnectionState::closed, State::closed}};
  std::vector<State> expected;
  for (const auto& [from, to] : table) {
    peer().emitConnectionState(from);
    expected.push_back(to);
  }
  ASSERT_TRUE(states.waitForCount(expected.size()));
  EXPECT_EQ(states.values(), expected);
}

TEST_F(PeerSession, HangupClosesOnceAndEverythingLaterIsRefused) {
  const auto control = peerOpenedChannel("veltrano.control");
  signal("hangup", "");
  ASSERT_TRUE(states.waitForMatch([](State s) { return s == State::closed; }));
  EXPECT_FALSE(send("veltrano.control", text("{}")));
  EXPECT_FALSE(openChannel("veltrano.audio", false));
  session->close();
  signal("offer", R"({"sdp":"late"})");
  session->restartIce();
  settle();
  EXPECT_EQ(states.values(), std::vector<State>{State::closed});
  EXPECT_TRUE(control->isClosed());
  const auto record = peer().record();
  EXPECT_TRUE(record.closed);
  EXPECT_TRUE(record.remoteDescriptions.empty());
  EXPECT_EQ(record.restarts, 0);
}

TEST_F(PeerSession, AQueuedCloseRunsAfterTheOwnerLetGoOfTheSession) {
  std::latch release(1);
  boost::asio::post(session->executor(), [&release] { release.wait(); });
  session->close();
  std::weak_ptr<WebRTCPeerSession> weak = session;
  const Strand strand = session->executor();
  session.reset();
  release.count_down();
  EXPECT_TRUE(testing::eventually([&] { return peers.last()->record().closed; }));
  EXPECT_TRUE(testing::eventually([&] { return weak.expired(); }));
  boost::asio::post(strand, boost::asio::use_future).get();  // the step that waits on `release` has returned
}

TEST_F(PeerSession, HostChannelsAreConfiguredByReliabilityAndReportOpeningOnce) {
  EXPECT_TRUE(openChannel("veltrano.audio", false));
  EXPECT_TRUE(openChannel("veltrano.input", false));
  EXPECT_TRUE(openChannel("veltrano.control", true));
  EXPECT_TRUE(openChannel("veltrano.audio", true));
  const auto channels = peer().record().createdChannels;
  ASSERT_EQ(channels.size(), 3u);
  const std::tuple<bool, int> inits[] = {{false, 0}, {true, 0}, {true, -1}};
  for (std::size_t i = 0; i < channels.size(); ++i) {
    EXPECT_EQ(std::tuple(channels[i]->init().ordered, channels[i]->init().maxRetransmits), inits[i]) << i;
  }
  channels[0]->open();
  channels[0]->open();
  ASSERT_TRUE(opened.waitForCount(1));
  settle();
  EXPECT_EQ(opened.values(), std::vector<std::string>{"veltrano.audio"});
}

TEST_F(PeerSession, APeerChannelOpenedBeforeAdoptionIsReportedOnceAndAReplacementAgain) {
  const auto first = peerOpenedChannel("veltrano.control");
  first->open();
  settle();
  peerOpenedChannel("veltrano.control");
  settle();
  EXPECT_EQ(opened.values(), (std::vector<std::string>{"veltrano.control", "veltrano.control"}));
}

TEST_F(PeerSession, AReplacedChannelThatOpensLaterReportsNothing) {
  EXPECT_TRUE(openChannel("veltrano.control", true));
  const auto hostMade = peer().record().createdChannels.at(0);
  peerOpenedChannel("veltrano.control");
  hostMade->open();
  settle();
  EXPECT_EQ(opened.values(), std::vector<std::string>{"veltrano.control"});
}

// A peer can open channels of any label and close them again; only what arrives on a channel of the table while
// it is open is put together.
TEST_F(PeerSession, OnlyOpenChannelsOfTheTableAreReassembled) {
  const auto first = peerOpenedChannel("veltrano.file");
  const auto second = peerOpenedChannel("veltrano.file");
  first->deliver(text("from the replaced channel"));
  const auto input = peerOpenedChannel("veltrano.input");
  input->close();
  input->deliver(text("after the channel closed"));
  second->deliver(text("current"));
  ASSERT_TRUE(data.waitForCount(1));
  session->close();
  settle();
  second->deliver(text("after the session closed"));
  settle();
  EXPECT_EQ(data.values(), (std::vector<std::pair<std::string, Bytes>>{{"veltrano.file", text("current")}}));
}

TEST_F(PeerSession, ClosedIsReportedOnceWhetherTheLibraryOrTheOwnerClosesFirst) {
  session->close();
  ASSERT_TRUE(states.waitForCount(1));
  peer().emitConnectionState(PeerConnectionState::closed);
  peer().emitConnectionState(PeerConnectionState::connected);
  settle();
  EXPECT_EQ(states.values(), std::vector<State>{State::closed});

  auto second = make({}, false);
  RecordedValues<State> secondStates;
  second->callbacks().onState = secondStates.recorder();
  peer().emitConnectionState(PeerConnectionState::closed);
  ASSERT_TRUE(secondStates.waitForCount(1));
  second->close();
  peer().emitConnectionState(PeerConnectionState::failed);
  EXPECT_TRUE(testing::eventually([&] { return peer().record().closed; }));
  peers.network().flush();
  boost::asio::post(second->executor(), boost::asio::use_future).get();
  EXPECT_EQ(secondStates.values(), std::vector<State>{State::closed});
}

// Everything the owner hears comes from one thread that is neither the network thread nor a caller's, in the
// order it happened there: a state change never overtakes a channel opening or a message.
TEST_F(PeerSession, EveryCallbackComesFromTheSessionsQueueInOrder) {
  std::mutex mutex;
  std::vector<std::pair<std::thread::id, std::string>> heard;
  const auto hear = [&](std::string what) {
    std::lock_guard lock(mutex);
    heard.emplace_back(std::this_thread::get_id(), std::move(what));
  };
  auto& callbacks = session->callbacks();
  callbacks.onState = [&](State s) { hear("state " + std::to_string(static_cast<int>(s))); };
  callbacks.onChannelOpened = [&](const std::string& label) { hear("opened " + label); };
  callbacks.onData = [&](const std::string&, const Bytes& m) { hear("data " + std::string(asString(m))); };
  callbacks.onLocalSignal = [&](const std::string& kind, const Bytes&) { hear(kind); };
  std::thread::id networkThread;
  peers.network().post([&] { networkThread = std::this_thread::get_id(); });
  peers.network().flush();

  peer().emitConnectionState(PeerConnectionState::connecting);
  peer().emitCandidate({"candidate:1", 0, std::nullopt});
  const auto control = peer().emitDataChannel("veltrano.control", DataChannelState::open);
  peers.network().flush();  // the fake channel has its observer only once the network thread adopted it
  control->deliver(text("hello"));
  peer().emitConnectionState(PeerConnectionState::connected);
  peer().emitConnectionState(PeerConnectionState::disconnected);
  peers.network().flush();
  signal("hangup", "");
  ASSERT_TRUE(testing::eventually([&] {
    std::lock_guard lock(mutex);
    return heard.size() == 7;
  })) << [&] {
    std::string all;
    for (const auto& h : heard) all += h.second + "; ";
    return all;
  }();
  settle();
  std::thread::id queue;
  boost::asio::post(session->executor(), boost::asio::use_future([&] { queue = std::this_thread::get_id(); })).get();
  std::vector<std::string> order;
  for (const auto& [thread, what] : heard) {
    EXPECT_EQ(thread, queue) << what;
    order.push_back(what);
  }
  EXPECT_NE(queue, networkThread);
  EXPECT_EQ(order, (std::vector<std::string>{"state 0", "candidate", "opened veltrano.control", "data hello", "state 1",
                                             "state 2", "state 4"}));
}

TEST_F(PeerSession, APeerReflexivePairOnTheHostsSubnetReadsLan) {
  connectWithRoute("host", "prflx", "192.168.7.40");
  connectWithRoute("prflx", "prflx", "192.168.8.40");
  runRouteRetries(8);
  EXPECT_EQ(routes.values(), (std::vector<WebRTCRoute>{WebRTCRoute::lan, WebRTCRoute::direct}));
}

// The tablet's checks outran its candidate line: its end reads peer-reflexive at a public address until the line
// arrives and the pair reads host. No direct comes before the lan; one that stays peer-reflexive reads direct
// once the probe has looked for 2 s.
TEST_F(PeerSession, APeerReflexiveFarEndIsLookedAtAgainBeforeItReadsDirect) {
  connectWithRoute("host", "prflx", "198.18.0.2");
  EXPECT_TRUE(routes.values().empty());
  peer().answerStatisticsWith(
      {{"T", {"transport", {{"selectedCandidatePairId", std::string("P")}}}},
       {"P", {"candidate-pair", {{"localCandidateId", std::string("L")}, {"remoteCandidateId", std::string("R")}}}},
       {"L", {"local-candidate", {{"candidateType", std::string("host")}}}},
       {"R", {"remote-candidate", {{"candidateType", std::string("host")}}}}});
  runRouteRetries(1);
  EXPECT_EQ(clock.sleeperCount(), 0u);
  session->restartIce();
  connectWithRoute("host", "prflx", "198.18.0.2");
  runRouteRetries(7);
  EXPECT_EQ(routes.values(), std::vector<WebRTCRoute>{WebRTCRoute::lan});
  runRouteRetries(1);
  EXPECT_EQ(routes.values(), (std::vector<WebRTCRoute>{WebRTCRoute::lan, WebRTCRoute::direct}));
}

TEST_F(PeerSession, ArrivingChunksAndPlainMessagesReachTheOwnerWhole) {
  const auto file = peerOpenedChannel("veltrano.file");
  const Bytes big(100000, 0x5A);
  for (Bytes& chunk : makeChunks(big, 3)) file->deliver(std::move(chunk));
  file->deliver(text("plain"));
  ASSERT_TRUE(data.waitForCount(2));
  EXPECT_EQ(data.values()[0], std::pair(std::string("veltrano.file"), big));
  EXPECT_EQ(data.values()[1], std::pair(std::string("veltrano.file"), text("plain")));
}

TEST_F(PeerSession, SendCutsMessagesIntoChunksWithinTheLabelsBudget) {
  EXPECT_FALSE(send("veltrano.input", text("x")));  // no channel
  const auto input = peerOpenedChannel("veltrano.input");
  EXPECT_TRUE(openChannel("veltrano.audio", false));
  EXPECT_FALSE(send("veltrano.audio", text("x")));  // not open yet
  EXPECT_TRUE(send("veltrano.input", {}));
  EXPECT_TRUE(send("veltrano.input", Bytes(60001, 1)));
  input->setBufferedAmount(65536);
  EXPECT_FALSE(send("veltrano.input", text("x")));
  input->setBufferedAmount(32768);
  EXPECT_TRUE(send("veltrano.input", Bytes(200000, 2)));
  input->setBufferedAmount(0);
  input->refuseSendsAfter(1);
  EXPECT_FALSE(send("veltrano.input", Bytes(130000, 3)));
  const auto sent = input->sent();
  ASSERT_EQ(sent.size(), 1u + 2u + 4u + 1u);
  EXPECT_EQ(sent[0].size(), chunkHeaderSize);
  std::vector<std::uint32_t> ids;
  for (const auto& frame : sent) ids.push_back(readChunkHeader(frame)->messageID);
  // The refused message still used up its identifier; the dropped ones did too.
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 2, 4, 4, 4, 4, 5}));
}

// The media servers and the file sender send from the shared pool; the session's queue must not need a
// thread of that pool to answer them.
TEST_F(PeerSession, SendsFromEveryThreadOfASmallSharedPoolAtOnceAllComplete) {
  // A pool started here gets two threads: the calling thread sees two CPUs while it starts.
  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t two;
  CPU_ZERO(&two);
  for (int cpu = 0, picked = 0; cpu < CPU_SETSIZE && picked < 2; ++cpu) {
    if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &two), ++picked;
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof two, &two), 0);
  IoThreads& pool = sharedIo();
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);

  const auto file = peerOpenedChannel("veltrano.file");
  constexpr int senders = 8;  // more than the shared pool ever has
  std::atomic<int> done = 0;
  for (int i = 0; i < senders; ++i) {
    boost::asio::post(pool.executor(), [this, &done] {
      if (send("veltrano.file", Bytes(1024, 7))) ++done;
    });
  }
  // Only a deadlock keeps them from completing: the wait just stops one.
  ASSERT_TRUE(testing::eventually([&] { return done == senders; }, 30s)) << done << " of " << senders;
  EXPECT_EQ(file->sent().size(), static_cast<std::size_t>(senders));
}

TEST_F(PeerSession, MessageIdentifiersWrapAround) {
  session = make({}, false, 0xFFFFFFFEu);
  const auto control = peerOpenedChannel("veltrano.control");
  EXPECT_TRUE(send("veltrano.control", text("a")));
  EXPECT_TRUE(send("veltrano.control", text("b")));
  const auto sent = control->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(readChunkHeader(sent[0])->messageID, 0xFFFFFFFFu);
  EXPECT_EQ(readChunkHeader(sent[1])->messageID, 0u);
}

TEST_F(PeerSession, SendBudgetTable) {
  struct Case {
    const char* label;
    std::uint64_t buffered, wire;
    bool fits;
  };
  const Case cases[] = {
      {"veltrano.input", 32768, 1 << 20, true},   {"veltrano.input", 32769, 1 << 20, false},
      {"veltrano.input", 65519, 17, true},        {"veltrano.input", 65536, 17, false},
      {"veltrano.control", 2097052, 100, true},   {"veltrano.control", 2097053, 100, false},
      {"veltrano.audio", 262044, 100, true},      {"veltrano.audio", 262045, 100, false},
      {"veltrano.video.7", 524188, 100, true},    {"veltrano.video.7", 524189, 100, false},
      {"veltrano.file", 524189, 100, false},      {"anything", 0, 1ull << 32, true},
  };
  for (const Case& c : cases) EXPECT_EQ(fitsSendBudget(c.label, c.buffered, c.wire), c.fits) << c.label << " " << c.buffered;
}

TEST_F(PeerSession, RouteIsReportedWhenItChangesAndAgainAfterALocalRestart) {
  connectWithRoute("host", "host");
  connectWithRoute("host", "host");
  connectWithRoute("host", "srflx");
  signal("iceRestart", "");
  ASSERT_TRUE(signals.waitForMatch([](const std::string& s) { return s.starts_with("offer "); }));
  connectWithRoute("host", "srflx");
  session->restartIce();
  ASSERT_TRUE(signals.waitForCount(2));
  connectWithRoute("host", "srflx");
  EXPECT_EQ(routes.values(), (std::vector<WebRTCRoute>{WebRTCRoute::lan, WebRTCRoute::direct, WebRTCRoute::direct}));
  const auto record = peer().record();
  EXPECT_EQ(record.restarts, 2);
  ASSERT_EQ(record.createdChannels.size(), 1u);  // the offer's control channel, made once
  EXPECT_EQ(record.createdChannels[0]->label(), "veltrano.control");
  EXPECT_EQ(record.createdChannels[0]->init().maxRetransmits, -1);
}

TEST_F(PeerSession, WithoutARouteTheProbeRetriesEightTimesAQuarterSecondApart) {
  peer().emitConnectionState(PeerConnectionState::connected);
  for (int retry = 1; retry <= 8; ++retry) {
    ASSERT_TRUE(testing::eventually([&] { return clock.sleeperCount() == 1; })) << retry;
    EXPECT_EQ(peer().record().statisticsRequests, retry);
    clock.advance(249ms);
    settle();
    EXPECT_EQ(peer().record().statisticsRequests, retry);
    clock.advance(1ms);
  }
  ASSERT_TRUE(testing::eventually([&] { return peer().record().statisticsRequests == 9; }));
  settle();
  EXPECT_EQ(clock.sleeperCount(), 0u);
  EXPECT_TRUE(routes.values().empty());
}

TEST_F(PeerSession, IceServersDefaultToTheStunPairAndRejectedUpdatesKeepTheOldOnes) {
  ASSERT_EQ(peer().record().configuration.iceServers.size(), 1u);
  EXPECT_EQ(peer().record().configuration.iceServers[0].urls, defaultStunURLs());
  EXPECT_EQ(defaultStunURLs().size(), 2u);
  EXPECT_EQ(peer().record().configuration.iceTransportPolicy, webrtc::IceTransportPolicy::all);
  const SignalingICEServer turn{{"stun:a:1", "TURNS:b:443"}, "user", "secret"};
  session->updateIceServers({turn});
  settle();
  const auto servers = peer().record().configuration.iceServers;
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers[0].urls, turn.urls);
  EXPECT_EQ(servers[0].username, "user");
  EXPECT_FALSE(servers[0].verifyTlsCertificate);
  EXPECT_EQ(servers[0].tlsAlpnProtocols, std::vector<std::string>{"stun.turn"});
  const auto plain = makeIceServers({{{"turn:c:3478"}, std::nullopt, std::nullopt}});
  EXPECT_TRUE(plain[0].verifyTlsCertificate);
  EXPECT_TRUE(plain[0].tlsAlpnProtocols.empty());

  peer().rejectConfigurations();
  ::testing::internal::CaptureStderr();
  session->updateIceServers({});
  settle();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[WEBRTC] ICE server refresh rejected\n");
  EXPECT_EQ(peer().record().configuration.iceServers[0].urls, turn.urls);
}

TEST_F(PeerSession, RelayOnlySessionsAndRefusedPeers) {
  ASSERT_TRUE(make({{{"turn:x:1"}, "u", "p"}}, true));
  EXPECT_EQ(peer().record().configuration.iceTransportPolicy, webrtc::IceTransportPolicy::relay);
  peers.refuse();
  EXPECT_EQ(make({}, false), nullptr);
}

TEST(PeerSignalBodies, CandidatesAreWrittenCompactlyAndReadStrictly) {
  EXPECT_EQ(asString(encodeIceCandidateBody({"candidate:1", 0, std::nullopt})), R"({"sdp":"candidate:1","sdpMLineIndex":0})");
  EXPECT_EQ(asString(encodeIceCandidateBody({"c", -1, "m"})), R"({"sdp":"c","sdpMLineIndex":-1,"sdpMid":"m"})");
  EXPECT_EQ(asString(encodeSessionDescriptionBody("v=0")), R"({"sdp":"v=0"})");
  const char* refused[] = {R"({"sdp":"c","sdpMLineIndex":2147483648})", R"({"sdp":"c","sdpMLineIndex":1.5})",
                           R"({"sdp":"c","sdpMLineIndex":true})",      R"({"sdp":1,"sdpMLineIndex":0})",
                           R"({"sdp":"c","sdpMLineIndex":0,"sdpMid":3})", R"(["sdp"])", "not json"};
  for (const char* body : refused) EXPECT_FALSE(decodeIceCandidateBody(text(body))) << body;
  const auto accepted = decodeIceCandidateBody(text(R"({"x":[1],"sdpMLineIndex":-2147483648,"sdp":"c"})"));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->sdpMLineIndex, INT32_MIN);
  std::string deep = R"({"sdp":"c","x":)" + std::string(64, '[') + std::string(64, ']') + "}";
  EXPECT_FALSE(decodeSessionDescriptionBody(text(deep)));
  EXPECT_EQ(decodeSessionDescriptionBody(text(R"({"sdp":"v=0","type":"offer"})")), "v=0");
}

}  // namespace
}  // namespace veltrano
