#include "platform/webrtc/threaded_data_channel.hpp"

#include <utility>
#include <vector>

#include "platform/webrtc/data_channel_set.hpp"

namespace veltrano::webrtc {

ThreadedDataChannel::ThreadedDataChannel(std::shared_ptr<NetworkThread> thread, std::string label,
                                         std::shared_ptr<const std::atomic<std::size_t>> maxMessageSize)
    : thread_(std::move(thread)), label_(std::move(label)), maxMessageSize_(std::move(maxMessageSize)) {}

ThreadedDataChannel::~ThreadedDataChannel() {
  if (inner_ && !thread_->isCurrent()) thread_->post([inner = std::move(inner_)] {});
}

void ThreadedDataChannel::attach(std::shared_ptr<DataChannel> inner) {
  sequence_.check();
  inner_ = std::move(inner);
  if (!inner_) return changeState(DataChannelState::closed);
  inner_->setObserver(weak_from_this());
  onStateChange();
}

void ThreadedDataChannel::refresh() {
  sequence_.check();
  if (inner_) innerBuffered_ = inner_->bufferedAmount();
}

bool ThreadedDataChannel::send(std::span<const std::byte> message, bool binary) {
  if (thread_->isCurrent()) {
    const bool accepted = inner_ && inner_->send(message, binary);
    refresh();
    return accepted;
  }
  if (state_ != DataChannelState::open || message.size() > maxMessageSize_->load()) return false;
  if (bufferedAmount() + message.size() > DataChannelSet::defaultBufferLimit) return false;
  posted_ += message.size();
  thread_->post([self = shared_from_this(), bytes = std::vector<std::byte>(message.begin(), message.end()), binary] {
    self->posted_ -= bytes.size();
    if (self->inner_) self->inner_->send(bytes, binary);
    self->refresh();
  });
  return true;
}

void ThreadedDataChannel::close() {
  thread_->post([self = shared_from_this()] {
    if (self->inner_) self->inner_->close();
  });
}

void ThreadedDataChannel::setObserver(std::weak_ptr<DataChannelObserver> observer) {
  {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
  }
  // On the network thread nothing can have come in between: from here on the observer hears everything at once.
  if (thread_->isCurrent()) {
    observed_ = true;
    if (!stateUnheard_ && held_.empty()) return;
  }
  thread_->post([self = shared_from_this()] {
    self->observed_ = true;
    self->reportHeld();
  });
}

std::shared_ptr<DataChannelObserver> ThreadedDataChannel::observer() const {
  std::lock_guard lock(mutex_);
  return observer_.lock();
}

void ThreadedDataChannel::markClosed() { changeState(DataChannelState::closed); }

void ThreadedDataChannel::onStateChange() {
  sequence_.check();
  refresh();
  changeState(inner_->readyState());
}

void ThreadedDataChannel::changeState(DataChannelState state) {
  // Closed is final, also when the connection closed the channel before SCTP did.
  if (state_ == DataChannelState::closed || state_.exchange(state) == state) return;
  if (!observed_ || !held_.empty()) {
    stateUnheard_ = true;
    return;
  }
  if (auto o = observer()) o->onStateChange();
}

void ThreadedDataChannel::onBufferedAmountChange() {
  refresh();
  if (auto o = observer()) o->onBufferedAmountChange();
}

void ThreadedDataChannel::onMessage(std::span<const std::byte> message, bool binary) {
  sequence_.check();
  if (!observed_ || !held_.empty()) {
    held_.push_back({std::vector<std::byte>(message.begin(), message.end()), binary});
    return;
  }
  if (auto o = observer()) o->onMessage(message, binary);
}

void ThreadedDataChannel::reportHeld() {
  sequence_.check();
  // The observer reads the state when told: one report stands for every change it missed.
  if (std::exchange(stateUnheard_, false)) {
    if (auto o = observer()) o->onStateChange();
  }
  // An observer may set another observer from inside a report: what is left goes to that one, in order.
  while (!held_.empty()) {
    auto held = std::move(held_.front());
    held_.pop_front();
    if (auto o = observer()) o->onMessage(held.bytes, held.binary);
  }
}

}  // namespace veltrano::webrtc
