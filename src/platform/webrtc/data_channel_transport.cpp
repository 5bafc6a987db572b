#include "platform/webrtc/data_channel_transport.hpp"

namespace veltrano::webrtc {

DataChannelTransport::DataChannelTransport(std::shared_ptr<const DtlsIdentity> identity, DtlsRole role,
                                           DatagramLink& link, Observer& observer, Options options)
    : observer_(observer),
      dtls_(std::move(identity), role, link, *this),
      association_(*this, options.localSctpPort, options.remoteSctpPort),
      channels_(association_, role, *this, options.channelBufferLimit) {}

DataChannelTransport::~DataChannelTransport() = default;

void DataChannelTransport::start() {
  sequence_.check();
  if (state_ != TransportState::newState) return;
  setState(TransportState::connecting);
  dtls_.start();
  requestDtlsTimer();
}

void DataChannelTransport::receiveDatagram(std::span<const std::uint8_t> datagram) {
  sequence_.check();
  dtls_.receive(datagram);
  requestDtlsTimer();
  // Acknowledgements may have taken data off SCTP's hands.
  if (state_ == TransportState::connected && channels_.hasDataInSctp()) channels_.settle();
}

void DataChannelTransport::tick(std::chrono::steady_clock::time_point now) {
  sequence_.check();
  dtls_.tick();
  requestDtlsTimer();
  association_.handleTimers(now);
  if (state_ == TransportState::connected && channels_.hasDataInSctp()) channels_.settle();
}

void DataChannelTransport::requestDtlsTimer() {
  if (const auto due = dtls_.timerDue()) observer_.onTimersDue(*due);
}

void DataChannelTransport::onSctpTimersDue(std::chrono::steady_clock::time_point due) { observer_.onTimersDue(due); }

void DataChannelTransport::onSctpSendSpace() {
  if (state_ != TransportState::connected) return;
  channels_.settle();
  channels_.flush();
}

std::shared_ptr<DataChannel> DataChannelTransport::createChannel(const std::string& label,
                                                                 const DataChannelInit& init) {
  sequence_.check();
  if (state_ == TransportState::closed || state_ == TransportState::failed || closing_) return nullptr;
  return channels_.createChannel(label, init);
}

void DataChannelTransport::close() {
  sequence_.check();
  if (state_ == TransportState::closed || state_ == TransportState::failed || closing_) return;
  closing_ = true;
  if (association_.isConnected() && !association_.isClosed()) {
    association_.shutdown();  // onSctpClosed finishes the close
    return;
  }
  end(TransportState::closed, "closed");
}

void DataChannelTransport::onDtlsStateChange(DtlsState state, const std::string& reason) {
  if (state == DtlsState::connected) {
    association_.connect();
  } else if (state == DtlsState::closed) {
    end(TransportState::closed, reason);
  } else if (state == DtlsState::failed) {
    end(TransportState::failed, reason);
  }
}

void DataChannelTransport::onDtlsData(std::span<const std::uint8_t> data) { association_.receivePacket(data); }

void DataChannelTransport::onSctpPacket(std::span<const std::uint8_t> packet) { dtls_.send(packet); }

void DataChannelTransport::onSctpConnected() {
  setState(TransportState::connected);
  channels_.onConnected();
}

void DataChannelTransport::onSctpMessage(std::uint16_t stream, std::uint32_t ppid,
                                         std::span<const std::uint8_t> message) {
  channels_.onMessage(stream, ppid, message);
}

void DataChannelTransport::onSctpIncomingStreamsReset(std::span<const std::uint16_t> streams) {
  channels_.onIncomingStreamsReset(streams);
}

void DataChannelTransport::onSctpOutgoingStreamsReset(std::span<const std::uint16_t> streams) {
  channels_.onOutgoingStreamsReset(streams);
}

void DataChannelTransport::onSctpClosed(const std::string& reason) { end(TransportState::closed, reason); }

void DataChannelTransport::onDataChannel(std::shared_ptr<DataChannel> channel) {
  observer_.onDataChannel(std::move(channel));
}

void DataChannelTransport::end(TransportState state, const std::string& reason) {
  if (state_ == TransportState::closed || state_ == TransportState::failed) return;
  channels_.onClosed();
  dtls_.close();
  setState(state, reason);
}

void DataChannelTransport::setState(TransportState state, const std::string& reason) {
  if (state_ == state) return;
  state_ = state;
  observer_.onTransportStateChange(state, reason);
}

}  // namespace veltrano::webrtc
