#pragma once
// DTLS, SCTP and the data channels stacked over one DatagramLink: the part of a data-channel peer above ICE.
// Single-threaded: every method and every observer call runs on the owner's network thread; the owner pushes
// received datagrams in and calls tick() when the DTLS and SCTP timers are due (onTimersDue says when). Waiting
// messages go out when SCTP reports room, never on a timer. Observers must not destroy the transport from inside
// one of their calls.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/data_channel_set.hpp"
#include "platform/webrtc/datagram_link.hpp"
#include "platform/webrtc/dtls_identity.hpp"
#include "platform/webrtc/dtls_transport.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "platform/webrtc/sctp_association.hpp"

namespace veltrano::webrtc {

enum class TransportState { newState, connecting, connected, closed, failed };

class DataChannelTransport final : private DtlsTransport::Observer,
                                   private SctpAssociation::Observer,
                                   private DataChannelSet::Observer {
 public:
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void onTransportStateChange(TransportState state, const std::string& reason) = 0;
    // A channel the peer opened; it is already open.
    virtual void onDataChannel(std::shared_ptr<DataChannel> channel) = 0;
    // tick() should run by `due`; called whenever that moves earlier, possibly from inside any method.
    virtual void onTimersDue(std::chrono::steady_clock::time_point due) { (void)due; }
  };

  struct Options {
    std::uint64_t channelBufferLimit = DataChannelSet::defaultBufferLimit;
    std::uint16_t localSctpPort = SctpAssociation::defaultPort;
    std::uint16_t remoteSctpPort = SctpAssociation::defaultPort;
  };

  // The link and observer must outlive the transport.
  DataChannelTransport(std::shared_ptr<const DtlsIdentity> identity, DtlsRole role, DatagramLink& link,
                       Observer& observer, Options options);
  // Aborts an association that is still up.
  ~DataChannelTransport() override;

  // From the peer's description: false when the fingerprint is not a SHA-256 one.
  bool setRemoteFingerprint(const std::string& fingerprint) { return dtls_.setRemoteFingerprint(fingerprint); }
  void setRemoteMaxMessageSize(std::size_t size) { channels_.setRemoteMaxMessageSize(size); }

  // Once ICE has a working pair.
  void start();
  void receiveDatagram(std::span<const std::uint8_t> datagram);
  void tick(std::chrono::steady_clock::time_point now);
  // Channels may be created before the transport is up; they open once it is.
  std::shared_ptr<DataChannel> createChannel(const std::string& label, const DataChannelInit& init);
  // Shuts SCTP down gracefully, then sends DTLS close_notify; the state becomes closed.
  void close();

  TransportState state() const { return state_; }

 private:
  void onDtlsStateChange(DtlsState state, const std::string& reason) override;
  void onDtlsData(std::span<const std::uint8_t> data) override;
  void onSctpPacket(std::span<const std::uint8_t> packet) override;
  void onSctpConnected() override;
  void onSctpMessage(std::uint16_t stream, std::uint32_t ppid, std::span<const std::uint8_t> message) override;
  void onSctpIncomingStreamsReset(std::span<const std::uint16_t> streams) override;
  void onSctpOutgoingStreamsReset(std::span<const std::uint16_t> streams) override;
  void onSctpClosed(const std::string& reason) override;
  void onSctpSendSpace() override;
  void onSctpTimersDue(std::chrono::steady_clock::time_point due) override;
  void requestDtlsTimer();
  void onDataChannel(std::shared_ptr<DataChannel> channel) override;

  void end(TransportState state, const std::string& reason);
  void setState(TransportState state, const std::string& reason = {});

  Observer& observer_;
  TransportState state_ = TransportState::newState;
  bool closing_ = false;
  // Destroyed in reverse: the channels, then SCTP (whose ABORT still goes out through DTLS), then DTLS.
  DtlsTransport dtls_;
  SctpAssociation association_;
  DataChannelSet channels_;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
