#pragma once
// Two of our own DTLS + SCTP + data-channel stacks joined by an in-memory datagram link that can drop datagrams,
// driven on the test thread with the timers run between deliveries.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/webrtc/data_channel_transport.hpp"
#include "platform/webrtc/session_description.hpp"

namespace veltrano::webrtc::testing {

using Bytes = std::vector<std::uint8_t>;

class ChannelLog : public DataChannelObserver {
 public:
  explicit ChannelLog(std::shared_ptr<DataChannel> channel) : channel(std::move(channel)) {}
  void onStateChange() override { states.push_back(channel->readyState()); }
  void onMessage(std::span<const std::byte> message, bool binary) override {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    messages.push_back({Bytes(bytes, bytes + message.size()), binary});
  }
  bool send(const Bytes& message, bool binary = true) {
    return channel->send(std::as_bytes(std::span(message)), binary);
  }

  std::shared_ptr<DataChannel> channel;
  std::vector<DataChannelState> states;
  std::vector<std::pair<Bytes, bool>> messages;
};

// Holds a channel with its observer, kept alive by the test.
inline std::shared_ptr<ChannelLog> observe(std::shared_ptr<DataChannel> channel) {
  auto log = std::make_shared<ChannelLog>(std::move(channel));
  log->channel->setObserver(log);
  return log;
}

class Peer : public DataChannelTransport::Observer {
 public:
  class Link : public DatagramLink {
   public:
    void send(std::span<const std::uint8_t> datagram) override {
      ++sent;
      if (lossRate > 0 && std::bernoulli_distribution(lossRate)(random)) return;
      outbox.emplace_back(datagram.begin(), datagram.end());
    }
    std::deque<Bytes> outbox;
    std::uint64_t sent = 0;
    double lossRate = 0;  // share of datagrams dropped
    std::mt19937 random{7};
  };

  void onTransportStateChange(TransportState state, const std::string& why) override {
    states.push_back(state);
    reason = why;
  }
  void onDataChannel(std::shared_ptr<DataChannel> channel) override { remoteChannels.push_back(observe(channel)); }
  TransportState state() const { return states.empty() ? TransportState::newState : states.back(); }
  bool ended() const { return state() == TransportState::closed || state() == TransportState::failed; }

  std::shared_ptr<const DtlsIdentity> identity = DtlsIdentity::generate();
  Link link;
  std::unique_ptr<DataChannelTransport> transport;
  std::vector<TransportState> states;
  std::string reason;
  std::vector<std::shared_ptr<ChannelLog>> remoteChannels;
};

class TransportPair : public ::testing::Test {
 protected:
  // Each side learns the other's fingerprint and maximum message size from the description the other writes.
  void create(DtlsRole aRole, DataChannelTransport::Options options = {}) {
    const DtlsRole bRole = aRole == DtlsRole::client ? DtlsRole::server : DtlsRole::client;
    a.transport = std::make_unique<DataChannelTransport>(a.identity, aRole, a.link, a, options);
    b.transport = std::make_unique<DataChannelTransport>(b.identity, bRole, b.link, b, options);
    learn(a, describe(b, bRole));
    learn(b, describe(a, aRole));
  }

  static std::string describe(const Peer& peer, DtlsRole role) {
    DataSessionDescription description;
    description.iceUfrag = "ufrg";
    description.icePwd = "passwordpasswordpassword";
    description.fingerprint = peer.identity->fingerprint();
    description.setup = role == DtlsRole::client ? DtlsSetup::active : DtlsSetup::passive;
    description.mid = "0";
    description.maxMessageSize = SctpAssociation::maxMessageSize;
    return writeSessionDescription(description);
  }

  static void learn(Peer& peer, const std::string& remoteDescription) {
    const auto parsed = parseSessionDescription(remoteDescription);
    ASSERT_TRUE(parsed.description) << parsed.error;
    ASSERT_TRUE(peer.transport->setRemoteFingerprint(parsed.description->fingerprint));
    peer.transport->setRemoteMaxMessageSize(*parsed.description->maxMessageSize);
  }

  bool connect() {
    a.transport->start();
    b.transport->start();
    return runUntil([this] {
      return a.state() == TransportState::connected && b.state() == TransportState::connected;
    });
  }

  // Delivers datagrams and runs the timers until `done` holds (true) or a generous deadline passes (false). The
  // clock is the real one: SCTP measures retransmission times against it.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      while (!a.link.outbox.empty() || !b.link.outbox.empty()) {
        deliver(a, b);
        deliver(b, a);
      }
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto now = std::chrono::steady_clock::now();
      if (a.transport) a.transport->tick(now);
      if (b.transport) b.transport->tick(now);
    }
    return false;
  }

  // A channel created on `from`, open on both sides; the second is the one `to` was handed.
  std::pair<std::shared_ptr<ChannelLog>, std::shared_ptr<ChannelLog>> openChannel(Peer& from, Peer& to,
                                                                                  const std::string& label,
                                                                                  DataChannelInit init = {}) {
    auto local = observe(from.transport->createChannel(label, init));
    const std::size_t before = to.remoteChannels.size();
    const bool opened = runUntil([&] {
      return local->channel->readyState() == DataChannelState::open && to.remoteChannels.size() > before;
    });
    if (!opened) return {local, nullptr};
    return {local, to.remoteChannels.back()};
  }

  Peer a;
  Peer b;

 private:
  static void deliver(Peer& from, Peer& to) {
    if (from.link.outbox.empty()) return;
    Bytes datagram = std::move(from.link.outbox.front());
    from.link.outbox.pop_front();
    if (to.transport) to.transport->receiveDatagram(datagram);
  }
};

}  // namespace veltrano::webrtc::testing
