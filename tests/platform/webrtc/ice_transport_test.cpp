// The ICE transport against an independent ICE agent (aioice) across two network namespaces.
#include "platform/webrtc/ice_transport.hpp"

#include <gtest/gtest.h>

#include <future>

#include "platform/webrtc/network_thread.hpp"
#include "support/eventually.hpp"
#include "support/local_turn_server.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::webrtc {
namespace {

using testing::NetworkNamespaces;
using testing::PeerProcess;
using Bytes = std::vector<std::uint8_t>;

class IceTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    namespaces_.emplace();
    thread_ = NetworkThread::acquire();
  }

  void TearDown() override {
    if (thread_) onNetwork([&] { transport_.reset(); });
  }

  template <class F>
  auto onNetwork(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    thread_->post([&] { task(); });
    return result.get();
  }

  void createTransport(IceTransportOptions options) {
    onNetwork([&] {
      transport_ = std::make_unique<IceTransport>(
          thread_->context(), std::move(options),
          IceTransportCallbacks{
              .onLocalCandidate = {},
              .onGatheringDone = [this] { gathered_.add(true); },
              .onStateChange = states_.recorder(),
              .onDatagram = [this](std::span<const std::uint8_t> data) { datagrams_.add(Bytes(data.begin(), data.end())); },
          });
    });
  }

  // Starts `peer` (or reuses it), swaps credentials and candidates with it and waits until it is connected.
  void connectTo(PeerProcess& peer) {
    const auto remote = peer.take("local");
    ASSERT_TRUE(remote);
    const auto gatheredBefore = gathered_.values().size();
    onNetwork([&] {
      transport_->setRemoteCredentials({(*remote)["ufrag"], (*remote)["pwd"]});
      for (const auto& line : (*remote)["candidates"]) EXPECT_TRUE(transport_->addRemoteCandidate(line));
      transport_->remoteGatheringDone();
      transport_->gather();
    });
    // A stream that gathered already does not gather again.
    if (!onNetwork([&] { return transport_->gatheringDone(); })) {
      ASSERT_TRUE(gathered_.waitForCount(gatheredBefore + 1, std::chrono::seconds(20)));
    }
    const auto [credentials, candidates] =
        onNetwork([&] { return std::pair(transport_->localCredentials(), transport_->localCandidates()); });
    peer.send({{"type", "remote"}, {"ufrag", credentials.ufrag}, {"pwd", credentials.pwd}, {"candidates", candidates}});
    ASSERT_TRUE(peer.take("connected"));
  }

  // Sends `size` bytes until they come back from the echoing peer.
  bool echoes(std::size_t size) {
    Bytes payload(size);
    ++round_;
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + round_);
    return testing::eventually(
        [&] {
          onNetwork([&] { transport_->send(payload); });
          return datagrams_.waitForMatch([&](const Bytes& got) { return got == payload; },
                                         std::chrono::milliseconds(200));
        },
        std::chrono::seconds(20));
  }

  std::optional<IceSelectedPair> selectedPair() {
    return onNetwork([&] { return transport_->selectedPair(); });
  }

  std::optional<NetworkNamespaces> namespaces_;
  std::shared_ptr<NetworkThread> thread_;
  std::unique_ptr<IceTransport> transport_;
  testing::RecordedValues<bool> gathered_;
  testing::RecordedValues<IceState> states_;
  testing::RecordedValues<Bytes> datagrams_;
  int round_ = 0;
};

std::string icePeerCommand(const NetworkNamespaces& namespaces) {
  return namespaces.inPeer() + "/usr/bin/python3 " VELTRANO_TEST_PEERS "/ice_peer.py";
}

TEST_F(IceTransportTest, CarriesDatagramsAcrossRestartsAndAHostAddressMove) {
  createTransport({});
  PeerProcess peer(icePeerCommand(*namespaces_));
  connectTo(peer);
  EXPECT_TRUE(states_.waitForMatch([](IceState s) { return s == IceState::connected; }));
  EXPECT_TRUE(echoes(1));
  EXPECT_TRUE(echoes(1200));
  auto pair = selectedPair();
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->local.type, "host");
  EXPECT_EQ(pair->remote.type, "host");
  EXPECT_EQ(pair->local.address, NetworkNamespaces::kHostAddress);

  const auto ufrag = onNetwork([&] { return transport_->localCredentials().ufrag; });
  onNetwork([&] { transport_->restart(); });
  EXPECT_NE(onNetwork([&] { return transport_->localCredentials().ufrag; }), ufrag);
  peer.send({{"type", "restart"}});
  connectTo(peer);
  EXPECT_TRUE(echoes(1000));

  namespaces_->moveHostAddress("198.18.0.11");
  onNetwork([&] { transport_->restart(); });
  peer.send({{"type", "restart"}});
  connectTo(peer);
  EXPECT_TRUE(echoes(1000));
  pair = selectedPair();
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->local.address, "198.18.0.11");
  EXPECT_EQ(states_.values().back(), IceState::connected);
}

TEST_F(IceTransportTest, NoticesAVanishedPeerWithinTenSeconds) {
  createTransport({});
  PeerProcess peer(icePeerCommand(*namespaces_));
  connectTo(peer);
  ASSERT_TRUE(echoes(100));
  namespaces_->cutPath();
  EXPECT_TRUE(states_.waitForMatch([](IceState s) { return s == IceState::failed; }, std::chrono::seconds(10)));
}

TEST_F(IceTransportTest, RelaysThroughATurnServerWhenOnlyRelayIsAllowed) {
  testing::LocalTurnServer turn(*namespaces_);
  IceTransportOptions options;
  options.relayOnly = true;
  options.servers.turn.push_back({NetworkNamespaces::kPeerAddress, testing::LocalTurnServer::kPort, RelayTransport::udp,
                                  testing::LocalTurnServer::kUser, testing::LocalTurnServer::kPassword});
  createTransport(std::move(options));
  PeerProcess peer(icePeerCommand(*namespaces_));
  connectTo(peer);
  EXPECT_TRUE(echoes(1000));
  const auto pair = selectedPair();
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->local.type, "relay");
}

}  // namespace
}  // namespace veltrano::webrtc
