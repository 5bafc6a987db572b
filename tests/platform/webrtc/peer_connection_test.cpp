// The assembled peer connection against real tablets (aiortc, headless Chromium) across two network namespaces:
// the tablet offers, the host answers, both open channels, and the host's connection is driven only through the
// public interface.
#include "platform/webrtc/peer_connection.hpp"

#include <gtest/gtest.h>

#include <future>
#include <map>

#include "support/local_turn_server.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::webrtc {
namespace {

using testing::NetworkNamespaces;
using testing::PeerProcess;
using testing::RecordedValues;
using Bytes = std::vector<std::byte>;
using nlohmann::json;
constexpr auto kDeadline = std::chrono::seconds(20);

struct Tablet {
  std::string name;
  std::string command;  // run inside the peer namespace
};

std::ostream& operator<<(std::ostream& out, const Tablet& tablet) { return out << tablet.name; }

class RecordingChannel final : public DataChannelObserver {
 public:
  explicit RecordingChannel(std::shared_ptr<DataChannel> channel) : channel(std::move(channel)) {}
  void onStateChange() override { states.add(channel->readyState()); }
  void onMessage(std::span<const std::byte> message, bool binary) override {
    messages.add({binary, Bytes(message.begin(), message.end())});
  }
  std::shared_ptr<DataChannel> channel;
  RecordedValues<DataChannelState> states;
  RecordedValues<std::pair<bool, Bytes>> messages;
};

class RecordingPeer final : public PeerConnectionObserver {
 public:
  void onIceCandidate(const IceCandidate& candidate) override {
    std::lock_guard lock(mutex_);
    if (forward_) forward_(candidate);
  }
  void forwardTo(std::function<void(const IceCandidate&)> forward) {
    std::lock_guard lock(mutex_);
    forward_ = std::move(forward);
  }
  void onConnectionStateChange(PeerConnectionState state) override { states.add(state); }
  void onDataChannel(std::shared_ptr<DataChannel> channel) override {
    auto recorder = std::make_shared<RecordingChannel>(channel);
    channel->setObserver(recorder);
    channels.add(recorder);
  }
  RecordedValues<PeerConnectionState> states;
  RecordedValues<std::shared_ptr<RecordingChannel>> channels;

 private:
  std::mutex mutex_;
  std::function<void(const IceCandidate&)> forward_;
};

class TabletTest : public ::testing::TestWithParam<Tablet> {
 protected:
  void SetUp() override {
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    namespaces_.emplace();
    // Threads take the namespace of the thread that starts them: the network thread must start inside.
    networkThread_ = startNetworkThread();
  }

  void TearDown() override {
    observer_->forwardTo(nullptr);
    tablet_.reset();
    peer_.reset();
  }

  // Starts the tablet, answers its offer and waits until its channels are open on both sides.
  void connect(PeerConfiguration configuration = {}, const std::vector<std::string>& labels = {"ctl", "input"}) {
    if (configuration.iceServers.empty()) configuration.iceServers.push_back(IceServer{});
    peer_ = createPeerConnection(configuration, observer_);
    ASSERT_TRUE(peer_);
    tablet_.emplace(namespaces_->inPeer() + GetParam().command);
    // Signaling in the order the tablet sent it, as a relay would, on the tablet's reader thread.
    tablet_->route("offer", [this](const json& offer) {
      EXPECT_EQ(step([&](auto done) { peer_->setRemoteDescription({SdpType::offer, offer["sdp"]}, done); }),
                std::nullopt);
      const auto answer = describe(false);
      EXPECT_EQ(step([&](auto done) { peer_->setLocalDescription(answer, done); }), std::nullopt);
      tablet_->send({{"type", "answer"}, {"sdp", answer.sdp}});
      offersAnswered_.add(true);
    });
    tablet_->route("answer", [this](const json& answer) {
      EXPECT_EQ(step([&](auto done) { peer_->setRemoteDescription({SdpType::answer, answer["sdp"]}, done); }),
                std::nullopt);
      answersApplied_.add(true);
    });
    tablet_->route("candidate", [this](const json& message) {
      EXPECT_EQ(step([&](auto done) {
                  peer_->addIceCandidate({message.value("candidate", ""), message.value("sdpMLineIndex", 0),
                                          message.value("sdpMid", std::string("0"))},
                                         done);
                }),
                std::nullopt);
    });
    observer_->forwardTo([this](const IceCandidate& c) {
      tablet_->send({{"type", "candidate"}, {"candidate", c.sdp}, {"sdpMLineIndex", c.sdpMLineIndex},
                     {"sdpMid", c.sdpMid.value_or("0")}});
    });
    tablet_->send({{"type", "start"}, {"channels", labels}});
    ASSERT_TRUE(offersAnswered_.waitForCount(1, kDeadline));
    for (std::size_t i = 0; i < labels.size(); ++i) {
      ASSERT_TRUE(tablet_->take("open", kDeadline)) << "tablet channel " << i;
    }
    ASSERT_TRUE(observer_->channels.waitForCount(labels.size(), kDeadline));
    ASSERT_TRUE(observer_->states.waitForMatch([](auto s) { return s == PeerConnectionState::connected; }, kDeadline));
  }

  // What the completion that `start` hands out receives; a failure when it is not called in time.
  template <class T, class Start>
  T await(Start start) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    start(promise);
    if (future.wait_for(kDeadline) == std::future_status::ready) return future.get();
    ADD_FAILURE() << "no completion";
    return T{};
  }

  std::optional<std::string> step(std::function<void(StepCompletion)> start) {
    return await<std::optional<std::string>>([&](auto promise) {
      start([promise](std::optional<std::string> error) { promise->set_value(std::move(error)); });
    });
  }

  SessionDescription describe(bool offer) {
    auto [description, error] = await<std::pair<std::optional<SessionDescription>, std::string>>([&](auto promise) {
      auto done = [promise](std::optional<SessionDescription> d, std::string e) { promise->set_value({d, e}); };
      offer ? peer_->createOffer(done) : peer_->createAnswer(done);
    });
    EXPECT_TRUE(description) << error;
    return description.value_or(SessionDescription{});
  }

  void offerRestartToTablet() {
    peer_->restartIce();
    const auto offer = describe(true);
    ASSERT_EQ(step([&](auto done) { peer_->setLocalDescription(offer, done); }), std::nullopt);
    const auto applied = answersApplied_.values().size();
    tablet_->send({{"type", "offer"}, {"sdp", offer.sdp}});
    ASSERT_TRUE(answersApplied_.waitForCount(applied + 1, kDeadline));
  }

  // Sends `size` bytes on `channel` and waits for the tablet's echo, byte for byte.
  bool echoes(RecordingChannel& channel, std::size_t size, bool binary = true) {
    // Every payload differs from the ones before, so that an old echo never counts.
    ++sent_;
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) {
      payload[i] = std::byte(binary ? (i * 131 + sent_) & 0xff : 'a' + (i + sent_) % 26);
    }
    if (!channel.channel->send(payload, binary)) return false;
    return channel.messages.waitForMatch([&](const auto& m) { return m.first == binary && m.second == payload; },
                                         kDeadline);
  }

  std::shared_ptr<RecordingChannel> openHostChannel(const std::string& label) {
    auto channel = peer_->createDataChannel(label, {});
    auto recorder = std::make_shared<RecordingChannel>(channel);
    channel->setObserver(recorder);
    if (!recorder->states.waitForMatch([](auto s) { return s == DataChannelState::open; }, kDeadline)) return nullptr;
    return recorder;
  }

  // The selected pair's local and remote candidate types and the local address.
  std::tuple<std::string, std::string, std::string> selectedPair() {
    const auto report = await<StatisticsReport>([&](auto promise) {
      peer_->getStatistics([promise](StatisticsReport r) { promise->set_value(std::move(r)); });
    });
    auto text = [&](const std::string& id, const std::string& key) {
      const auto entry = report.find(id);
      if (entry == report.end() || !entry->second.values.contains(key)) return std::string();
      return std::get<std::string>(entry->second.values.at(key));
    };
    for (const auto& [id, statistic] : report) {
      if (statistic.type != "transport") continue;
      const auto pair = text(id, "selectedCandidatePairId");
      const auto local = text(pair, "localCandidateId");
      const auto remote = text(pair, "remoteCandidateId");
      return {text(local, "candidateType"), text(remote, "candidateType"), text(local, "address")};
    }
    return {};
  }

  std::optional<NetworkNamespaces> namespaces_;
  std::shared_ptr<void> networkThread_;
  std::shared_ptr<RecordingPeer> observer_ = std::make_shared<RecordingPeer>();
  std::shared_ptr<PeerConnection> peer_;
  std::optional<PeerProcess> tablet_;
  RecordedValues<bool> offersAnswered_;
  RecordedValues<bool> answersApplied_;
  int sent_ = 0;
};

TEST_P(TabletTest, ChannelsOfBothSidesCarryMessagesOfEverySizeBothWays) {
  connect();
  auto tabletChannel = observer_->channels.values().front();
  auto hostChannel = openHostChannel("host");
  ASSERT_TRUE(hostChannel);
  ASSERT_TRUE(tablet_->take("open", kDeadline));
  for (auto* channel : {tabletChannel.get(), hostChannel.get()}) {
    for (const std::size_t size : {1, 16 * 1024, 65537, 262144}) EXPECT_TRUE(echoes(*channel, size)) << size;
    EXPECT_TRUE(echoes(*channel, 100, false));
  }
  EXPECT_EQ(selectedPair(), std::tuple("host", "host", NetworkNamespaces::kHostAddress));

  peer_->close();
  EXPECT_TRUE(observer_->states.waitForMatch([](auto s) { return s == PeerConnectionState::closed; }, kDeadline));
  EXPECT_TRUE(hostChannel->states.waitForMatch([](auto s) { return s == DataChannelState::closed; }, kDeadline));
  EXPECT_EQ(peer_->createDataChannel("late", {}), nullptr);
}

// aiortc cannot restart ICE, so only the browser takes these.
class RestartingTabletTest : public TabletTest {};

TEST_P(RestartingTabletTest, RestartsFromEitherSideAndAHostAddressMoveKeepTheChannels) {
  connect();
  auto channel = observer_->channels.values().front();
  // Each restart reads connecting, then connected once the new generation has its pair.
  const auto readsConnectingThenConnected = [this](std::size_t from) {
    EXPECT_TRUE(observer_->states.waitForCount(from + 2, kDeadline));
    const auto states = observer_->states.values();
    EXPECT_EQ(std::vector(states.begin() + static_cast<std::ptrdiff_t>(from), states.end()),
              (std::vector{PeerConnectionState::connecting, PeerConnectionState::connected}));
  };
  auto from = observer_->states.size();
  tablet_->send({{"type", "restart"}});
  ASSERT_TRUE(offersAnswered_.waitForCount(2, kDeadline));
  EXPECT_TRUE(echoes(*channel, 65537));
  readsConnectingThenConnected(from);
  from = observer_->states.size();
  offerRestartToTablet();
  EXPECT_TRUE(echoes(*channel, 65537));
  readsConnectingThenConnected(from);
  from = observer_->states.size();
  namespaces_->moveHostAddress("198.18.0.11");
  offerRestartToTablet();
  EXPECT_TRUE(echoes(*channel, 65537));
  readsConnectingThenConnected(from);
  EXPECT_EQ(std::get<2>(selectedPair()), "198.18.0.11");
  EXPECT_EQ(observer_->states.values().back(), PeerConnectionState::connected);
}

TEST_P(TabletTest, AVanishedTabletIsNoticedWithinTenSeconds) {
  connect();
  const auto from = observer_->states.size();
  namespaces_->cutPath();
  // Ten seconds is the aim (libnice fails a pair 10 s after its last answered consent check); a loaded machine may
  // take longer to tell, so the wait only stops a test whose tablet is never noticed.
  EXPECT_TRUE(observer_->states.waitForMatch([](auto s) { return s == PeerConnectionState::failed; },
                                             std::chrono::seconds(60)));
  // The silence reads disconnected first.
  const auto states = observer_->states.values();
  EXPECT_EQ(std::vector(states.begin() + static_cast<std::ptrdiff_t>(from), states.end()),
            (std::vector{PeerConnectionState::disconnected, PeerConnectionState::failed}));
}

TEST_P(TabletTest, RelayOnlyPolicyRoutesThroughTheTurnServer) {
  testing::LocalTurnServer turn(*namespaces_);
  PeerConfiguration configuration;
  IceServer server;
  server.urls = {testing::LocalTurnServer::url()};
  server.username = testing::LocalTurnServer::kUser;
  server.credential = testing::LocalTurnServer::kPassword;
  configuration.iceServers = {server};
  configuration.iceTransportPolicy = IceTransportPolicy::relay;
  connect(configuration);
  EXPECT_TRUE(echoes(*observer_->channels.values().front(), 16 * 1024));
  EXPECT_EQ(std::get<0>(selectedPair()), "relay");
}

const Tablet kAiortc{"aiortc", "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_tablet.py"};
const Tablet kChromium{"chromium", "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs"};
const auto kName = [](const auto& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Tablets, TabletTest, ::testing::Values(kAiortc, kChromium), kName);
INSTANTIATE_TEST_SUITE_P(Tablets, RestartingTabletTest, ::testing::Values(kChromium), kName);

}  // namespace
}  // namespace veltrano::webrtc
