#include "platform/webrtc/peer_connection_core.hpp"

#include <openssl/rand.h>

#include <chrono>
#include <utility>

#include "platform/webrtc/data_channel_set.hpp"
#include "platform/webrtc/peer_statistics.hpp"

namespace veltrano::webrtc {
namespace {

std::uint64_t randomSessionId() {
  std::uint64_t id = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id);
  // SDP wants a positive 63-bit number.
  return (id >> 2) + 1;
}

}  // namespace

PeerConnectionCore::PeerConnectionCore(std::shared_ptr<NetworkThread> thread,
                                       std::shared_ptr<const DtlsIdentity> identity, std::vector<IceServer> servers,
                                       bool relayOnly, std::chrono::milliseconds serverLookupLimit,
                                       std::weak_ptr<PeerConnectionObserver> observer)
    : thread_(std::move(thread)),
      identity_(std::move(identity)),
      observer_(std::move(observer)),
      remoteMaxMessageSize_(std::make_shared<std::atomic<std::size_t>>(DataChannelSet::defaultRemoteMaxMessageSize)),
      servers_(std::move(servers)),
      relayOnly_(relayOnly),
      serverLookupLimit_(serverLookupLimit),
      sessionId_(randomSessionId()) {}

PeerConnectionCore::~PeerConnectionCore() {
  sequence_.check();
  resolver_.reset();
  lookupTimer_.reset();
  timer_.reset();
  transport_.reset();
  ice_.reset();
}

void PeerConnectionCore::start() {
  sequence_.check();
  ice_ = std::make_unique<IceTransport>(
      thread_->context(), IceTransportOptions{},
      IceTransportCallbacks{
          .onLocalCandidate = [this](const std::string& line) { onLocalCandidate(line); },
          .onStateChange = [this](IceState state) { onIceState(state); },
          .onDatagram =
              [this](std::span<const std::uint8_t> datagram) {
                if (transport_) transport_->receiveDatagram(datagram);
              },
      });
  resolver_ = std::make_unique<IceServerResolver>();
  setServers(std::move(servers_), relayOnly_);
}

void PeerConnectionCore::setServers(std::vector<IceServer> servers, bool relayOnly) {
  sequence_.check();
  serversResolved_ = false;
  lookupExpired_ = false;
  lookupTimer_.reset();
  // The resolver calls back only while it lives, and it dies with the core. Servers known after gathering began
  // are kept for the next stream.
  resolver_->resolve(servers, [this, relayOnly](ResolvedIceServers resolved) {
    ice_->setServers(std::move(resolved), relayOnly);
    serversResolved_ = true;
    lookupTimer_.reset();
    if (gatheringWanted_ && !closed_) ice_->gather();
  });
  if (gatheringWanted_) awaitServersAtMost();
}

void PeerConnectionCore::startGathering() {
  sequence_.check();
  gatheringWanted_ = true;
  if (serversResolved_ || lookupExpired_) {
    ice_->gather();
  } else {
    awaitServersAtMost();
  }
}

void PeerConnectionCore::awaitServersAtMost() {
  if (serversResolved_ || lookupExpired_ || lookupTimer_) return;
  // A name server that does not answer would hold even the host candidates for its whole time-out.
  lookupTimer_ = thread_->startTimeout(serverLookupLimit_, [this] {
    lookupExpired_ = true;
    if (!closed_) ice_->gather();
    // Released after its own dispatch has returned.
    thread_->post([fired = std::shared_ptr<NetworkThread::Timer>(std::move(lookupTimer_))] {});
  });
}

DataSessionDescription PeerConnectionCore::localDescription(DtlsSetup setup) const {
  DataSessionDescription d;
  d.sessionId = sessionId_;
  d.sessionVersion = sessionVersion_;
  const auto credentials = ice_->localCredentials();
  d.iceUfrag = credentials.ufrag;
  d.icePwd = credentials.pwd;
  d.iceTrickle = true;
  d.fingerprint = identity_->fingerprint();
  d.setup = setup;
  d.mid = remote_ && remote_->mid ? remote_->mid : std::optional<std::string>("0");
  d.format = remote_ ? remote_->format : SctpMediaFormat::current;
  d.mediaIndex = remote_ ? remote_->mediaIndex : 0;
  // Every section the peer offered stands in ours too; the ones we do not take are rejected.
  if (remote_) d.rejectedSections = remote_->rejectedSections;
  d.maxMessageSize = kMaxMessageSize;
  d.candidates = ice_->localCandidates();
  d.endOfCandidates = ice_->gatheringDone();
  return d;
}

void PeerConnectionCore::createOffer(DescriptionCompletion done) {
  sequence_.check();
  if (closed_) return done(std::nullopt, "the connection is closed");
  if (signaling_ == Signaling::haveRemoteOffer) return done(std::nullopt, "an offer of the peer awaits an answer");
  if (!remote_) {
    controlling_ = true;
    ice_->setControlling(true);
  }
  if (restartPending_) {
    restartPending_ = false;
    // Candidates of the new generation wait for the description that carries its credentials.
    trickling_ = false;
    ice_->restart();
  }
  done(SessionDescription{SdpType::offer, writeSessionDescription(describeLocal(DtlsSetup::actpass))}, "");
}

void PeerConnectionCore::createAnswer(DescriptionCompletion done) {
  sequence_.check();
  if (closed_) return done(std::nullopt, "the connection is closed");
  if (signaling_ != Signaling::haveRemoteOffer) return done(std::nullopt, "there is no offer to answer");
  DtlsSetup setup = DtlsSetup::active;
  if (dtlsRole_) {
    setup = *dtlsRole_ == DtlsRole::client ? DtlsSetup::active : DtlsSetup::passive;
  } else if (remote_->setup == DtlsSetup::active) {
    setup = DtlsSetup::passive;
  }
  done(SessionDescription{SdpType::answer, writeSessionDescription(describeLocal(setup))}, "");
}

DataSessionDescription PeerConnectionCore::describeLocal(DtlsSetup setup) {
  // The description carries what has been gathered so far (host candidates come at once); the rest trickles.
  startGathering();
  ++sessionVersion_;
  auto description = localDescription(setup);
  announced_.insert(description.candidates.begin(), description.candidates.end());
  return description;
}

void PeerConnectionCore::setLocalDescription(const SessionDescription& description, StepCompletion done) {
  sequence_.check();
  if (closed_) return done("the connection is closed");
  const auto parsed = parseSessionDescription(description.sdp);
  if (!parsed.description) return done("local description: " + parsed.error);
  if (description.type == SdpType::offer) {
    if (signaling_ == Signaling::haveRemoteOffer) return done("an offer of the peer awaits an answer");
    signaling_ = Signaling::haveLocalOffer;
  } else {
    if (signaling_ != Signaling::haveRemoteOffer) return done("there is no offer to answer");
    signaling_ = Signaling::stable;
    ensureTransport(parsed.description->setup == DtlsSetup::passive ? DtlsRole::server : DtlsRole::client);
  }
  startGathering();
  updateState();
  done(std::nullopt);
  // Candidates gathered meanwhile go out after the completion, so that they follow the description.
  if (!trickling_) thread_->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->startTrickling();
  });
}

void PeerConnectionCore::startTrickling() {
  if (closed_ || trickling_) return;
  trickling_ = true;
  for (const auto& line : std::exchange(heldCandidates_, {})) announce(line);
}

void PeerConnectionCore::setRemoteDescription(const SessionDescription& description, StepCompletion done) {
  sequence_.check();
  if (closed_) return done("the connection is closed");
  const auto parsed = parseSessionDescription(description.sdp);
  if (!parsed.description) return done("remote description: " + parsed.error);
  const bool isOffer = description.type == SdpType::offer;
  if (isOffer && signaling_ == Signaling::haveLocalOffer) return done("the peer's offer crossed ours");
  if (!isOffer && signaling_ != Signaling::haveLocalOffer) return done("an answer came without an offer");
  if (const auto error = applyRemote(*parsed.description, isOffer)) return done(error);
  if (isOffer) {
    signaling_ = Signaling::haveRemoteOffer;
  } else {
    signaling_ = Signaling::stable;
    ensureTransport(remote_->setup == DtlsSetup::active ? DtlsRole::server : DtlsRole::client);
  }
  updateState();
  done(std::nullopt);
}

std::optional<std::string> PeerConnectionCore::applyRemote(const DataSessionDescription& remote, bool isOffer) {
  if (!normalizedFingerprint(remote.fingerprint)) return "the peer's fingerprint is not a SHA-256 one";
  if (transport_ && remote_ && normalizedFingerprint(remote.fingerprint) != normalizedFingerprint(remote_->fingerprint)) {
    return "the peer's certificate changed";
  }
  const bool peerRestarted = remote_ && remote.iceUfrag != remote_->iceUfrag;
  if (isOffer && !remote_) {
    controlling_ = false;
    ice_->setControlling(false);
  }
  // A restart of the peer's: our side renews too, before the new generation's candidates arrive.
  if (isOffer && peerRestarted) {
    trickling_ = false;
    ice_->restart();
  }
  if (!remote_ || peerRestarted || !ice_->remoteCredentials()) {
    if (!ice_->setRemoteCredentials({remote.iceUfrag, remote.icePwd})) return "the peer's ICE credentials are unusable";
  }
  for (const auto& candidate : remote.candidates) ice_->addRemoteCandidate(candidate);
  if (remote.endOfCandidates) ice_->remoteGatheringDone();
  remoteMaxMessageSize_->store(remote.maxMessageSize.value_or(DataChannelSet::defaultRemoteMaxMessageSize));
  if (transport_) transport_->setRemoteMaxMessageSize(*remoteMaxMessageSize_);
  remote_ = remote;
  return std::nullopt;
}

void PeerConnectionCore::addIceCandidate(const IceCandidate& candidate, StepCompletion done) {
  sequence_.check();
  if (closed_) return done("the connection is closed");
  if (!remote_) return done("there is no remote description");
  if (candidate.sdp.empty()) {
    ice_->remoteGatheringDone();
    return done(std::nullopt);
  }
  if (!ice_->addRemoteCandidate(candidate.sdp)) return done("the candidate cannot be parsed");
  done(std::nullopt);
}


void PeerConnectionCore::ensureTransport(DtlsRole role) {
  if (transport_) return;
  dtlsRole_ = role;
  DataChannelTransport::Options options;
  options.remoteSctpPort = remote_ ? remote_->sctpPort : SctpAssociation::defaultPort;
  transport_ = std::make_unique<DataChannelTransport>(identity_, role, *ice_, *this, options);
  if (remote_) transport_->setRemoteFingerprint(remote_->fingerprint);
  transport_->setRemoteMaxMessageSize(*remoteMaxMessageSize_);
  auto pending = std::move(pendingChannels_);
  for (auto& [channel, init] : pending) openChannel(std::move(channel), init);
  startTransportWhenReady();
}

void PeerConnectionCore::openChannel(std::shared_ptr<ThreadedDataChannel> channel, DataChannelInit init) {
  sequence_.check();
  if (closed_) return channel->attach(nullptr);
  if (!transport_) return pendingChannels_.push_back({std::move(channel), init});
  channel->attach(transport_->createChannel(channel->label(), init));
  std::erase_if(channels_, [](const auto& weak) { return weak.expired(); });
  channels_.push_back(channel);
}

void PeerConnectionCore::startTransportWhenReady() {
  if (transport_ && ice_->state() == IceState::connected && transport_->state() == TransportState::newState) {
    transport_->start();
  }
}

void PeerConnectionCore::onIceState(IceState) {
  startTransportWhenReady();
  updateState();
}

void PeerConnectionCore::onLocalCandidate(const std::string& line) {
  if (closed_ || announced_.contains(line)) return;
  // Before our description is set, the peer could not use them yet: they wait for it (or go in it).
  if (!trickling_) return heldCandidates_.push_back(line);
  announce(line);
}

void PeerConnectionCore::announce(const std::string& line) {
  if (!announced_.insert(line).second) return;
  if (auto observer = observer_.lock()) {
    observer->onIceCandidate(IceCandidate{line, static_cast<std::int32_t>(remote_ ? remote_->mediaIndex : 0),
                                          remote_ && remote_->mid ? remote_->mid : std::optional<std::string>("0")});
  }
}

void PeerConnectionCore::onTransportStateChange(TransportState, const std::string&) { updateState(); }

void PeerConnectionCore::onTimersDue(std::chrono::steady_clock::time_point due) {
  if (timerDue_ && *timerDue_ <= due) return;
  timerDue_ = due;
  const auto delay = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
  timer_ = thread_->startTimeout(delay, [this] { runTimers(); });
}

void PeerConnectionCore::runTimers() {
  sequence_.check();
  timerDue_.reset();
  // The transport asks again for its next deadline while it runs.
  auto fired = std::move(timer_);
  if (transport_) transport_->tick(std::chrono::steady_clock::now());
  // Released after its own dispatch has returned.
  thread_->post([fired = std::shared_ptr<NetworkThread::Timer>(std::move(fired))] {});
}

void PeerConnectionCore::onDataChannel(std::shared_ptr<DataChannel> inner) {
  auto channel = std::make_shared<ThreadedDataChannel>(thread_, inner->label(), remoteMaxMessageSize_);
  channel->attach(std::move(inner));
  std::erase_if(channels_, [](const auto& weak) { return weak.expired(); });
  channels_.push_back(channel);
  if (auto observer = observer_.lock()) observer->onDataChannel(channel);
}

StatisticsReport PeerConnectionCore::statistics() const {
  sequence_.check();
  const auto now = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch());
  return peerStatistics(ice_ ? ice_->selectedPair() : std::nullopt, now.count());
}

void PeerConnectionCore::close() {
  sequence_.check();
  if (closed_) return;
  closed_ = true;
  if (transport_) transport_->close();
  for (auto& [channel, init] : pendingChannels_) channel->attach(nullptr);
  pendingChannels_.clear();
  for (const auto& weak : channels_) {
    if (auto channel = weak.lock()) channel->markClosed();
  }
  setState(PeerConnectionState::closed);
}

void PeerConnectionCore::updateState() {
  if (closed_) return;
  const auto ice = ice_->state();
  const auto transport = transport_ ? transport_->state() : TransportState::newState;
  if (ice == IceState::failed || transport == TransportState::failed || transport == TransportState::closed) {
    setState(PeerConnectionState::failed);
  } else if (ice == IceState::connected && transport == TransportState::connected) {
    setState(PeerConnectionState::connected);
  } else if (ice == IceState::disconnected && transport == TransportState::connected) {
    setState(PeerConnectionState::disconnected);
  } else if (remote_ || ice != IceState::idle) {
    setState(PeerConnectionState::connecting);
  }
}

void PeerConnectionCore::setState(PeerConnectionState state) {
  if (state == state_) return;
  state_ = state;
  if (auto observer = observer_.lock()) observer->onConnectionStateChange(state);
}

}  // namespace veltrano::webrtc
