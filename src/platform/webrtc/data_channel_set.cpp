#include "platform/webrtc/data_channel_set.hpp"

#include <algorithm>
#include <limits>

namespace veltrano::webrtc {

namespace {

constexpr std::uint16_t streamLimit = 1024;

}  // namespace

DataChannelSet::DataChannelSet(SctpAssociation& association, DtlsRole role, Observer& observer,
                               std::uint64_t bufferLimit)
    : association_(association), role_(role), observer_(observer), bufferLimit_(bufferLimit) {}

DataChannelSet::~DataChannelSet() {
  sequence_.check();
  for (auto& [stream, channel] : channels_) channel->detach();
  for (auto& channel : waiting_) channel->detach();
}

std::shared_ptr<DataChannel> DataChannelSet::createChannel(const std::string& label, const DataChannelInit& init) {
  sequence_.check();
  if (ended_ || label.size() > std::numeric_limits<std::uint16_t>::max()) return nullptr;
  DcepOpen open;
  open.label = label;
  open.ordered = init.ordered;
  if (init.maxRetransmits >= 0) {
    open.reliability = DcepReliability::maxRetransmits;
    open.reliabilityParameter = static_cast<std::uint32_t>(init.maxRetransmits);
  }
  auto channel = std::make_shared<SctpDataChannel>(*this, std::move(open), std::nullopt, bufferLimit_);
  if (association_.isConnected()) {
    startOpening(channel);
    if (!channel->stream()) return nullptr;
  } else {
    waiting_.push_back(channel);
  }
  return channel;
}

void DataChannelSet::startOpening(const std::shared_ptr<SctpDataChannel>& channel) {
  const auto stream = freeStream();
  if (!stream) {
    channel->changeState(DataChannelState::closed);
    return;
  }
  channel->assignStream(*stream);
  channels_[*stream] = channel;
  channel->enqueue({ppid::control, serializeDcepMessage(channel->configuration()), true});
  flush();
}

std::optional<std::uint16_t> DataChannelSet::freeStream() const {
  for (std::uint16_t stream = role_ == DtlsRole::client ? 0 : 1; stream < streamLimit; stream += 2) {
    if (!channels_.contains(stream)) return stream;
  }
  return std::nullopt;
}

bool DataChannelSet::isPeerStream(std::uint16_t stream) const {
  const bool even = stream % 2 == 0;
  return role_ == DtlsRole::client ? !even : even;
}

void DataChannelSet::onConnected() {
  sequence_.check();
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& channel : waiting) {
    if (channel->readyState() == DataChannelState::connecting) startOpening(channel);
  }
}

void DataChannelSet::onMessage(std::uint16_t stream, std::uint32_t ppid, std::span<const std::uint8_t> message) {
  sequence_.check();
  if (ppid == ppid::control) {
    handleControl(stream, message);
    return;
  }
  const auto found = channels_.find(stream);
  if (found == channels_.end()) return;
  const std::shared_ptr<SctpDataChannel> channel = found->second;
  // User data before the ACK means the peer has the channel.
  if (channel->readyState() == DataChannelState::connecting) channel->changeState(DataChannelState::open);
  switch (ppid) {
    case ppid::string:
    case ppid::binary:
      channel->deliver(message, ppid == ppid::binary);
      break;
    case ppid::stringEmpty:
    case ppid::binaryEmpty:
      channel->deliver({}, ppid == ppid::binaryEmpty);
      break;
    default:
      break;  // deprecated partial-message identifiers and unknown ones
  }
}

void DataChannelSet::handleControl(std::uint16_t stream, std::span<const std::uint8_t> message) {
  auto parsed = parseDcepMessage(message);
  if (!parsed) {
    // Only a stream the peer owns and that carries no channel yet can be refused outright.
    if (isPeerStream(stream) && stream < streamLimit && !channels_.contains(stream)) refuseStream(stream);
    return;
  }
  if (auto* open = std::get_if<DcepOpen>(&*parsed)) {
    if (stream >= streamLimit) return;
    if (!isPeerStream(stream) || channels_.contains(stream)) {
      if (!channels_.contains(stream)) refuseStream(stream);
      return;
    }
    acceptOpen(stream, std::move(*open));
    return;
  }
  const auto found = channels_.find(stream);
  if (found != channels_.end() && found->second->readyState() == DataChannelState::connecting) {
    found->second->changeState(DataChannelState::open);
  }
}

void DataChannelSet::acceptOpen(std::uint16_t stream, DcepOpen open) {
  auto channel = std::make_shared<SctpDataChannel>(*this, std::move(open), stream, bufferLimit_);
  channels_[stream] = channel;
  channel->enqueue({ppid::control, serializeDcepMessage(DcepAck{}), true});
  channel->changeState(DataChannelState::open);
  flush();
  observer_.onDataChannel(channel);
}

void DataChannelSet::refuseStream(std::uint16_t stream) { association_.resetStream(stream); }

void DataChannelSet::flush() {
  sequence_.check();
  if (!association_.isConnected() || association_.isClosed()) return;
  // Keep the channels alive while sending: a send may not re-enter, but a closing channel is dropped below.
  std::vector<std::shared_ptr<SctpDataChannel>> channels;
  for (auto& [stream, channel] : channels_) channels.push_back(channel);
  bool full = false;
  for (auto& channel : channels) {
    auto& queue = channel->queue();
    while (!full && !queue.empty()) {
      const auto& message = queue.front();
      const auto result =
          association_.send(*channel->stream(), message.ppid, message.bytes, channel->sendOptions(message.control));
      if (result == SctpSendResult::wouldBlock) {
        full = true;
        break;
      }
      // A message SCTP refuses outright is lost, as on a broken path.
      const auto counted = channel->countedSize(message);
      if (result == SctpSendResult::sent) {
        inSctp_.push_back({channel, message.bytes.size(), counted});
        inSctpBytes_ += message.bytes.size();
      } else {
        channel->released(counted);
      }
      queue.pop_front();
    }
    if (queue.empty() && channel->readyState() == DataChannelState::closing && !channel->resetRequested) {
      channel->resetRequested = true;
      association_.resetStream(*channel->stream());
    }
  }
}

void DataChannelSet::settle() {
  sequence_.check();
  const std::size_t held = association_.heldBytes();
  while (inSctpBytes_ > held && !inSctp_.empty()) {
    auto& front = inSctp_.front();
    const std::size_t taken = std::min(front.bytes, inSctpBytes_ - held);
    front.bytes -= taken;
    inSctpBytes_ -= taken;
    const std::size_t counted = std::min(front.counted, taken);
    front.counted -= counted;
    const auto channel = front.channel.lock();
    if (front.bytes == 0) inSctp_.pop_front();
    if (channel) channel->released(counted);
  }
}

void DataChannelSet::closeChannel(SctpDataChannel& channel) {
  sequence_.check();
  if (!channel.stream()) {
    std::erase_if(waiting_, [&channel](const auto& waiting) { return waiting.get() == &channel; });
    channel.changeState(DataChannelState::closed);
    return;
  }
  channel.changeState(DataChannelState::closing);
  flush();
}

void DataChannelSet::onIncomingStreamsReset(std::span<const std::uint16_t> streams) {
  sequence_.check();
  for (const std::uint16_t stream : streams) {
    const auto found = channels_.find(stream);
    if (found == channels_.end()) continue;
    const std::shared_ptr<SctpDataChannel> channel = found->second;
    channel->incomingReset = true;
    if (!channel->resetRequested) {
      // The peer closed: what we still hold for it will not be read.
      channel->queue().clear();
      channel->resetRequested = true;
      association_.resetStream(stream);
      channel->changeState(DataChannelState::closing);
    }
    finishIfReset(stream);
  }
}

void DataChannelSet::onOutgoingStreamsReset(std::span<const std::uint16_t> streams) {
  sequence_.check();
  for (const std::uint16_t stream : streams) {
    const auto found = channels_.find(stream);
    if (found == channels_.end()) continue;
    found->second->outgoingReset = true;
    finishIfReset(stream);
  }
}

void DataChannelSet::finishIfReset(std::uint16_t stream) {
  const auto found = channels_.find(stream);
  if (found == channels_.end() || !found->second->incomingReset || !found->second->outgoingReset) return;
  const std::shared_ptr<SctpDataChannel> channel = found->second;
  channels_.erase(found);
  channel->changeState(DataChannelState::closed);
}

void DataChannelSet::onClosed() {
  sequence_.check();
  ended_ = true;
  inSctp_.clear();
  inSctpBytes_ = 0;
  auto channels = std::move(channels_);
  channels_.clear();
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& [stream, channel] : channels) channel->changeState(DataChannelState::closed);
  for (auto& channel : waiting) channel->changeState(DataChannelState::closed);
}

}  // namespace veltrano::webrtc
