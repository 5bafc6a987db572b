#include "remote/webrtc_peer_session.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>

#include "base/thread_checks.hpp"
#include "base/thread_pools.hpp"
#include "platform/cpu/usable_cpus.hpp"
#include "remote/data_channel_chunks.hpp"
#include "remote/data_channel_labels.hpp"
#include "remote/data_channel_send_budget.hpp"
#include "remote/ice_server_list.hpp"
#include "remote/peer_signal_bodies.hpp"
#include "remote/route_classification.hpp"

namespace veltrano {

namespace {

// The threads that serve peer sessions and nothing else, so that no caller can hold a thread a session needs, and a
// burst of sessions costs no threads. Each session keeps to one of them, taken in turn: its callbacks all come from
// one thread.
const ThreadPoolKind kPeerSessionThreads[] = {
    {"peer sessions 1", 1}, {"peer sessions 2", 1}, {"peer sessions 3", 1}, {"peer sessions 4", 1}};

Strand nextPeerSessionStrand() {
  static const unsigned count = std::max(2u, std::min<unsigned>(std::size(kPeerSessionThreads), usableCpuCount()));
  static std::atomic<unsigned> next = 0;
  const ThreadPoolKind& kind = kPeerSessionThreads[next.fetch_add(1, std::memory_order_relaxed) % count];
  return asio::make_strand(ThreadPools::pool(kind).executor());
}

constexpr int routeRetryLimit = 8;
constexpr Clock::Duration routeRetryInterval = std::chrono::milliseconds(250);

WebRTCPeerCallbacks::State reportedState(webrtc::PeerConnectionState state) {
  using State = WebRTCPeerCallbacks::State;
  switch (state) {
    case webrtc::PeerConnectionState::newState:
    case webrtc::PeerConnectionState::connecting: return State::connecting;
    case webrtc::PeerConnectionState::connected: return State::connected;
    case webrtc::PeerConnectionState::disconnected: return State::disconnected;
    case webrtc::PeerConnectionState::failed: return State::failed;
    case webrtc::PeerConnectionState::closed: return State::closed;
  }
  return State::failed;
}

}  // namespace

// Stands for one channel before the peer's network thread, which names neither the channel nor its label. What
// the channel reports goes to the session's strand in the order it came.
class WebRTCPeerSession::ChannelObserver final : public webrtc::DataChannelObserver,
                                                 public std::enable_shared_from_this<ChannelObserver> {
 public:
  ChannelObserver(std::weak_ptr<WebRTCPeerSession> session, const std::shared_ptr<webrtc::DataChannel>& channel)
      : session_(std::move(session)), channel_(channel), label_(channel->label()) {}

  const std::string& label() const { return label_; }
  bool isOpen() const {
    const auto channel = channel_.lock();
    return channel && channel->readyState() == webrtc::DataChannelState::open;
  }
  bool openReported = false;  // strand only

  void onStateChange() override {
    const auto session = session_.lock();
    if (!session) return;
    session->post([observer = shared_from_this()](WebRTCPeerSession& self) { self.reportOpening(*observer); });
  }

  void onMessage(std::span<const std::byte> message, bool) override {
    const auto session = session_.lock();
    if (!session) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    session->post([observer = shared_from_this(), data = Bytes(bytes, bytes + message.size()),
                   arrivedOpen = isOpen()](WebRTCPeerSession& self) { self.receiveMessage(*observer, data, arrivedOpen); });
  }

 private:
  const std::weak_ptr<WebRTCPeerSession> session_;
  const std::weak_ptr<webrtc::DataChannel> channel_;
  const std::string label_;
};

std::shared_ptr<WebRTCPeerSession> WebRTCPeerSession::create(std::vector<SignalingICEServer> iceServers,
                                                             bool forceRelay, WebRTCPeerEnvironment environment) {
  webrtc::PeerConfiguration configuration{
      makeIceServers(iceServers), forceRelay ? webrtc::IceTransportPolicy::relay : webrtc::IceTransportPolicy::all};
  return std::shared_ptr<WebRTCPeerSession>(new WebRTCPeerSession(std::move(configuration), std::move(environment)));
}

WebRTCPeerSession::WebRTCPeerSession(webrtc::PeerConfiguration configuration, WebRTCPeerEnvironment environment)
    : strand_(nextPeerSessionStrand()),
      callbacks_(std::make_shared<WebRTCPeerCallbacks>()),
      environment_(std::move(environment)),
      configuration_(std::move(configuration)),
      nextMessageID_(environment_.lastMessageID) {}

// The last reference may go on any thread; nothing runs on the strand for this session any more.
WebRTCPeerSession::~WebRTCPeerSession() { closeConnection(); }

void WebRTCPeerSession::post(std::function<void(WebRTCPeerSession&)> step) {
  asio::post(strand_, [weakSelf = weak_from_this(), step = std::move(step)] {
    if (const auto self = weakSelf.lock()) step(*self);
  });
}

void WebRTCPeerSession::start(std::function<void(bool made)> made) {
  post([made = std::move(made)](WebRTCPeerSession& self) {
    self.peerConnection_ = self.environment_.makePeerConnection(self.configuration_, self.weak_from_this());
    self.isClosed_ = self.peerConnection_ == nullptr;
    self.closedReported_ = self.isClosed_;
    if (made) made(!self.isClosed_);
  });
}

void WebRTCPeerSession::handleRemoteSignal(std::string type, Bytes payload) {
  post([type = std::move(type), payload = std::move(payload)](WebRTCPeerSession& self) {
    self.handleSignal(type, payload);
  });
}

void WebRTCPeerSession::openChannel(std::string label, bool reliable, std::function<void(bool)> opened) {
  post([label = std::move(label), reliable, opened = std::move(opened)](WebRTCPeerSession& self) {
    const bool made = !self.isClosed_ && self.channel(label, reliable) != nullptr;
    if (opened) opened(made);
  });
}

void WebRTCPeerSession::sendWithoutWaiting(std::string label, std::shared_ptr<const Bytes> message,
                                           std::function<void(bool)> sent) {
  post([label = std::move(label), message = std::move(message), sent = std::move(sent)](WebRTCPeerSession& self) {
    const bool accepted = self.sendOnStrand(label, *message);
    if (sent) sent(accepted);
  });
}

void WebRTCPeerSession::close() {
  post([](WebRTCPeerSession& self) { self.closeOnStrand(); });
}

void WebRTCPeerSession::restartIce() {
  post([](WebRTCPeerSession& self) {
    if (self.isClosed_) return;
    self.lastReportedRoute_.reset();
    self.peerConnection_->restartIce();
    self.post([](WebRTCPeerSession& later) { later.createOffer(); });
  });
}

void WebRTCPeerSession::updateIceServers(std::vector<SignalingICEServer> iceServers) {
  post([iceServers = std::move(iceServers)](WebRTCPeerSession& self) {
    if (self.isClosed_) return;
    webrtc::PeerConfiguration configuration = self.peerConnection_->configuration();
    configuration.iceServers = makeIceServers(iceServers);
    if (!self.peerConnection_->setConfiguration(configuration)) {
      std::fputs("[WEBRTC] ICE server refresh rejected\n", stderr);
    }
  });
}

void WebRTCPeerSession::onIceCandidate(const webrtc::IceCandidate& candidate) {
  post([body = encodeIceCandidateBody(candidate)](WebRTCPeerSession& self) {
    if (!self.isClosed_) self.callbacks_->onLocalSignal("candidate", body);
  });
}

void WebRTCPeerSession::onConnectionStateChange(webrtc::PeerConnectionState state) {
  post([state](WebRTCPeerSession& self) { self.reportState(state); });
}

void WebRTCPeerSession::reportState(webrtc::PeerConnectionState state) {
  assertOnStrand(strand_);
  if (isClosed_ || closedReported_) return;
  closedReported_ = state == webrtc::PeerConnectionState::closed;
  callbacks_->onState(reportedState(state));
  if (state == webrtc::PeerConnectionState::connected) refreshRoute(0);
}

void WebRTCPeerSession::reportFailure() {
  post([](WebRTCPeerSession& self) {
    if (!self.isClosed_ && !self.closedReported_) self.callbacks_->onState(WebRTCPeerCallbacks::State::failed);
  });
}

void WebRTCPeerSession::onDataChannel(std::shared_ptr<webrtc::DataChannel> channel) {
  // Observed at once: messages the peer sends right after opening would otherwise find no observer.
  auto observer = std::make_shared<ChannelObserver>(weak_from_this(), channel);
  channel->setObserver(observer);
  post([entry = ChannelEntry{std::move(channel), std::move(observer)}](WebRTCPeerSession& self) {
    self.adoptChannel(entry);
  });
}

void WebRTCPeerSession::handleSignal(const std::string& type, const Bytes& payload) {
  assertOnStrand(strand_);
  if (isClosed_) return;
  if (type == "offer") {
    applyRemoteDescription(payload, webrtc::SdpType::offer);
  } else if (type == "answer") {
    applyRemoteDescription(payload, webrtc::SdpType::answer);
  } else if (type == "candidate") {
    applyRemoteCandidate(payload);
  } else if (type == "iceRestart") {
    peerConnection_->restartIce();
    post([](WebRTCPeerSession& self) { self.createOffer(); });
  } else if (type == "hangup") {
    close();
  }
}

void WebRTCPeerSession::applyRemoteDescription(const Bytes& payload, webrtc::SdpType type) {
  const std::optional<std::string> sdp = decodeSessionDescriptionBody(payload);
  if (!sdp) return;
  peerConnection_->setRemoteDescription(
      {type, *sdp}, [weakSelf = weak_from_this(), type](std::optional<std::string> error) {
        const auto self = weakSelf.lock();
        if (!self) return;
        if (error) return self->reportFailure();
        self->post([type](WebRTCPeerSession& later) {
          if (later.isClosed_) return;
          if (type == webrtc::SdpType::offer) {
            later.createAnswer();
          } else {
            later.flushPendingCandidates();
          }
        });
      });
}

void WebRTCPeerSession::applyRemoteCandidate(const Bytes& payload) {
  std::optional<webrtc::IceCandidate> candidate = decodeIceCandidateBody(payload);
  if (!candidate) return;
  if (!hasRemoteDescription_) {
    pendingCandidates_.push_back(std::move(*candidate));
    return;
  }
  peerConnection_->addIceCandidate(std::move(*candidate), [](std::optional<std::string>) {});
}

void WebRTCPeerSession::flushPendingCandidates() {
  hasRemoteDescription_ = true;
  std::vector<webrtc::IceCandidate> pending = std::exchange(pendingCandidates_, {});
  for (webrtc::IceCandidate& candidate : pending) {
    peerConnection_->addIceCandidate(std::move(candidate), [](std::optional<std::string>) {});
  }
}

void WebRTCPeerSession::createAnswer() {
  flushPendingCandidates();
  peerConnection_->createAnswer(localDescriptionStep());
}

void WebRTCPeerSession::createOffer() {
  assertOnStrand(strand_);
  if (isClosed_) return;
  channel(std::string(controlChannelLabel), true);
  peerConnection_->createOffer(localDescriptionStep());
}

webrtc::DescriptionCompletion WebRTCPeerSession::localDescriptionStep() {
  return [weakSelf = weak_from_this()](std::optional<webrtc::SessionDescription> description, std::string error) {
    const auto self = weakSelf.lock();
    if (!self) return;
    if (!description || !error.empty()) return self->reportFailure();
    self->post([description = std::move(*description)](WebRTCPeerSession& later) {
      later.setLocalDescription(description);
    });
  };
}

void WebRTCPeerSession::setLocalDescription(webrtc::SessionDescription description) {
  if (isClosed_) return;
  const std::string kind = description.type == webrtc::SdpType::offer ? "offer" : "answer";
  std::string sdp = description.sdp;
  peerConnection_->setLocalDescription(
      std::move(description),
      [weakSelf = weak_from_this(), kind, sdp = std::move(sdp)](std::optional<std::string> error) {
        const auto self = weakSelf.lock();
        if (!self) return;
        if (error) return self->reportFailure();
        self->post([kind, body = encodeSessionDescriptionBody(sdp)](WebRTCPeerSession& later) {
          if (!later.isClosed_) later.callbacks_->onLocalSignal(kind, body);
        });
      });
}

std::shared_ptr<webrtc::DataChannel> WebRTCPeerSession::channel(const std::string& label, bool reliable) {
  if (const auto existing = channels_.find(label); existing != channels_.end()) return existing->second.channel;
  const webrtc::DataChannelInit init{reliable || label == inputChannelLabel, reliable ? -1 : 0};
  auto created = peerConnection_->createDataChannel(label, init);
  if (!created) return nullptr;
  auto observer = std::make_shared<ChannelObserver>(weak_from_this(), created);
  created->setObserver(observer);
  channelObservers_.push_back(observer);
  channels_[label] = ChannelEntry{created, std::move(observer)};
  return created;
}

void WebRTCPeerSession::adoptChannel(ChannelEntry entry) {
  if (isClosed_) return;
  channelObservers_.push_back(entry.observer);
  channels_[entry.observer->label()] = entry;
  reportOpening(*entry.observer);
}

bool WebRTCPeerSession::isCurrent(const ChannelObserver& observer) const {
  const auto found = channels_.find(observer.label());
  return found != channels_.end() && found->second.observer.get() == &observer;
}

// A channel reports its state more than once (adopted open, then its own change); the owner hears of it once.
void WebRTCPeerSession::reportOpening(ChannelObserver& observer) {
  assertOnStrand(strand_);
  if (isClosed_ || observer.openReported || !isCurrent(observer) || !observer.isOpen()) return;
  observer.openReported = true;
  callbacks_->onChannelOpened(observer.label());
}

bool WebRTCPeerSession::sendOnStrand(const std::string& label, ByteView message) {
  if (isClosed_) return false;
  const auto found = channels_.find(label);
  if (found == channels_.end()) return false;
  webrtc::DataChannel& channel = *found->second.channel;
  if (channel.readyState() != webrtc::DataChannelState::open) return false;
  const std::uint32_t messageID = ++nextMessageID_;
  const std::vector<Bytes> chunks = makeChunks(message, messageID);
  if (chunks.empty()) return false;
  if (!fitsSendBudget(label, channel.bufferedAmount(), chunkedWireSize(message.size()))) return false;
  for (const Bytes& chunk : chunks) {
    if (!channel.send(std::as_bytes(std::span(chunk)), true)) return false;
  }
  return true;
}

void WebRTCPeerSession::closeOnStrand() {
  if (!closeConnection()) return;
  if (!std::exchange(closedReported_, true)) callbacks_->onState(WebRTCPeerCallbacks::State::closed);
}

bool WebRTCPeerSession::closeConnection() {
  if (isClosed_) return false;
  isClosed_ = true;
  for (auto& [label, entry] : channels_) entry.channel->close();
  channels_.clear();
  channelObservers_.clear();
  peerConnection_->close();
  routeRetry_.cancel();
  return true;
}

// Only the channels of the table are read, and only while open: a label the session does not hold, or a channel
// that closed or was replaced, could otherwise keep partial messages without bound.
void WebRTCPeerSession::receiveMessage(const ChannelObserver& observer, const Bytes& data, bool arrivedOpen) {
  assertOnStrand(strand_);
  if (isClosed_ || !arrivedOpen || !isCurrent(observer)) return;
  std::optional<Bytes> message = assemblies_.receive(observer.label(), data, environment_.clock->now());
  if (message) callbacks_->onData(observer.label(), *message);
}

void WebRTCPeerSession::refreshRoute(int attempt) {
  assertOnStrand(strand_);
  if (isClosed_) return;
  peerConnection_->getStatistics([weakSelf = weak_from_this(), attempt](webrtc::StatisticsReport report) {
    const auto self = weakSelf.lock();
    if (!self) return;
    self->post([attempt, report = std::move(report)](WebRTCPeerSession& later) { later.evaluateRoute(report, attempt); });
  });
}

void WebRTCPeerSession::evaluateRoute(const webrtc::StatisticsReport& report, int attempt) {
  if (isClosed_) return;
  const auto hostSubnets = environment_.hostSubnets();
  const std::optional<WebRTCRoute> route = classifyRoute(report, hostSubnets);
  // The peer's checks often outrun its candidate lines, which come through signaling (after a restart almost
  // always): its end then reads peer-reflexive until they arrive, and libnice retypes it. The probe looks again
  // on its retries, and calls such a pair direct only on its last one.
  const bool mayStillBeHost = route == WebRTCRoute::direct && remoteEndLearntFromChecks(report, hostSubnets);
  if (route && !(mayStillBeHost && attempt < routeRetryLimit)) {
    if (route == lastReportedRoute_) return;
    lastReportedRoute_ = route;
    callbacks_->onRoute(*route);
    return;
  }
  if (attempt >= routeRetryLimit) return;
  routeRetry_.cancel();  // a newer probe replaces the pending one; the old one would hold the session meanwhile
  routeRetry_ = Task::spawn(strand_, [weakSelf = weak_from_this(), clock = environment_.clock,
                                       next = attempt + 1](TaskToken token) -> asio::awaitable<void> {
    const Clock::TimePoint deadline = clock->now() + routeRetryInterval;
    co_await clock->sleepUntil(token, deadline);
    if (const auto self = weakSelf.lock()) self->refreshRoute(next);
  });
}

}  // namespace veltrano
