#pragma once
// The data channels of one SCTP association: stream ids chosen by DTLS role (the client takes even ids, the
// server odd ones), channels opened by either side through DCEP, message framing by payload protocol identifier,
// and closing by stream reset in both directions. Malformed DCEP is refused, never trusted. Single-threaded: runs
// on the network thread that drives the association.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/dtls_transport.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "platform/webrtc/sctp_association.hpp"
#include "platform/webrtc/sctp_data_channel.hpp"

namespace veltrano::webrtc {

class DataChannelSet {
 public:
  // Sent messages wait in the channel's queue while SCTP's send buffer is full; past this many queued bytes a
  // channel refuses further messages.
  static constexpr std::uint64_t defaultBufferLimit = 16 * 1024 * 1024;
  // What a peer may send when its description names no maximum.
  static constexpr std::size_t defaultRemoteMaxMessageSize = 65536;

  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void onDataChannel(std::shared_ptr<DataChannel> channel) = 0;
  };

  DataChannelSet(SctpAssociation& association, DtlsRole role, Observer& observer,
                 std::uint64_t bufferLimit = defaultBufferLimit);
  ~DataChannelSet();
  DataChannelSet(const DataChannelSet&) = delete;
  DataChannelSet& operator=(const DataChannelSet&) = delete;

  // Nothing when the label is longer than DCEP can carry or the association has ended.
  std::shared_ptr<DataChannel> createChannel(const std::string& label, const DataChannelInit& init);
  // The peer's a=max-message-size; 0 means no limit of its own. We never send more than we accept ourselves.
  void setRemoteMaxMessageSize(std::size_t size) {
    constexpr std::size_t ours = SctpAssociation::maxMessageSize;
    remoteMaxMessageSize_ = size == 0 ? ours : std::min(size, ours);
  }
  std::size_t remoteMaxMessageSize() const { return remoteMaxMessageSize_; }

  // From the association.
  void onConnected();
  void onMessage(std::uint16_t stream, std::uint32_t ppid, std::span<const std::uint8_t> message);
  void onIncomingStreamsReset(std::span<const std::uint16_t> streams);
  void onOutgoingStreamsReset(std::span<const std::uint16_t> streams);
  void onClosed();

  // After SCTP acknowledged or gave up data: the channels' buffered amounts drop by what it no longer holds.
  void settle();
  bool hasDataInSctp() const { return !inSctp_.empty(); }

  // From the channels.
  void flush();
  void closeChannel(SctpDataChannel& channel);

 private:
  void handleControl(std::uint16_t stream, std::span<const std::uint8_t> message);
  void acceptOpen(std::uint16_t stream, DcepOpen open);
  void refuseStream(std::uint16_t stream);
  bool isPeerStream(std::uint16_t stream) const;
  std::optional<std::uint16_t> freeStream() const;
  void startOpening(const std::shared_ptr<SctpDataChannel>& channel);
  void finishIfReset(std::uint16_t stream);

  SctpAssociation& association_;
  DtlsRole role_;
  Observer& observer_;
  std::uint64_t bufferLimit_;
  std::size_t remoteMaxMessageSize_ = defaultRemoteMaxMessageSize;
  bool ended_ = false;
  std::map<std::uint16_t, std::shared_ptr<SctpDataChannel>> channels_;
  std::vector<std::shared_ptr<SctpDataChannel>> waiting_;  // created before the association was up
  // What SCTP holds, in the order it was handed over. SCTP only tells the total it holds, which drains roughly in
  // that order: each channel's share is taken off from the front, and all of it once SCTP holds nothing.
  struct InSctp {
    std::weak_ptr<SctpDataChannel> channel;
    std::size_t bytes;    // as SCTP counts them
    std::size_t counted;  // as the channel's buffered amount counts them
  };
  std::deque<InSctp> inSctp_;
  std::size_t inSctpBytes_ = 0;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
