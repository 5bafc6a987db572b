#include "platform/webrtc/sctp_association.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <usrsctp.h>

namespace veltrano::webrtc {

namespace {

constexpr int socketBufferSize = 1024 * 1024;
constexpr std::uint16_t streamCount = 1024;
// The DTLS link MTU less the DTLS record overhead.
constexpr std::uint32_t pathMtu = 1200 - 28;
// An idle association still hears its peer at least every two seconds (heartbeat interval plus half to one and a
// half RTO, which is 1 s at least), so that ICE can take three seconds of silence for a path gone.
constexpr std::uint32_t heartbeatIntervalMs = 500;
// The RTO before any round trip is measured, which also times the first heartbeat: usrsctp's default of 3 s let
// an association that stays quiet after it is set up wait up to 5 s for its first heartbeat.
constexpr std::uint32_t initialRtoMs = 1000;
// Room in the send buffer that wakes a waiting sender: enough for a message of the largest size.
constexpr std::uint32_t sendSpaceThreshold = 256 * 1024 + 16 * 1024;
// How often the timers run while something is under way; every such timer is 200 ms (delayed acknowledgement)
// or an RTO (1 s at least) long.
constexpr auto busyStep = std::chrono::milliseconds(50);
constexpr auto delayedAcknowledgement = std::chrono::milliseconds(200);
constexpr auto idleStep = std::chrono::milliseconds(heartbeatIntervalMs);

// usrsctp answers this FreeBSD option but its header leaves it out: the bytes the association still holds.
#ifndef SCTP_GET_SNDBUF_USE
#define SCTP_GET_SNDBUF_USE 0x00001101
struct sctp_sockstat {
  sctp_assoc_t ss_assoc_id;
  std::uint32_t ss_total_sndbuf;
  std::uint32_t ss_total_recv_buf;
};
#endif

sockaddr_conn connAddress(void* endpoint, std::uint16_t port) {
  sockaddr_conn address{};
  address.sconn_family = AF_CONN;
  address.sconn_port = htons(port);
  address.sconn_addr = endpoint;
  return address;
}

template <class Value>
void setOption(struct socket* socket, int level, int name, const Value& value) {
  usrsctp_setsockopt(socket, level, name, &value, sizeof(value));
}

}  // namespace

struct SctpReceiveTrampoline {
  static int receive(struct socket*, union sctp_sockstore, void* data, std::size_t length, struct sctp_rcvinfo info,
                     int flags, void* context) {
    auto* association = static_cast<SctpAssociation*>(context);
    if (data) {
      const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data), length);
      if (flags & MSG_NOTIFICATION) {
        association->notification_.insert(association->notification_.end(), bytes.begin(), bytes.end());
        if (flags & MSG_EOR) {
          std::vector<std::uint8_t> whole;
          whole.swap(association->notification_);
          association->handleNotification(whole);
        }
      } else {
        association->received(bytes, info.rcv_sid, ntohl(info.rcv_ppid), flags);
      }
      // usrsctp hands over a buffer from malloc.
      std::free(data);
    }
    return 1;
  }
  static int sendSpace(struct socket*, std::uint32_t, void* context) {
    auto* association = static_cast<SctpAssociation*>(context);
    association->events_.push_back(SctpAssociation::Event(SctpAssociation::Event::Kind::sendSpace));
    return 0;
  }
};

SctpAssociation::SctpAssociation(Observer& observer, std::uint16_t localPort, std::uint16_t remotePort)
    : observer_(observer), runtime_(UsrsctpRuntime::acquire()), localPort_(localPort), remotePort_(remotePort) {
  runtime_->registerEndpoint(this);
  socket_ = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, SctpReceiveTrampoline::receive,
                           SctpReceiveTrampoline::sendSpace, sendSpaceThreshold, this);
  if (!socket_) {
    runtime_->deregisterEndpoint(this);
    throw std::runtime_error("usrsctp socket: " + std::string(std::strerror(errno)));
  }
  configureSocket();
}

SctpAssociation::~SctpAssociation() {
  sequence_.check();
  *alive_ = false;
  // Closing with a zero linger aborts at once (the ABORT still reaches the observer), so no timer of the
  // association outlives it.
  usrsctp_close(socket_);
  closed_ = true;
  runtime_->deregisterEndpoint(this);
}

void SctpAssociation::configureSocket() {
  usrsctp_set_non_blocking(socket_, 1);
  setOption(socket_, SOL_SOCKET, SO_LINGER, linger{1, 0});
  setOption(socket_, SOL_SOCKET, SO_SNDBUF, socketBufferSize);
  setOption(socket_, SOL_SOCKET, SO_RCVBUF, socketBufferSize);
  setOption(socket_, IPPROTO_SCTP, SCTP_NODELAY, 1);
  setOption(socket_, IPPROTO_SCTP, SCTP_RECVRCVINFO, 1);
  setOption(socket_, IPPROTO_SCTP, SCTP_ENABLE_STREAM_RESET,
            sctp_assoc_value{SCTP_ALL_ASSOC, SCTP_ENABLE_RESET_STREAM_REQ});
  sctp_initmsg init{};
  init.sinit_num_ostreams = streamCount;
  init.sinit_max_instreams = streamCount;
  setOption(socket_, IPPROTO_SCTP, SCTP_INITMSG, init);
  for (const std::uint16_t type : {SCTP_ASSOC_CHANGE, SCTP_STREAM_RESET_EVENT, SCTP_SHUTDOWN_EVENT,
                                   SCTP_SENDER_DRY_EVENT}) {
    sctp_event event{};
    event.se_assoc_id = SCTP_ALL_ASSOC;
    event.se_type = type;
    event.se_on = 1;
    setOption(socket_, IPPROTO_SCTP, SCTP_EVENT, event);
  }
  sctp_rtoinfo rto{};
  rto.srto_assoc_id = SCTP_FUTURE_ASSOC;
  rto.srto_initial = initialRtoMs;  // the maximum and minimum stay as they are (0)
  setOption(socket_, IPPROTO_SCTP, SCTP_RTOINFO, rto);
  sctp_paddrparams params{};
  params.spp_assoc_id = SCTP_FUTURE_ASSOC;
  params.spp_flags = SPP_PMTUD_DISABLE | SPP_HB_ENABLE;
  params.spp_pathmtu = pathMtu;
  params.spp_hbinterval = heartbeatIntervalMs;
  setOption(socket_, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, params);
}

void SctpAssociation::connect() {
  sequence_.check();
  sockaddr_conn local = connAddress(this, localPort_);
  if (usrsctp_bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    closeWith("SCTP bind failed");
    dispatchEvents();
    return;
  }
  connecting_ = true;
  sockaddr_conn remote = connAddress(this, remotePort_);
  const int result = usrsctp_connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof(remote));
  if (result != 0 && errno != EINPROGRESS) closeWith("SCTP connect failed");
  sctp_paddrparams params{};
  std::memcpy(&params.spp_address, &remote, sizeof(remote));
  params.spp_flags = SPP_PMTUD_DISABLE | SPP_HB_ENABLE;
  params.spp_pathmtu = pathMtu;
  params.spp_hbinterval = heartbeatIntervalMs;
  setOption(socket_, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, params);
  dispatchEvents();
  requestTimers();
}

void SctpAssociation::receivePacket(std::span<const std::uint8_t> packet) {
  sequence_.check();
  if (closed_) return;
  usrsctp_conninput(this, packet.data(), packet.size(), 0);
  sendPendingResets();
  requestTimers();
  dispatchEvents();
}

SctpSendResult SctpAssociation::send(std::uint16_t stream, std::uint32_t ppid, std::span<const std::uint8_t> message,
                                     const SctpSendOptions& options) {
  sequence_.check();
  if (!connected_ || closed_ || message.size() > maxMessageSize) return SctpSendResult::failed;
  sctp_sendv_spa spa{};
  spa.sendv_flags = SCTP_SEND_SNDINFO_VALID;
  spa.sendv_sndinfo.snd_sid = stream;
  spa.sendv_sndinfo.snd_ppid = htonl(ppid);
  spa.sendv_sndinfo.snd_flags = SCTP_EOR | (options.ordered ? 0 : SCTP_UNORDERED);
  if (options.maxRetransmits) {
    spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
    spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_RTX;
    spa.sendv_prinfo.pr_value = *options.maxRetransmits;
  } else if (options.maxLifetimeMs) {
    spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
    spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_TTL;
    spa.sendv_prinfo.pr_value = *options.maxLifetimeMs;
  }
  const ssize_t sent = usrsctp_sendv(socket_, message.data(), message.size(), nullptr, 0, &spa, sizeof(spa),
                                     SCTP_SENDV_SPA, 0);
  if (sent >= 0) {
    requestTimers();
    return SctpSendResult::sent;
  }
  return errno == EWOULDBLOCK || errno == EAGAIN ? SctpSendResult::wouldBlock : SctpSendResult::failed;
}

void SctpAssociation::resetStream(std::uint16_t stream) {
  sequence_.check();
  if (closed_) return;
  pendingResets_.insert(stream);
  sendPendingResets();
  requestTimers();
}

void SctpAssociation::sendPendingResets() {
  if (!connected_ || closed_ || pendingResets_.empty()) return;
  const std::size_t count = pendingResets_.size();
  std::vector<std::uint8_t> buffer(sizeof(sctp_reset_streams) + count * sizeof(std::uint16_t));
  auto* request = reinterpret_cast<sctp_reset_streams*>(buffer.data());
  request->srs_assoc_id = SCTP_ALL_ASSOC;
  request->srs_flags = SCTP_STREAM_RESET_OUTGOING;
  request->srs_number_streams = static_cast<std::uint16_t>(count);
  std::size_t index = 0;
  for (const std::uint16_t stream : pendingResets_) request->srs_stream_list[index++] = stream;
  // Only one request may be outstanding; one refused for that reason is tried again after the next packet or
  // timer. Any other refusal is final: the streams count as reset, so that their channels do not wait forever.
  if (usrsctp_setsockopt(socket_, IPPROTO_SCTP, SCTP_RESET_STREAMS, buffer.data(),
                         static_cast<socklen_t>(buffer.size())) != 0) {
    if (errno == EALREADY || errno == EBUSY || errno == EAGAIN) return;
    Event event(Event::Kind::outgoingReset);
    event.streams.assign(pendingResets_.begin(), pendingResets_.end());
    events_.push_back(std::move(event));
  }
  pendingResets_.clear();
}

void SctpAssociation::shutdown() {
  sequence_.check();
  if (closed_) return;
  shuttingDown_ = true;
  if (!connected_ || usrsctp_shutdown(socket_, SHUT_RDWR) != 0) closeWith("SCTP shut down");
  requestTimers();
  dispatchEvents();
}

void SctpAssociation::handleTimers(std::chrono::steady_clock::time_point now) {
  sequence_.check();
  requestedDue_.reset();
  runtime_->handleTimers(now);
  requestTimers();
}

std::optional<std::chrono::steady_clock::time_point> SctpAssociation::timersDue(
    std::chrono::steady_clock::time_point now) const {
  sequence_.check();
  if (closed_ || !connecting_) return std::nullopt;
  if (!connected_ || shuttingDown_ || !pendingResets_.empty() || heldBytes() > 0) return now + busyStep;
  if (lastData_ && now < *lastData_ + delayedAcknowledgement) return *lastData_ + delayedAcknowledgement;
  return now + idleStep;
}

std::size_t SctpAssociation::heldBytes() const {
  sctp_sockstat use{};
  socklen_t length = sizeof use;
  if (closed_ || !connected_ || usrsctp_getsockopt(socket_, IPPROTO_SCTP, SCTP_GET_SNDBUF_USE, &use, &length) != 0) {
    return 0;
  }
  return use.ss_total_sndbuf;
}

void SctpAssociation::requestTimers() {
  const auto due = timersDue(std::chrono::steady_clock::now());
  if (!due || (requestedDue_ && *requestedDue_ <= *due)) return;
  requestedDue_ = due;
  observer_.onSctpTimersDue(*due);
}

void SctpAssociation::onUsrsctpPacket(std::span<const std::uint8_t> packet) {
  if (!closed_) observer_.onSctpPacket(packet);
}

void SctpAssociation::onUsrsctpTimersRan() {
  sendPendingResets();
  requestTimers();
  dispatchEvents();
}

void SctpAssociation::received(std::span<const std::uint8_t> data, std::uint16_t stream, std::uint32_t ppid,
                               int flags) {
  lastData_ = std::chrono::steady_clock::now();
  Assembly& assembly = assemblies_[stream];
  if (!assembly.discarding) {
    if (assembly.bytes.size() + data.size() > maxMessageSize) {
      // Larger than we announced: dropped whole.
      assembly.discarding = true;
      assembly.bytes.clear();
      assembly.bytes.shrink_to_fit();
    } else {
      assembly.bytes.insert(assembly.bytes.end(), data.begin(), data.end());
    }
  }
  if (!(flags & MSG_EOR)) return;
  if (!assembly.discarding) {
    Event event(Event::Kind::message);
    event.stream = stream;
    event.ppid = ppid;
    event.bytes.swap(assembly.bytes);
    events_.push_back(std::move(event));
  }
  assemblies_.erase(stream);
}

void SctpAssociation::handleNotification(std::span<const std::uint8_t> bytes) {
  using Header = decltype(sctp_notification::sn_header);
  if (bytes.size() < sizeof(Header)) return;
  Header header{};
  std::memcpy(&header, bytes.data(), sizeof(header));
  switch (header.sn_type) {
    case SCTP_ASSOC_CHANGE: {
      if (bytes.size() < sizeof(sctp_assoc_change)) return;
      sctp_assoc_change change{};
      std::memcpy(&change, bytes.data(), sizeof(change));
      if (change.sac_state == SCTP_COMM_UP && !connected_) {
        connected_ = true;
        events_.push_back(Event(Event::Kind::connected));
      } else if (change.sac_state == SCTP_COMM_LOST) {
        closeWith("SCTP association lost or aborted");
      } else if (change.sac_state == SCTP_CANT_STR_ASSOC) {
        closeWith("SCTP association could not be set up");
      } else if (change.sac_state == SCTP_SHUTDOWN_COMP) {
        closeWith("SCTP association shut down");
      }
      return;
    }
    case SCTP_SHUTDOWN_EVENT:
      closeWith("peer shut the SCTP association down");
      return;
    case SCTP_SENDER_DRY_EVENT:
      events_.push_back(Event(Event::Kind::sendSpace));
      return;
    case SCTP_STREAM_RESET_EVENT: {
      if (bytes.size() < sizeof(sctp_stream_reset_event)) return;
      sctp_stream_reset_event reset{};
      std::memcpy(&reset, bytes.data(), sizeof(reset));
      const std::size_t end = std::min<std::size_t>(reset.strreset_length, bytes.size());
      std::vector<std::uint16_t> streams;
      for (std::size_t offset = sizeof(reset); offset + 2 <= end; offset += 2) {
        std::uint16_t stream = 0;
        std::memcpy(&stream, bytes.data() + offset, sizeof(stream));
        streams.push_back(stream);
      }
      Event event(reset.strreset_flags & SCTP_STREAM_RESET_INCOMING_SSN ? Event::Kind::incomingReset
                                                                        : Event::Kind::outgoingReset);
      if (!(reset.strreset_flags & (SCTP_STREAM_RESET_INCOMING_SSN | SCTP_STREAM_RESET_OUTGOING_SSN))) return;
      // Fresh assemblies for streams the peer reset.
      if (event.kind == Event::Kind::incomingReset) {
        for (const std::uint16_t stream : streams) assemblies_.erase(stream);
      }
      event.streams = std::move(streams);
      events_.push_back(std::move(event));
      return;
    }
    default:
      return;
  }
}

void SctpAssociation::closeWith(std::string reason) {
  if (closed_) return;
  closed_ = true;
  Event event(Event::Kind::closed);
  event.reason = std::move(reason);
  events_.push_back(std::move(event));
}

void SctpAssociation::dispatchEvents() {
  if (dispatching_) return;
  dispatching_ = true;
  const std::weak_ptr<bool> alive = alive_;
  // An observer may destroy this association from inside its report.
  for (std::size_t i = 0; i < events_.size(); ++i) {
    Event event = std::move(events_[i]);
    switch (event.kind) {
      case Event::Kind::connected:
        observer_.onSctpConnected();
        break;
      case Event::Kind::message:
        observer_.onSctpMessage(event.stream, event.ppid, event.bytes);
        break;
      case Event::Kind::incomingReset:
        observer_.onSctpIncomingStreamsReset(event.streams);
        break;
      case Event::Kind::outgoingReset:
        observer_.onSctpOutgoingStreamsReset(event.streams);
        break;
      case Event::Kind::closed:
        observer_.onSctpClosed(event.reason);
        break;
      case Event::Kind::sendSpace:
        if (!closed_) observer_.onSctpSendSpace();
        break;
    }
    if (alive.expired()) return;
  }
  events_.clear();
  dispatching_ = false;
}

}  // namespace veltrano::webrtc
