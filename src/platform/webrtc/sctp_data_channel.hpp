#pragma once
// One data channel on an SCTP stream: its configuration, state, outgoing queue and observer. The channel set
// that made it moves its messages; the channel only keeps account. Single-threaded: every method runs on the
// network thread that owns the channel set (a peer connection hops there for callers on other threads).
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/dcep_message.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "platform/webrtc/sctp_association.hpp"

namespace veltrano::webrtc {

class DataChannelSet;

class SctpDataChannel final : public DataChannel {
 public:
  struct Outgoing {
    std::uint32_t ppid = 0;
    std::vector<std::uint8_t> bytes;
    bool control = false;  // DCEP: always ordered and reliable, not counted as buffered
  };

  SctpDataChannel(DataChannelSet& set, DcepOpen configuration, std::optional<std::uint16_t> stream,
                  std::uint64_t bufferLimit);

  std::string label() const override { return configuration_.label; }
  DataChannelState readyState() const override { return state_; }
  std::uint64_t bufferedAmount() const override { return bufferedAmount_; }
  bool send(std::span<const std::byte> message, bool binary) override;
  void close() override;
  void setObserver(std::weak_ptr<DataChannelObserver> observer) override;

  const DcepOpen& configuration() const { return configuration_; }
  SctpSendOptions sendOptions(bool control) const;
  std::optional<std::uint16_t> stream() const { return stream_; }

  // For the channel set.
  void assignStream(std::uint16_t stream) { stream_ = stream; }
  void enqueue(Outgoing message);
  std::deque<Outgoing>& queue() { return queue_; }
  // A queued message went to SCTP: it stays in the buffered amount until SCTP lets it go (released).
  std::size_t countedSize(const Outgoing& message) const;
  void released(std::size_t counted);
  void changeState(DataChannelState state);
  void deliver(std::span<const std::uint8_t> message, bool binary);
  void detach();
  bool incomingReset = false;
  bool outgoingReset = false;
  bool resetRequested = false;

 private:
  DataChannelSet* set_;
  DcepOpen configuration_;
  std::optional<std::uint16_t> stream_;
  std::uint64_t bufferLimit_;
  DataChannelState state_ = DataChannelState::connecting;
  std::deque<Outgoing> queue_;
  std::uint64_t bufferedAmount_ = 0;
  std::weak_ptr<DataChannelObserver> observer_;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
