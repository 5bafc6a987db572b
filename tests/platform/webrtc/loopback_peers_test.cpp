// Two of our own peer connections in one process, over loopback (VELTRANO_ICE_LOOPBACK=1): ICE, DTLS, SCTP and
// DCEP end to end without root or namespaces. One plays the tablet (it offers), the other the host (it answers);
// signaling is relayed in order on a thread of its own, as a signaling service would.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <regex>
#include <set>
#include <thread>

#include <poll.h>
#include <unistd.h>

#include "platform/webrtc/held_resolver.hpp"
#include "platform/webrtc/ice_transport.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "platform/webrtc/udp_relay.hpp"
#include "support/recorded_values.hpp"
#include "support/scoped_environment.hpp"

namespace veltrano::webrtc {
namespace {

using veltrano::testing::RecordedValues;
using Bytes = std::vector<std::byte>;
constexpr auto kDeadline = std::chrono::seconds(20);

class RecordingChannel final : public DataChannelObserver {
 public:
  explicit RecordingChannel(std::shared_ptr<DataChannel> channel) : channel(std::move(channel)) {}
  void onStateChange() override { states.add(channel->readyState()); }
  void onMessage(std::span<const std::byte> message, bool binary) override {
    messages.add({binary, Bytes(message.begin(), message.end())});
  }
  bool reaches(DataChannelState state) {
    return states.waitForMatch([state](auto s) { return s == state; }, kDeadline);
  }
  std::shared_ptr<DataChannel> channel;
  RecordedValues<DataChannelState> states;
  RecordedValues<std::pair<bool, Bytes>> messages;
};

std::shared_ptr<RecordingChannel> record(std::shared_ptr<DataChannel> channel) {
  auto recorder = std::make_shared<RecordingChannel>(std::move(channel));
  recorder->channel->setObserver(recorder);
  return recorder;
}

// Runs signaling steps one after another, each waiting for the completions it starts.
class SignalingWire {
 public:
  SignalingWire() : thread_([this] { run(); }) {}
  ~SignalingWire() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void post(std::function<void()> step) {
    {
      std::lock_guard lock(mutex_);
      steps_.push_back(std::move(step));
    }
    changed_.notify_all();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return stopping_ || !steps_.empty(); });
      if (steps_.empty()) return;
      auto step = std::move(steps_.front());
      steps_.pop_front();
      lock.unlock();
      step();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> steps_;
  bool stopping_ = false;
  std::thread thread_;
};

class Side final : public PeerConnectionObserver {
 public:
  explicit Side(std::string name) : name(std::move(name)) {}
  void onIceCandidate(const IceCandidate& candidate) override {
    std::lock_guard lock(mutex_);
    if (trickle_) trickle_(candidate);
  }
  void onConnectionStateChange(PeerConnectionState state) override { states.add(state); }
  void onDataChannel(std::shared_ptr<DataChannel> channel) override { channels.add(record(std::move(channel))); }
  void trickleTo(std::function<void(const IceCandidate&)> trickle) {
    std::lock_guard lock(mutex_);
    trickle_ = std::move(trickle);
  }
  // Waits for `state` among the states reported after the first `from` ones.
  bool reaches(PeerConnectionState state, std::size_t from = 0,
               std::chrono::milliseconds timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t index = from;; ++index) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto value = states.waitForValue(index, std::max(left, std::chrono::milliseconds(0)));
      if (!value) return false;
      if (*value == state) return true;
    }
  }
  std::vector<PeerConnectionState> statesSince(std::size_t from) const {
    const auto all = states.values();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
  }

  const std::string name;
  std::shared_ptr<PeerConnection> peer;
  RecordedValues<PeerConnectionState> states;
  RecordedValues<std::shared_ptr<RecordingChannel>> channels;
  bool hasRemote = false;                // signaling thread only
  std::vector<IceCandidate> early;       // candidates that came before the remote description; signaling thread
  RecordedValues<bool> descriptionsApplied;
  RecordedValues<std::string> descriptionsSent;

 private:
  std::mutex mutex_;
  std::function<void(const IceCandidate&)> trickle_;
};

class LoopbackPeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    networkThread_ = startNetworkThread();
    for (Side* side : {&tablet_, &host_}) {
      observers_.emplace_back(side, [](auto*) {});
      side->peer = createPeerConnection({{IceServer{}}, IceTransportPolicy::all}, observers_.back());
      ASSERT_TRUE(side->peer);
    }
    tablet_.trickleTo([this](const IceCandidate& c) { deliverCandidate(host_, c); });
    host_.trickleTo([this](const IceCandidate& c) { deliverCandidate(tablet_, c); });
  }

  void TearDown() override {
    tablet_.trickleTo(nullptr);
    host_.trickleTo(nullptr);
    wire_.reset();
    tablet_.peer.reset();
    host_.peer.reset();
    // The last token joins the network thread: no callback comes after this.
    networkThread_.reset();
  }

  // The tablet opens its channels and offers; the host answers. True once both sides read connected.
  bool connect(const std::vector<std::pair<std::string, DataChannelInit>>& channels) {
    for (const auto& [label, init] : channels) tabletChannels_.push_back(record(tablet_.peer->createDataChannel(label, init)));
    offer(tablet_, host_);
    return tablet_.reaches(PeerConnectionState::connected) && host_.reaches(PeerConnectionState::connected) &&
           host_.channels.waitForCount(channels.size(), kDeadline) &&
           std::all_of(tabletChannels_.begin(), tabletChannels_.end(),
                       [](const auto& channel) { return channel->reaches(DataChannelState::open); });
  }

  // `from` restarts ICE and offers; `to` answers.
  void offer(Side& from, Side& to) {
    wire_->post([this, &from, &to] {
      const auto description = describe(from, true);
      ASSERT_EQ(step([&](auto done) { from.peer->setLocalDescription(description, done); }), std::nullopt);
      from.descriptionsSent.add(description.sdp);
      wire_->post([this, &from, &to, description] {
        apply(to, description);
        const auto answer = describe(to, false);
        ASSERT_EQ(step([&](auto done) { to.peer->setLocalDescription(answer, done); }), std::nullopt);
        to.descriptionsSent.add(answer.sdp);
        wire_->post([this, &from, answer] { apply(from, answer); });
      });
    });
  }

  void apply(Side& side, SessionDescription description) {
    description.sdp = throughRelay(description.sdp, &side == &tablet_);
    EXPECT_EQ(step([&](auto done) { side.peer->setRemoteDescription(description, done); }), std::nullopt);
    side.hasRemote = true;
    for (auto& candidate : std::exchange(side.early, {})) add(side, candidate);
    side.descriptionsApplied.add(true);
  }

  void deliverCandidate(Side& to, IceCandidate candidate) {
    wire_->post([this, &to, candidate]() mutable {
      candidate.sdp = throughRelay(candidate.sdp, &to == &tablet_);
      if (candidate.sdp.empty()) return;
      if (!to.hasRemote) return to.early.push_back(candidate);
      add(to, candidate);
    });
  }

  void add(Side& side, const IceCandidate& candidate) {
    EXPECT_EQ(step([&](auto done) { side.peer->addIceCandidate(candidate, done); }), std::nullopt) << candidate.sdp;
  }

  // With a relay, only loopback candidates are passed on, each pointing at the relay's front for it. `ofHost`: the
  // host's, whose ports are kept.
  std::string throughRelay(const std::string& text, bool ofHost) {
    if (!relay_) return text;
    static const std::regex candidate(R"(candidate:(\S+) (\d+) (udp|UDP) (\d+) (\S+) (\d+) typ host[^\r\n]*)");
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
      auto end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      const std::string line = text.substr(start, end - start);
      start = end;
      if (line.find("candidate:") == std::string::npos) {
        out += line;
        continue;
      }
      std::smatch match;
      if (!std::regex_search(line, match, candidate) || match[5] != "127.0.0.1") continue;
      const auto target = static_cast<std::uint16_t>(std::stoi(match[6]));
      if (ofHost) {
        std::lock_guard lock(hostPortsMutex_);
        hostPorts_.insert(target);
      }
      const auto port = relay_->frontFor(target);
      out += line.substr(0, static_cast<std::size_t>(match.position(6))) + std::to_string(port) +
             line.substr(static_cast<std::size_t>(match.position(6) + match.length(6)));
    }
    return out;
  }

  SessionDescription describe(Side& side, bool offer) {
    std::promise<std::pair<std::optional<SessionDescription>, std::string>> promise;
    auto done = [&promise](std::optional<SessionDescription> d, std::string e) { promise.set_value({d, e}); };
    offer ? side.peer->createOffer(done) : side.peer->createAnswer(done);
    auto future = promise.get_future();
    if (future.wait_for(kDeadline) != std::future_status::ready) {
      ADD_FAILURE() << side.name << ": no description";
      return {};
    }
    auto [description, error] = future.get();
    EXPECT_TRUE(description) << side.name << ": " << error;
    return description.value_or(SessionDescription{});
  }

  static std::optional<std::string> step(const std::function<void(StepCompletion)>& start) {
    auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
    auto future = promise->get_future();
    start([promise](std::optional<std::string> error) { promise->set_value(std::move(error)); });
    if (future.wait_for(kDeadline) != std::future_status::ready) return "no completion";
    return future.get();
  }

  // Sends a payload on `from` and waits for it, byte for byte, on `to`.
  bool carries(RecordingChannel& from, RecordingChannel& to, std::size_t size, bool binary = true) {
    ++sent_;
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) {
      payload[i] = std::byte(binary ? (i * 131 + sent_) & 0xff : 'a' + (i + sent_) % 26);
    }
    if (!from.channel->send(payload, binary)) return false;
    return to.messages.waitForMatch([&](const auto& m) { return m.first == binary && m.second == payload; },
                                    kDeadline);
  }

  // When the relay last passed a DTLS record on to the host.
  std::optional<std::chrono::steady_clock::time_point> lastCarriedToHost() {
    std::lock_guard lock(hostPortsMutex_);
    std::optional<std::chrono::steady_clock::time_point> last;
    for (const auto port : hostPorts_) {
      const auto at = relay_->lastCarriedTo(port);
      if (at && (!last || *at > *last)) last = at;
    }
    return last;
  }

  veltrano::testing::ScopedEnvironment loopback_{"VELTRANO_ICE_LOOPBACK", "1"};
  std::shared_ptr<void> networkThread_;
  std::unique_ptr<testing::UdpRelay> relay_;
  std::unique_ptr<SignalingWire> wire_ = std::make_unique<SignalingWire>();
  Side tablet_{"tablet"};
  Side host_{"host"};
  std::vector<std::shared_ptr<PeerConnectionObserver>> observers_;
  std::vector<std::shared_ptr<RecordingChannel>> tabletChannels_;
  int sent_ = 0;
  std::mutex hostPortsMutex_;
  std::set<std::uint16_t> hostPorts_;  // the host's candidates' ports, behind the relay
};

TEST_F(LoopbackPeersTest, ReliableAndUnreliableChannelsOfBothSidesCarryMessagesOfEverySize) {
  ASSERT_TRUE(connect({{"ctl", {}}, {"video", {.ordered = false, .maxRetransmits = 0}}}));
  auto hostCtl = host_.channels.values().at(0);
  auto hostVideo = host_.channels.values().at(1);
  EXPECT_EQ(hostCtl->channel->label(), "ctl");
  EXPECT_EQ(hostVideo->channel->label(), "video");
  auto hostOwn = record(host_.peer->createDataChannel("host", {}));
  ASSERT_TRUE(hostOwn->reaches(DataChannelState::open));
  ASSERT_TRUE(tablet_.channels.waitForCount(1, kDeadline));
  auto tabletOfHost = tablet_.channels.values().front();
  EXPECT_EQ(tabletOfHost->channel->label(), "host");

  for (const std::size_t size : {0, 1, 1200, 16 * 1024, 65537, 262144}) {
    EXPECT_TRUE(carries(*tabletChannels_[0], *hostCtl, size)) << size;
    EXPECT_TRUE(carries(*hostCtl, *tabletChannels_[0], size)) << size;
    EXPECT_TRUE(carries(*hostOwn, *tabletOfHost, size)) << size;
    EXPECT_TRUE(carries(*tabletOfHost, *hostOwn, size)) << size;
  }
  EXPECT_TRUE(carries(*tabletChannels_[0], *hostCtl, 100, false));
  // Loopback loses nothing, so even the channel without retransmissions delivers everything.
  for (const std::size_t size : {1, 1000, 60000}) {
    EXPECT_TRUE(carries(*tabletChannels_[1], *hostVideo, size)) << size;
    EXPECT_TRUE(carries(*hostVideo, *tabletChannels_[1], size)) << size;
  }
  // More than the peer accepts is refused at the sender.
  EXPECT_FALSE(hostCtl->channel->send(Bytes(262145), true));
  // A TCP candidate that does not say which end connects is refused, not taken for a simultaneous open.
  const auto tcpCandidate = [&](const std::string& line) {
    return step([&](auto done) { host_.peer->addIceCandidate({line, 0, "0"}, done); });
  };
  EXPECT_EQ(tcpCandidate("candidate:7 1 tcp 1 127.0.0.1 9 typ host"), "the candidate cannot be parsed");
  EXPECT_EQ(tcpCandidate("candidate:7 1 tcp 1 127.0.0.1 9 typ host tcptype active"), std::nullopt);

  hostOwn->channel->close();
  EXPECT_TRUE(hostOwn->reaches(DataChannelState::closed));
  EXPECT_TRUE(tabletOfHost->reaches(DataChannelState::closed));
  EXPECT_TRUE(carries(*tabletChannels_[0], *hostCtl, 10));

  host_.peer->close();
  EXPECT_TRUE(host_.reaches(PeerConnectionState::closed));
  EXPECT_TRUE(hostCtl->reaches(DataChannelState::closed));
  EXPECT_TRUE(tabletChannels_[0]->reaches(DataChannelState::closed));
  EXPECT_EQ(host_.peer->createDataChannel("late", {}), nullptr);
}

// A caller on another thread sets its observer some time after it made the channel: the opening and the messages
// that came meanwhile still reach it.
TEST_F(LoopbackPeersTest, AnObserverSetAfterTheChannelOpenedAndReceivedHearsBoth) {
  ASSERT_TRUE(connect({{"ctl", {}}}));
  auto hostCtl = host_.channels.values().front();
  const auto channel = host_.peer->createDataChannel("late", {});
  ASSERT_TRUE(channel);
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (channel->readyState() != DataChannelState::open && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(channel->readyState(), DataChannelState::open);
  ASSERT_TRUE(tablet_.channels.waitForCount(1, kDeadline));
  auto tabletOfHost = tablet_.channels.values().front();
  const Bytes early(3000, std::byte{7});
  ASSERT_TRUE(tabletOfHost->channel->send(early, true));
  // Sent after it on the same association: once this one arrived, so had the first.
  ASSERT_TRUE(carries(*tabletChannels_[0], *hostCtl, 10));

  auto hostOwn = record(channel);
  EXPECT_TRUE(hostOwn->reaches(DataChannelState::open));
  EXPECT_TRUE(hostOwn->messages.waitForMatch([&](const auto& m) { return m.first && m.second == early; }, kDeadline));
  EXPECT_TRUE(carries(*hostOwn, *tabletOfHost, 1000));
  EXPECT_TRUE(carries(*tabletOfHost, *hostOwn, 1000));
}

TEST_F(LoopbackPeersTest, ARestartFromEitherSideReadsConnectingThenConnectedOnBoth) {
  ASSERT_TRUE(connect({{"ctl", {}}}));
  auto hostCtl = host_.channels.values().front();
  for (Side* restarting : {&host_, &tablet_, &host_}) {
    Side& other = restarting == &host_ ? tablet_ : host_;
    const auto before = std::pair(host_.states.size(), tablet_.states.size());
    restarting->peer->restartIce();
    offer(*restarting, other);
    for (auto [side, from] : {std::pair(&host_, before.first), std::pair(&tablet_, before.second)}) {
      ASSERT_TRUE(side->reaches(PeerConnectionState::connected, from)) << side->name;
      EXPECT_EQ(side->statesSince(from),
                (std::vector{PeerConnectionState::connecting, PeerConnectionState::connected}))
          << side->name << " after a restart of the " << restarting->name;
    }
    EXPECT_TRUE(carries(*tabletChannels_[0], *hostCtl, 65537));
    EXPECT_TRUE(carries(*hostCtl, *tabletChannels_[0], 65537));
  }
}

// A UDP socket on 127.0.0.1 that never answers.
class SilentServer {
 public:
  SilentServer() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("silent server");
    }
    port = ntohs(address.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  // True when a STUN binding request arrives in time.
  bool receivesBindingRequest(std::chrono::milliseconds timeout) {
    pollfd polled{fd_, POLLIN, 0};
    std::array<std::uint8_t, 2048> buffer{};
    if (::poll(&polled, 1, static_cast<int>(timeout.count())) != 1) return false;
    const auto size = ::recv(fd_, buffer.data(), buffer.size(), 0);
    return size >= 20 && buffer[0] == 0x00 && buffer[1] == 0x01;
  }
  std::uint16_t port = 0;

 private:
  int fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

TEST_F(LoopbackPeersTest, TheAnswerGoesOutWhileGatheringIsStillUnderWay) {
  // A STUN server that never answers keeps the host's gathering open for seconds.
  SilentServer server;
  IceServer stun;
  stun.urls = {"stun:127.0.0.1:" + std::to_string(server.port)};
  host_.peer = createPeerConnection({{stun}, IceTransportPolicy::all}, observers_[1]);
  ASSERT_TRUE(host_.peer);

  ASSERT_TRUE(connect({{"ctl", {}}}));
  const auto answer = host_.descriptionsSent.values().at(0);
  EXPECT_NE(answer.find("a=candidate:"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("a=end-of-candidates"), std::string::npos) << answer;
  EXPECT_TRUE(carries(*tabletChannels_[0], *host_.channels.values().front(), 1000));
}

TEST_F(LoopbackPeersTest, ServerNamesResolveWhileTheNetworkThreadGoesOnAndTheServerIsUsedOnceKnown) {
  testing::HeldResolver resolver;
  SilentServer server;
  IceServer stun;
  stun.urls = {"stun:stun.held.test:" + std::to_string(server.port)};
  // Gathering waits for the name as long as the test holds it.
  host_.peer = createPeerConnection({{stun}, IceTransportPolicy::all, std::chrono::minutes(1)}, observers_[1]);
  ASSERT_TRUE(host_.peer);
  for (const auto& [label, init] : std::vector<std::pair<std::string, DataChannelInit>>{{"ctl", {}}}) {
    tabletChannels_.push_back(record(tablet_.peer->createDataChannel(label, init)));
  }
  offer(tablet_, host_);
  // The answer went out, and the shared thread served both peers, while the name was still being looked up.
  ASSERT_TRUE(host_.descriptionsSent.waitForCount(1, kDeadline));
  ASSERT_TRUE(tablet_.descriptionsApplied.waitForCount(1, kDeadline));
  EXPECT_EQ(resolver.names(), std::vector<std::string>{"stun.held.test"});
  EXPECT_FALSE(server.receivesBindingRequest(std::chrono::milliseconds(200)));

  resolver.release("127.0.0.1");
  EXPECT_TRUE(server.receivesBindingRequest(std::chrono::seconds(5)));
  EXPECT_TRUE(host_.reaches(PeerConnectionState::connected));
  EXPECT_TRUE(tablet_.reaches(PeerConnectionState::connected));
}

TEST_F(LoopbackPeersTest, AServerNameThatNeverResolvesHoldsGatheringOnlyForItsLimit) {
  // A name server that never answers, as where no DNS answers at all.
  testing::HeldResolver resolver;
  SilentServer server;
  IceServer stun;
  stun.urls = {"stun:stun.held.test:" + std::to_string(server.port)};
  host_.peer = createPeerConnection({{stun}, IceTransportPolicy::all, std::chrono::milliseconds(300)}, observers_[1]);
  ASSERT_TRUE(host_.peer);
  // The host gathers its own addresses without the server and the peers connect while the name is still held.
  ASSERT_TRUE(connect({{"ctl", {}}}));
  const auto names = resolver.names();
  EXPECT_NE(std::find(names.begin(), names.end(), "stun.held.test"), names.end());
  EXPECT_TRUE(carries(*tabletChannels_[0], *host_.channels.values().front(), 1000));
}

TEST_F(LoopbackPeersTest, AQuietPathReadsDisconnectedUntilItCarriesAgainAndACutOneFailsAfterThat) {
  relay_ = std::make_unique<testing::UdpRelay>();
  ASSERT_TRUE(connect({{"ctl", {}}}));
  auto hostCtl = host_.channels.values().front();
  // Idle but alive: the peers' heartbeats keep the path from ever reading quiet.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(host_.statesSince(0).back(), PeerConnectionState::connected);

  // ICE's checks still pass, but nothing else: the path reads disconnected, and connected once it carries again.
  auto from = host_.states.size();
  relay_->mute(true);
  ASSERT_TRUE(host_.reaches(PeerConnectionState::disconnected, from));
  // No sooner than the silence limit after the last record that reached the host.
  const auto disconnectedBy = std::chrono::steady_clock::now();
  const auto lastRecord = lastCarriedToHost();
  ASSERT_TRUE(lastRecord) << "the relay carried no record to the host";
  EXPECT_GE(disconnectedBy - *lastRecord, IceTransport::kSilenceLimit);
  relay_->mute(false);
  ASSERT_TRUE(host_.reaches(PeerConnectionState::connected, from));
  EXPECT_EQ(host_.statesSince(from), (std::vector{PeerConnectionState::disconnected, PeerConnectionState::connected}));
  EXPECT_TRUE(carries(*hostCtl, *tabletChannels_[0], 1000));

  // Cut for good: disconnected first, then failed once ICE's consent runs out.
  from = host_.states.size();
  relay_->cut(true);
  ASSERT_TRUE(host_.reaches(PeerConnectionState::failed, from, std::chrono::seconds(60)));
  EXPECT_EQ(host_.statesSince(from), (std::vector{PeerConnectionState::disconnected, PeerConnectionState::failed}));
}

// How often a thread has gone to sleep and been woken since it started.
std::uint64_t wakeUps(pid_t thread) {
  std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("voluntary_ctxt_switches:")) return std::stoull(line.substr(line.find(':') + 1));
  }
  return 0;
}

TEST_F(LoopbackPeersTest, IdleConnectedPeersWakeTheirThreadOnlyAFewTimesASecond) {
  ASSERT_TRUE(connect({{"ctl", {}}}));
  // The thread every peer runs on: the observer calls arrive there.
  std::promise<pid_t> networkThread;
  struct ThreadProbe final : DataChannelObserver {
    explicit ThreadProbe(std::promise<pid_t>& found) : found(found) {}
    void onStateChange() override {}
    void onMessage(std::span<const std::byte>, bool) override {
      if (!done.exchange(true)) found.set_value(static_cast<pid_t>(::gettid()));
    }
    std::promise<pid_t>& found;
    std::atomic<bool> done = false;
  };
  auto probe = std::make_shared<ThreadProbe>(networkThread);
  host_.channels.values().front()->channel->setObserver(probe);
  ASSERT_TRUE(tabletChannels_[0]->channel->send(Bytes(1), true));
  const pid_t thread = networkThread.get_future().get();

  // ICE goes on checking pairs for 5 s after its last check, and a check still under way at the nomination that
  // nothing answers (link-local addresses of two interfaces) gives up only 2 s later; the TCP pairs make the
  // nomination late enough for such checks to start. Then count the wake-ups of two idle peers.
  std::this_thread::sleep_for(std::chrono::seconds(8));
  // Per second of the time that really passed between the two counts: a busy machine may wake this thread late.
  const auto countedFrom = std::chrono::steady_clock::now();
  const auto before = wakeUps(thread);
  std::this_thread::sleep_for(std::chrono::seconds(4));
  const auto after = wakeUps(thread);
  const std::chrono::duration<double> counted = std::chrono::steady_clock::now() - countedFrom;
  const auto perPeerAndSecond = static_cast<double>(after - before) / 2 / counted.count();
  RecordProperty("wakeUpsPerPeerAndSecond", std::to_string(perPeerAndSecond));
  EXPECT_LE(perPeerAndSecond, 8.0);
  EXPECT_EQ(host_.statesSince(0).back(), PeerConnectionState::connected);
}

}  // namespace
}  // namespace veltrano::webrtc
