#include "platform/webrtc/ice_transport.hpp"

#include <agent.h>
#include <interfaces.h>
#include <openssl/rand.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include "platform/webrtc/descriptor_headroom.hpp"

namespace veltrano::webrtc {
namespace {

constexpr guint kComponent = 1;

std::string randomIceText(std::size_t length) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<unsigned char> bytes(length);
  RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
  std::string text;
  for (const auto byte : bytes) text.push_back(kAlphabet[byte % 64]);
  return text;
}

std::string candidateTypeName(NiceCandidateType type) {
  switch (type) {
    case NICE_CANDIDATE_TYPE_HOST:
      return "host";
    case NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE:
      return "srflx";
    case NICE_CANDIDATE_TYPE_PEER_REFLEXIVE:
      return "prflx";
    case NICE_CANDIDATE_TYPE_RELAYED:
      return "relay";
  }
  return "host";
}

// The end of a TCP pair that connected actively has a port nobody signaled (active candidates carry 9, and
// browsers do not signal theirs at all), so libnice names it peer-reflexive. At the address of a host candidate of
// the same side it is that host, reached without any translation in between.
bool connectedFromHost(const NiceCandidate& candidate, GSList* sameSide) {
  if (candidate.type != NICE_CANDIDATE_TYPE_PEER_REFLEXIVE || candidate.transport == NICE_CANDIDATE_TRANSPORT_UDP) {
    return false;
  }
  for (GSList* item = sameSide; item != nullptr; item = item->next) {
    const auto* other = static_cast<const NiceCandidate*>(item->data);
    if (other->type == NICE_CANDIDATE_TYPE_HOST && nice_address_equal_no_port(&other->addr, &candidate.addr)) {
      return true;
    }
  }
  return false;
}

IceCandidateInfo describe(const NiceCandidate& candidate, GSList* sameSide) {
  IceCandidateInfo info;
  info.type = connectedFromHost(candidate, sameSide) ? "host" : candidateTypeName(candidate.type);
  char address[NICE_ADDRESS_STRING_LEN];
  nice_address_to_string(&candidate.addr, address);
  info.address = address;
  info.port = static_cast<int>(nice_address_get_port(&candidate.addr));
  info.protocol = candidate.transport == NICE_CANDIDATE_TRANSPORT_UDP ? "udp" : "tcp";
  info.priority = candidate.priority;
  return info;
}

NiceRelayType relayType(RelayTransport transport) {
  switch (transport) {
    case RelayTransport::udp:
      return NICE_RELAY_TYPE_TURN_UDP;
    case RelayTransport::tcp:
      return NICE_RELAY_TYPE_TURN_TCP;
    case RelayTransport::tls:
      return NICE_RELAY_TYPE_TURN_TLS;
  }
  return NICE_RELAY_TYPE_TURN_UDP;
}

bool loopbackWanted() {
  const char* value = std::getenv("VELTRANO_ICE_LOOPBACK");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// What the socket of a selected pair may hold. A datagram of our 1200 bytes takes about twice that in the
// kernel's accounting, and the default (208 KiB) held fewer datagrams than SCTP keeps in flight towards us: a burst
// that came while the network thread was sending overflowed it, and the losses cut SCTP's window. The system's
// limit (net.core.rmem_max, wmem_max) still applies.
constexpr int kSocketBufferBytes = 1024 * 1024;

void widenSocketBuffers(NiceAgent* agent, guint stream) {
  GSocket* socket = nice_agent_get_selected_socket(agent, stream, kComponent);
  if (socket == nullptr) return;  // a relayed or TCP pair: libnice keeps its socket to itself
  const int fd = g_socket_get_fd(socket);
  for (const int option : {SO_RCVBUF, SO_SNDBUF}) {
    int current = 0;
    socklen_t length = sizeof current;
    // The kernel reports twice what was asked: only widen.
    if (getsockopt(fd, SOL_SOCKET, option, &current, &length) == 0 && current >= 2 * kSocketBufferBytes) continue;
    setsockopt(fd, SOL_SOCKET, option, &kSocketBufferBytes, sizeof kSocketBufferBytes);
  }
  g_object_unref(socket);
}

// libnice reads a TCP candidate without a known "tcptype" as simultaneous-open (its comparison of a missing value
// counts as equal), which would have it wait for a connection that never comes.
bool tcpTypeValid(const std::string& line) {
  std::istringstream fields(line);
  std::vector<std::string> words{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
  if (words.size() < 3 || strcasecmp(words[2].c_str(), "tcp") != 0) return true;
  for (std::size_t i = 6; i + 1 < words.size(); i += 2) {
    if (words[i] == "tcptype") return words[i + 1] == "active" || words[i + 1] == "passive" || words[i + 1] == "so";
  }
  return false;
}

std::set<std::string> localAddresses(bool withLoopback) {
  std::set<std::string> addresses;
  GList* ips = nice_interfaces_get_local_ips(withLoopback ? TRUE : FALSE);
  for (GList* item = ips; item != nullptr; item = item->next) addresses.insert(static_cast<const char*>(item->data));
  g_list_free_full(ips, g_free);
  return addresses;
}

}  // namespace

struct IceTransport::Stream {
  IceTransport* owner = nullptr;
  guint id = 0;
  IceCredentials local;
  std::optional<IceCredentials> remote;
  std::set<std::string> gatheredAddresses;
  bool gatheringStarted = false;
  bool gatheringDone = false;
};

IceTransport::IceTransport(GMainContext* context, IceTransportOptions options, IceTransportCallbacks callbacks)
    : agent_(nice_agent_new_full(context, NICE_COMPATIBILITY_RFC5245,
                                 static_cast<NiceAgentOption>(NICE_AGENT_OPTION_CONSENT_FRESHNESS |
                                                              NICE_AGENT_OPTION_ICE_TRICKLE))),
      context_(context),
      options_(std::move(options)),
      callbacks_(std::move(callbacks)),
      loopback_(loopbackWanted()) {
  // TCP host candidates (active and passive, RFC 6544) reach a peer on a network that drops UDP. The agent is not
  // reliable, so libnice frames each datagram on TCP (RFC 4571) rather than running pseudo-TCP, and ranks TCP
  // below UDP: a path over UDP still wins wherever it works.
  g_object_set(agent_, "controlling-mode", options_.controlling ? TRUE : FALSE, "upnp", FALSE, "ice-udp", TRUE,
               "ice-tcp", TRUE, nullptr);
  handlers_.push_back(g_signal_connect(
      agent_, "component-state-changed",
      G_CALLBACK(+[](NiceAgent*, guint stream, guint component, guint state, gpointer self) {
        if (component == kComponent) static_cast<IceTransport*>(self)->handleComponentState(stream, state);
      }),
      this));
  handlers_.push_back(g_signal_connect(
      agent_, "new-selected-pair-full",
      G_CALLBACK(+[](NiceAgent* agent, guint stream, guint component, NiceCandidate*, NiceCandidate*, gpointer) {
        if (component == kComponent) widenSocketBuffers(agent, stream);
      }),
      this));
  handlers_.push_back(g_signal_connect(
      agent_, "candidate-gathering-done",
      G_CALLBACK(+[](NiceAgent*, guint stream, gpointer self) {
        static_cast<IceTransport*>(self)->handleGatheringDone(stream);
      }),
      this));
  handlers_.push_back(g_signal_connect(
      agent_, "new-candidate-full",
      G_CALLBACK(+[](NiceAgent*, NiceCandidate* candidate, gpointer self) {
        static_cast<IceTransport*>(self)->handleNewCandidate(candidate);
      }),
      this));
  addStream();
}

IceTransport::~IceTransport() {
  sequence_.check();
  for (GSource* source : {cleanup_, silenceCheck_}) {
    if (source == nullptr) continue;
    g_source_destroy(source);
    g_source_unref(source);
  }
  for (const auto handler : handlers_) g_signal_handler_disconnect(agent_, handler);
  while (!streams_.empty()) removeStream(streams_.front()->id);
  g_object_unref(agent_);
}

IceTransport::Stream* IceTransport::addStream() {
  auto stream = std::make_unique<Stream>();
  stream->owner = this;
  stream->id = nice_agent_add_stream(agent_, 1);
  stream->local = {randomIceText(16), randomIceText(32)};
  nice_agent_set_local_credentials(agent_, stream->id, stream->local.ufrag.c_str(), stream->local.pwd.c_str());
  nice_agent_attach_recv(
      agent_, stream->id, kComponent, context_,
      +[](NiceAgent*, guint streamId, guint, guint length, gchar* data, gpointer owner) {
        static_cast<IceTransport*>(owner)->handleDatagram(
            streamId, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data), length));
      },
      this);
  applyServers(*stream);
  streams_.push_back(std::move(stream));
  return streams_.back().get();
}

void IceTransport::removeStream(unsigned id) {
  const auto found = std::find_if(streams_.begin(), streams_.end(), [&](const auto& s) { return s->id == id; });
  if (found == streams_.end()) return;
  nice_agent_attach_recv(agent_, id, kComponent, context_, nullptr, nullptr);
  nice_agent_remove_stream(agent_, id);
  streams_.erase(found);
}

IceTransport::Stream* IceTransport::findStream(unsigned id) {
  for (auto& stream : streams_) {
    if (stream->id == id) return stream.get();
  }
  return nullptr;
}

void IceTransport::applyServers(Stream& stream) {
  g_object_set(agent_, "force-relay", options_.relayOnly ? TRUE : FALSE, nullptr);
  if (!options_.servers.stun.empty()) {
    const auto& stun = options_.servers.stun.front();
    g_object_set(agent_, "stun-server", stun.address.c_str(), "stun-server-port", guint(stun.port), nullptr);
  } else {
    g_object_set(agent_, "stun-server", nullptr, nullptr);
  }
  for (const auto& turn : options_.servers.turn) {
    nice_agent_set_relay_info(agent_, stream.id, kComponent, turn.address.c_str(), turn.port, turn.username.c_str(),
                              turn.credential.c_str(), relayType(turn.transport));
  }
}

void IceTransport::setControlling(bool controlling) {
  sequence_.check();
  options_.controlling = controlling;
  g_object_set(agent_, "controlling-mode", controlling ? TRUE : FALSE, nullptr);
}

void IceTransport::setServers(ResolvedIceServers servers, bool relayOnly) {
  sequence_.check();
  options_.servers = std::move(servers);
  options_.relayOnly = relayOnly;
  if (!current().gatheringStarted) {
    nice_agent_forget_relays(agent_, current().id, kComponent);
    applyServers(current());
  }
}

IceCredentials IceTransport::localCredentials() const { return current().local; }

void IceTransport::gather() {
  sequence_.check();
  auto& stream = current();
  if (stream.gatheringStarted) return;
  stream.gatheringStarted = true;
  stream.gatheredAddresses = hostAddresses();
  if (loopback_) addLoopbackAddresses();
  if (state_ == IceState::idle) setState(IceState::gathering);
  nice_agent_gather_candidates(agent_, stream.id);
}

bool IceTransport::gatheringDone() const { return current().gatheringDone; }

std::vector<std::string> IceTransport::localCandidates() const {
  sequence_.check();
  std::vector<std::string> lines;
  GSList* candidates = nice_agent_get_local_candidates(agent_, current().id, kComponent);
  for (GSList* item = candidates; item != nullptr; item = item->next) {
    gchar* line = nice_agent_generate_local_candidate_sdp(agent_, static_cast<NiceCandidate*>(item->data));
    std::string text = line;
    g_free(line);
    lines.push_back(text.starts_with("a=") ? text.substr(2) : text);
  }
  g_slist_free_full(candidates, reinterpret_cast<GDestroyNotify>(nice_candidate_free));
  return lines;
}

bool IceTransport::setRemoteCredentials(const IceCredentials& credentials) {
  sequence_.check();
  if (credentials.ufrag.empty() || credentials.pwd.empty()) return false;
  auto& stream = current();
  if (!nice_agent_set_remote_credentials(agent_, stream.id, credentials.ufrag.c_str(), credentials.pwd.c_str())) {
    return false;
  }
  stream.remote = credentials;
  return true;
}

std::optional<IceCredentials> IceTransport::remoteCredentials() const { return current().remote; }

bool IceTransport::addRemoteCandidate(const std::string& candidateLine) {
  sequence_.check();
  const std::string line = candidateLine.starts_with("a=") ? candidateLine : "a=" + candidateLine;
  if (!tcpTypeValid(line)) return false;
  auto& stream = current();
  NiceCandidate* candidate = nice_agent_parse_remote_candidate_sdp(agent_, stream.id, line.c_str());
  if (candidate == nullptr) return false;
  if (candidate->component_id == kComponent) {
    GSList list{candidate, nullptr};
    nice_agent_set_remote_candidates(agent_, stream.id, kComponent, &list);
  }
  nice_candidate_free(candidate);
  return true;
}

void IceTransport::remoteGatheringDone() { nice_agent_peer_candidate_gathering_done(agent_, current().id); }

void IceTransport::restart() {
  sequence_.check();
  auto& stream = current();
  if (stream.gatheringStarted && hostAddresses() != stream.gatheredAddresses && hasDescriptorHeadroom()) {
    // The old stream's sockets are bound to addresses that may be gone: gather afresh on a new stream and keep the
    // old one carrying datagrams until the new one connects.
    // (Short of descriptors the stream restarts in place: a new one needs a GLib context, and its wakeup, of its own.)
    std::vector<unsigned> stale;
    for (const auto& other : streams_) {
      if (other->id != active_) stale.push_back(other->id);
    }
    for (const auto id : stale) removeStream(id);
    addStream();
    gather();
  } else {
    nice_agent_restart_stream(agent_, stream.id);
    stream.local = {randomIceText(16), randomIceText(32)};
    stream.remote.reset();
    nice_agent_set_local_credentials(agent_, stream.id, stream.local.ufrag.c_str(), stream.local.pwd.c_str());
  }
  // The old pair may still carry data, but the path is in question until the new generation selects a pair.
  if (state_ != IceState::idle && state_ != IceState::gathering) setState(IceState::checking);
}

std::optional<IceSelectedPair> IceTransport::selectedPair() const {
  sequence_.check();
  if (active_ == 0) return std::nullopt;
  NiceCandidate* local = nullptr;
  NiceCandidate* remote = nullptr;
  if (!nice_agent_get_selected_pair(agent_, active_, kComponent, &local, &remote)) return std::nullopt;
  GSList* locals = nice_agent_get_local_candidates(agent_, active_, kComponent);
  GSList* remotes = nice_agent_get_remote_candidates(agent_, active_, kComponent);
  IceSelectedPair pair{describe(*local, locals), describe(*remote, remotes)};
  for (GSList* list : {locals, remotes}) g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(nice_candidate_free));
  return pair;
}

void IceTransport::send(std::span<const std::uint8_t> datagram) {
  sequence_.check();
  if (active_ == 0) return;
  nice_agent_send(agent_, active_, kComponent, static_cast<guint>(datagram.size()),
                  reinterpret_cast<const gchar*>(datagram.data()));
}

void IceTransport::removeStaleStreams() {
  g_source_unref(cleanup_);
  cleanup_ = nullptr;
  std::vector<unsigned> stale;
  for (const auto& stream : streams_) {
    if (stream->id != active_ && stream->id != current().id) stale.push_back(stream->id);
  }
  for (const auto id : stale) removeStream(id);
}

void IceTransport::setState(IceState state) {
  if (state == state_) return;
  state_ = state;
  if (state == IceState::connected) {
    lastHeard_ = std::chrono::steady_clock::now();
    armSilenceCheck(lastHeard_ + kSilenceLimit);
  }
  if (callbacks_.onStateChange) callbacks_.onStateChange(state);
}

void IceTransport::handleComponentState(unsigned streamId, unsigned componentState) {
  if (findStream(streamId) == nullptr) return;
  const bool isCurrent = streamId == current().id;
  switch (componentState) {
    case NICE_COMPONENT_STATE_CONNECTED:
    case NICE_COMPONENT_STATE_READY:
      if (isCurrent && active_ != streamId) {
        active_ = streamId;
        // The datagram path has moved; older streams go once this signal has returned.
        if (cleanup_ == nullptr) {
          cleanup_ = g_idle_source_new();
          g_source_set_callback(
              cleanup_,
              +[](gpointer self) -> gboolean {
                static_cast<IceTransport*>(self)->removeStaleStreams();
                return G_SOURCE_REMOVE;
              },
              this, nullptr);
          g_source_attach(cleanup_, context_);
        }
      }
      // After a restart this is the new generation's pair: the same stream, but checks that succeeded afresh.
      if (streamId == active_ && isCurrent) setState(IceState::connected);
      break;
    case NICE_COMPONENT_STATE_CONNECTING:
      if (isCurrent && state_ != IceState::connected) setState(IceState::checking);
      break;
    case NICE_COMPONENT_STATE_FAILED:
      // The old stream of a move fails when its address is gone; only the stream being signaled decides.
      if (isCurrent || (streamId == active_ && active_ == current().id)) setState(IceState::failed);
      break;
    default:
      break;
  }
}

void IceTransport::handleGatheringDone(unsigned streamId) {
  auto* stream = findStream(streamId);
  if (stream == nullptr) return;
  stream->gatheringDone = true;
}

void IceTransport::handleNewCandidate(NiceCandidate* candidate) {
  if (candidate->stream_id != current().id || candidate->component_id != kComponent) return;
  gchar* line = nice_agent_generate_local_candidate_sdp(agent_, candidate);
  std::string text = line;
  g_free(line);
  if (callbacks_.onLocalCandidate) callbacks_.onLocalCandidate(text.starts_with("a=") ? text.substr(2) : text);
}

void IceTransport::handleDatagram(unsigned, std::span<const std::uint8_t> datagram) {
  heard();
  if (callbacks_.onDatagram) callbacks_.onDatagram(datagram);
}

void IceTransport::heard() {
  lastHeard_ = std::chrono::steady_clock::now();
  if (state_ == IceState::disconnected) setState(IceState::connected);
}

void IceTransport::armSilenceCheck(std::chrono::steady_clock::time_point deadline) {
  if (silenceCheck_ != nullptr) {
    g_source_destroy(silenceCheck_);
    g_source_unref(silenceCheck_);
  }
  const auto delay = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  silenceCheck_ = g_timeout_source_new(static_cast<guint>(std::max<std::int64_t>(delay.count(), 0)));
  g_source_set_callback(
      silenceCheck_,
      +[](gpointer self) -> gboolean {
        static_cast<IceTransport*>(self)->checkSilence();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(silenceCheck_, context_);
}

void IceTransport::checkSilence() {
  g_source_unref(silenceCheck_);
  silenceCheck_ = nullptr;
  if (state_ != IceState::connected) return;
  const auto deadline = lastHeard_ + kSilenceLimit;
  if (std::chrono::steady_clock::now() >= deadline) {
    setState(IceState::disconnected);
  } else {
    // Datagrams only move the deadline; the check wakes once per quiet spell, not once per datagram.
    armSilenceCheck(deadline);
  }
}

void IceTransport::addLoopbackAddresses() {
  // libnice gathers on exactly the addresses it was given once it was given any, and never drops one; an address
  // that has gone simply fails to bind.
  for (const auto& text : localAddresses(true)) {
    if (!addedAddresses_.insert(text).second) continue;
    NiceAddress address;
    nice_address_init(&address);
    if (nice_address_set_from_string(&address, text.c_str())) nice_agent_add_local_address(agent_, &address);
  }
}

std::set<std::string> IceTransport::hostAddresses() const { return localAddresses(loopback_); }

}  // namespace veltrano::webrtc
