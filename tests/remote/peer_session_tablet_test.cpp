// The host side of remote access as the coordinator drives it, against real tablets: the signaling client carries
// signed, sealed peer signals through the local wss service, a WebRTCPeerSession answers them, and the tablet
// (aiortc or headless Chromium, in a network namespace of its own) speaks "VLC1" on its channels.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <map>
#include <mutex>

#include "base/executors.hpp"
#include "base/serial_thread.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "remote/peer_signal_bodies.hpp"
#include "remote/signaling_client.hpp"
#include "remote/webrtc_peer_session.hpp"
#include "support/eventually.hpp"
#include "support/local_turn_server.hpp"
#include "support/natted_namespace.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/peer_session_answers.hpp"
#include "support/recorded_values.hpp"
#include "support/run_blocking.hpp"
#include "support/signaling_test_service.hpp"
#include "support/tablet_signaling.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::NetworkNamespaces;
using testing::PeerProcess;
using testing::RecordedValues;
using testing::runBlocking;
using State = WebRTCPeerCallbacks::State;
constexpr auto kDeadline = 20s;
constexpr const char* kHostDevice = "mac-1";
constexpr const char* kTabletDevice = "ipad-1";
constexpr const char* kSessionID = "7C3A9E51-0D44-4C4B-9B3B-2F1E5A6D7C80";
const std::vector<std::string> kTabletChannels = {"veltrano.control", "veltrano.input", "veltrano.file"};

struct Tablet {
  std::string name;
  std::string script;  // run inside the tablet's namespace
};

std::ostream& operator<<(std::ostream& out, const Tablet& tablet) { return out << tablet.name; }

Bytes body(const json& value) {
  const std::string text = value.dump();
  return Bytes(text.begin(), text.end());
}

class TabletSessionTest : public ::testing::TestWithParam<Tablet> {
 protected:
  void SetUp() override {
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    // The signaling service and the pool threads its clients use stay in this namespace; the network thread,
    // which takes the namespace of the thread that starts it, starts on the host's side.
    sharedIo();
    service_.emplace();
    namespaces_.emplace();
    networkThread_ = webrtc::startNetworkThread();
    hostClient_ = connectedClient(kHostDevice, "mac", [this](const SignalingPayload& payload) {
      boost::asio::post(host_.executor(), [this, payload] { onHostSignal(payload); });
    });
    tabletClient_ = connectedClient(kTabletDevice, "ipad", [this](const SignalingPayload& payload) {
      std::lock_guard lock(tabletSignalingMutex_);
      if (tabletSignaling_) tabletSignaling_->deliver(payload);
    });
  }

  void TearDown() override {
    stopping_ = true;
    if (session_) session_->close();
    for (auto* client : {&hostClient_, &tabletClient_}) {
      if (*client) runBlocking((*client)->stop());
    }
    {
      std::lock_guard lock(tabletSignalingMutex_);
      tabletSignaling_.reset();
    }
    tablet_.reset();
    // Lets the host's queued steps run before the session they use goes.
    boost::asio::post(host_.executor(), boost::asio::use_future).get();
    session_.reset();
  }

  std::shared_ptr<SignalingClient> connectedClient(const std::string& device, const std::string& role,
                                                   std::function<void(const SignalingPayload&)> onSignal) {
    auto connected = std::make_shared<std::atomic<bool>>(false);
    auto client = testing::startSignalingClient(service_->endpoint(), identity_, device, role, std::move(onSignal),
                                                service_->trustingOptions(), connected);
    EXPECT_TRUE(testing::eventually([&] { return connected->load(); }));
    return client;
  }

  // The coordinator's part, on the harness's own thread: an offer for an unknown session makes the session.
  void onHostSignal(const SignalingPayload& payload) {
    EXPECT_EQ(payload.sessionID, kSessionID);
    if (!session_) {
      if (payload.kind != "offer") return;
      session_ = WebRTCPeerSession::create(iceServers_, forceRelay_, {webrtc::createPeerConnection});
      auto& callbacks = session_->callbacks();
      callbacks.onLocalSignal = [this](const std::string& kind, const Bytes& data) {
        boost::asio::post(host_.executor(), [this, kind, data] {
          if (stopping_) return;
          try {
            runBlocking(hostClient_->sendSignal(kTabletDevice, kSessionID, kind, data));
          } catch (const std::exception& error) {
            ADD_FAILURE() << "the host's " << kind << " was not sent: " << error.what();
          }
        });
      };
      callbacks.onState = states_.recorder();
      callbacks.onRoute = routes_.recorder();
      callbacks.onChannelOpened = opened_.recorder();
      callbacks.onData = [this](const std::string& label, const Bytes& message) { data_.add({label, message}); };
      ASSERT_TRUE(testing::startAndWait(*session_));
    }
    session_->handleRemoteSignal(payload.kind, payload.data);
  }

  // Starts the tablet, which offers with its three channels, and waits until they are open on both sides.
  void connect(const std::string& namespacePrefix = {}) {
    tablet_.emplace((namespacePrefix.empty() ? namespaces_->inPeer() : namespacePrefix) + GetParam().script);
    {
      std::lock_guard lock(tabletSignalingMutex_);
      tabletSignaling_.emplace(*tablet_, tabletClient_, kHostDevice, kSessionID,
                               testing::TabletSignaling::Hooks{
                                   .offerSent = {},
                                   .answerArrived = {},
                                   .failed = [](const std::string& what) { ADD_FAILURE() << what; }});
    }
    tablet_->send({{"type", "start"}, {"channels", kTabletChannels}, {"vlc1", true}});
    for (const auto& label : kTabletChannels) {
      ASSERT_TRUE(opened_.waitForMatch([&](const std::string& l) { return l == label; }, kDeadline)) << label;
    }
    ASSERT_TRUE(states_.waitForMatch([](State s) { return s == State::connected; }, kDeadline));
  }

  // Sends a message of `size` bytes and waits until the tablet's own chunks bring it back whole.
  bool roundTrip(const std::string& label, std::size_t size) {
    Bytes message(size);
    ++sent_;
    for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<std::uint8_t>((i * 131 + sent_ * 7) & 0xff);
    if (!testing::sendAndWait(*session_, label, message)) {
      ADD_FAILURE() << "send refused: " << label << " " << size;
      return false;
    }
    return data_.waitForMatch([&](const auto& d) { return d.first == label && d.second == message; }, kDeadline);
  }

  // The states reported from `from` on, with repeats of the same state folded.
  std::vector<State> statesSince(std::size_t from) {
    std::vector<State> result;
    const auto all = states_.values();
    for (std::size_t i = from; i < all.size(); ++i) {
      if (result.empty() || result.back() != all[i]) result.push_back(all[i]);
    }
    return result;
  }

  // Waits for `connecting` and then `connected` after the state `from`.
  bool reconnectsAfter(std::size_t from) {
    return testing::eventually(
        [&] {
          const auto since = statesSince(from);
          const auto connecting = std::find(since.begin(), since.end(), State::connecting);
          return connecting != since.end() && std::find(connecting, since.end(), State::connected) != since.end();
        },
        kDeadline);
  }

  std::optional<testing::SignalingTestService> service_;
  std::optional<NetworkNamespaces> namespaces_;
  std::shared_ptr<void> networkThread_;
  VeltranoIdentity identity_{platform::SigningKey::generate()};
  SerialThread host_{"test host"};
  std::shared_ptr<SignalingClient> hostClient_;
  std::shared_ptr<SignalingClient> tabletClient_;
  std::optional<PeerProcess> tablet_;
  std::mutex tabletSignalingMutex_;  // the tablet's client reports on its strand
  std::optional<testing::TabletSignaling> tabletSignaling_;
  std::vector<SignalingICEServer> iceServers_;
  bool forceRelay_ = false;
  std::shared_ptr<WebRTCPeerSession> session_;
  std::atomic<bool> stopping_ = false;
  RecordedValues<State> states_;
  RecordedValues<WebRTCRoute> routes_;
  RecordedValues<std::string> opened_;
  RecordedValues<std::pair<std::string, Bytes>> data_;
  int sent_ = 0;
};

TEST_P(TabletSessionTest, MessagesOfEverySizeCrossEachChannelWholeBothWays) {
  connect();
  ASSERT_TRUE(routes_.waitForCount(1, kDeadline));
  EXPECT_EQ(routes_.values(), std::vector<WebRTCRoute>{WebRTCRoute::lan});
  for (const auto& label : kTabletChannels) {
    for (const std::size_t size : {0, 1, 60000, 60001, 65537, 262144, 8 << 20}) {
      EXPECT_TRUE(roundTrip(label, size)) << label << " " << size;
    }
  }
}

TEST_P(TabletSessionTest, TheHostsMediaChannelsAreUnreliableAndUnordered) {
  connect();
  for (const std::string label : {"veltrano.audio", "veltrano.video.1"}) {
    ASSERT_TRUE(testing::openAndWait(*session_, label, false));
    const auto open = tablet_->take([&](const json& m) { return m["type"] == "open" && m["label"] == label; },
                                    kDeadline);
    ASSERT_TRUE(open) << label;
    EXPECT_EQ((*open)["ordered"], false) << label;
    EXPECT_EQ((*open)["maxRetransmits"], 0) << label;
    ASSERT_TRUE(opened_.waitForMatch([&](const std::string& l) { return l == label; }, kDeadline)) << label;
    EXPECT_TRUE(roundTrip(label, 1000)) << label;
  }
}

TEST_P(TabletSessionTest, AVanishedTabletIsNoticedWithinTenSeconds) {
  connect();
  const auto before = states_.size();
  namespaces_->cutPath();
  // Ten seconds is the aim; a loaded machine may take longer to tell, so the wait only stops a test whose tablet is
  // never noticed.
  EXPECT_TRUE(testing::eventually(
      [&] {
        const auto since = statesSince(before);
        return std::any_of(since.begin(), since.end(), [](State s) { return s == State::disconnected || s == State::failed; });
      },
      60s));
}

TEST_P(TabletSessionTest, ATurnRelayReadsRelay) {
  testing::LocalTurnServer turn(*namespaces_);
  iceServers_ = {{{testing::LocalTurnServer::url()}, testing::LocalTurnServer::kUser, testing::LocalTurnServer::kPassword}};
  forceRelay_ = true;
  connect();
  ASSERT_TRUE(routes_.waitForCount(1, kDeadline));
  EXPECT_EQ(routes_.values(), std::vector<WebRTCRoute>{WebRTCRoute::relay});
  EXPECT_TRUE(roundTrip("veltrano.control", 65537));
}

TEST_P(TabletSessionTest, ATabletBehindAddressTranslationReadsDirect) {
  if (auto reason = testing::NattedNamespace::unavailable()) GTEST_SKIP() << *reason;
  testing::NattedNamespace home(*namespaces_);
  connect(home.in());
  ASSERT_TRUE(routes_.waitForCount(1, kDeadline));
  EXPECT_EQ(routes_.values(), std::vector<WebRTCRoute>{WebRTCRoute::direct});
  EXPECT_TRUE(roundTrip("veltrano.control", 65537));
}

// aiortc cannot restart ICE, so only the browser takes these.
class RestartingTabletSessionTest : public TabletSessionTest {};

TEST_P(RestartingTabletSessionTest, RestartsFromEitherSideAndAnAddressMoveReconnectAndReportTheRoute) {
  connect();
  ASSERT_TRUE(routes_.waitForCount(1, kDeadline));

  // The tablet asks the host to restart: the host offers.
  auto before = states_.size();
  tabletSignaling_->send("iceRestart", body(json::object()), true);
  EXPECT_TRUE(reconnectsAfter(before)) << "iceRestart";
  EXPECT_TRUE(roundTrip("veltrano.control", 65537));

  // The browser restarts on its own: it offers.
  before = states_.size();
  tablet_->send({{"type", "restart"}});
  EXPECT_TRUE(reconnectsAfter(before)) << "restartIce()";
  EXPECT_TRUE(roundTrip("veltrano.control", 65537));

  // The host's address moves and the host restarts: the route, cleared by a local restart, is reported again.
  before = states_.size();
  namespaces_->moveHostAddress("198.18.0.11");
  tabletSignaling_->expectDescription();
  session_->restartIce();
  EXPECT_TRUE(reconnectsAfter(before)) << "address move";
  EXPECT_TRUE(routes_.waitForCount(2, kDeadline));
  EXPECT_EQ(routes_.values(), (std::vector<WebRTCRoute>{WebRTCRoute::lan, WebRTCRoute::lan}));
  EXPECT_TRUE(roundTrip("veltrano.control", 65537));
}

// aiortc gathers no TCP candidates; Chromium does, as tablets' browsers do.
TEST_P(RestartingTabletSessionTest, OverALinkThatDropsUdpTcpCandidatesCarryEverySizeAndARestart) {
  namespaces_->dropUdp();
  connect();
  ASSERT_TRUE(routes_.waitForCount(1, kDeadline));
  EXPECT_EQ(routes_.values(), std::vector<WebRTCRoute>{WebRTCRoute::lan});
  const auto protocol = [&] {
    tablet_->send({{"type", "pair"}});
    const auto pair = tablet_->take("pair", kDeadline);
    return pair ? pair->value("protocol", "") : "";
  };
  EXPECT_EQ(protocol(), "tcp");
  for (const std::size_t size : {0, 1, 60001, 262144, 8 << 20}) {
    EXPECT_TRUE(roundTrip("veltrano.file", size)) << size;
  }
  // The host's offer of a restart carries its TCP candidates too.
  const auto before = states_.size();
  tabletSignaling_->send("iceRestart", body(json::object()), true);
  EXPECT_TRUE(reconnectsAfter(before));
  EXPECT_TRUE(roundTrip("veltrano.control", 65537));
  EXPECT_EQ(protocol(), "tcp");
}

const Tablet kAiortc{"aiortc", "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_tablet.py"};
const Tablet kChromium{"chromium", "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs"};
const auto kName = [](const auto& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Tablets, TabletSessionTest, ::testing::Values(kAiortc, kChromium), kName);
INSTANTIATE_TEST_SUITE_P(Tablets, RestartingTabletSessionTest, ::testing::Values(kChromium), kName);

}  // namespace
}  // namespace veltrano
