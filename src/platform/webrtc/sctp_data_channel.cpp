#include "platform/webrtc/sctp_data_channel.hpp"

#include "platform/webrtc/data_channel_set.hpp"

namespace veltrano::webrtc {

SctpDataChannel::SctpDataChannel(DataChannelSet& set, DcepOpen configuration, std::optional<std::uint16_t> stream,
                                 std::uint64_t bufferLimit)
    : set_(&set), configuration_(std::move(configuration)), stream_(stream), bufferLimit_(bufferLimit) {}

bool SctpDataChannel::send(std::span<const std::byte> message, bool binary) {
  sequence_.check();
  if (!set_ || state_ != DataChannelState::open) return false;
  if (message.size() > set_->remoteMaxMessageSize()) return false;
  if (bufferedAmount_ + message.size() > bufferLimit_) return false;
  Outgoing outgoing;
  if (message.empty()) {
    // SCTP carries no empty message: one zero byte stands for it.
    outgoing.ppid = binary ? ppid::binaryEmpty : ppid::stringEmpty;
    outgoing.bytes = {0};
  } else {
    outgoing.ppid = binary ? ppid::binary : ppid::string;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    outgoing.bytes.assign(bytes, bytes + message.size());
  }
  bufferedAmount_ += message.size();
  queue_.push_back(std::move(outgoing));
  set_->flush();
  return true;
}

void SctpDataChannel::close() {
  sequence_.check();
  if (!set_ || state_ == DataChannelState::closing || state_ == DataChannelState::closed) return;
  set_->closeChannel(*this);
}

void SctpDataChannel::setObserver(std::weak_ptr<DataChannelObserver> observer) { observer_ = std::move(observer); }

SctpSendOptions SctpDataChannel::sendOptions(bool control) const {
  sequence_.check();
  SctpSendOptions options;
  if (control) return options;
  options.ordered = configuration_.ordered;
  if (configuration_.reliability == DcepReliability::maxRetransmits) {
    options.maxRetransmits = configuration_.reliabilityParameter;
  } else if (configuration_.reliability == DcepReliability::maxLifetime) {
    options.maxLifetimeMs = configuration_.reliabilityParameter;
  }
  return options;
}

void SctpDataChannel::enqueue(Outgoing message) { queue_.push_back(std::move(message)); }

std::size_t SctpDataChannel::countedSize(const Outgoing& message) const {
  const bool empty = message.ppid == ppid::stringEmpty || message.ppid == ppid::binaryEmpty;
  return message.control || empty ? 0 : message.bytes.size();
}

void SctpDataChannel::released(std::size_t counted) {
  sequence_.check();
  // A closed channel already dropped its count.
  const auto taken = std::min<std::uint64_t>(counted, bufferedAmount_);
  if (taken == 0) return;
  bufferedAmount_ -= taken;
  if (auto observer = observer_.lock()) observer->onBufferedAmountChange();
}

void SctpDataChannel::changeState(DataChannelState state) {
  sequence_.check();
  if (state_ == state) return;
  state_ = state;
  if (state == DataChannelState::closed) {
    queue_.clear();
    bufferedAmount_ = 0;
  }
  if (auto observer = observer_.lock()) observer->onStateChange();
}

void SctpDataChannel::deliver(std::span<const std::uint8_t> message, bool binary) {
  sequence_.check();
  if (auto observer = observer_.lock()) {
    observer->onMessage(std::span(reinterpret_cast<const std::byte*>(message.data()), message.size()), binary);
  }
}

void SctpDataChannel::detach() {
  sequence_.check();
  set_ = nullptr;
  state_ = DataChannelState::closed;
  queue_.clear();
  bufferedAmount_ = 0;
}

}  // namespace veltrano::webrtc
