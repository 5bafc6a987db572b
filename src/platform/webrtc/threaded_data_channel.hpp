#pragma once
// The data channel handed to callers, who may be on any thread: it hops to the network thread for the channel
// that does the work there, and keeps copies of its state and buffered amount for readers elsewhere.
//
// A caller on another thread sets its observer after the channel was handed over, by which time the network
// thread may have opened it and received messages on it. Until an observer is set, what it would have heard waits
// and is reported, in order, on the network thread once it is. A channel nobody holds is gone with what it held.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/network_thread.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace veltrano::webrtc {

class ThreadedDataChannel final : public DataChannel,
                                  public DataChannelObserver,
                                  public std::enable_shared_from_this<ThreadedDataChannel> {
 public:
  // `maxMessageSize` is what the remote peer accepts; it belongs to the connection and outlives no one.
  ThreadedDataChannel(std::shared_ptr<NetworkThread> thread, std::string label,
                      std::shared_ptr<const std::atomic<std::size_t>> maxMessageSize);
  ~ThreadedDataChannel() override;

  // On the network thread: the channel doing the work; nothing when it could not be made.
  void attach(std::shared_ptr<DataChannel> inner);
  // On the network thread: copies the inner channel's buffered amount (on every change it reports).
  void refresh();
  // On the network thread: the connection closed, so the channel is closed now, whatever SCTP still does.
  void markClosed();

  std::string label() const override { return label_; }
  DataChannelState readyState() const override { return state_; }
  std::uint64_t bufferedAmount() const override { return posted_ + innerBuffered_; }
  bool send(std::span<const std::byte> message, bool binary) override;
  void close() override;
  void setObserver(std::weak_ptr<DataChannelObserver> observer) override;

 private:
  void onStateChange() override;
  void onMessage(std::span<const std::byte> message, bool binary) override;
  void onBufferedAmountChange() override;
  std::shared_ptr<DataChannelObserver> observer() const;
  void changeState(DataChannelState state);
  void reportHeld();

  std::shared_ptr<NetworkThread> thread_;
  const std::string label_;
  std::shared_ptr<const std::atomic<std::size_t>> maxMessageSize_;
  std::shared_ptr<DataChannel> inner_;  // network thread only
  std::atomic<DataChannelState> state_ = DataChannelState::connecting;
  std::atomic<std::uint64_t> posted_ = 0;
  std::atomic<std::uint64_t> innerBuffered_ = 0;
  mutable std::mutex mutex_;
  std::weak_ptr<DataChannelObserver> observer_;
  // Network thread: what came before the first observer was set waits here; messages also wait behind waiting
  // ones, so that they arrive in order.
  struct HeldMessage {
    std::vector<std::byte> bytes;
    bool binary = false;
  };
  bool observed_ = false;
  bool stateUnheard_ = false;
  std::deque<HeldMessage> held_;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
