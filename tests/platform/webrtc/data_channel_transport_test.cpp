#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "platform/webrtc/network_thread.hpp"
#include "platform/webrtc/sctp_data_channel.hpp"
#include "platform/webrtc/transport_pair.hpp"

namespace veltrano::webrtc::testing {
namespace {

Bytes randomMessage(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

class RolesTest : public TransportPair, public ::testing::WithParamInterface<DtlsRole> {};

TEST_P(RolesTest, ConnectsAndOpensChannelsFromEitherSide) {
  create(GetParam());
  ASSERT_TRUE(connect()) << a.reason << " / " << b.reason;
  auto [fromA, atB] = openChannel(a, b, "from-a");
  ASSERT_TRUE(atB);
  auto [fromB, atA] = openChannel(b, a, "from-b");
  ASSERT_TRUE(atA);
  EXPECT_EQ(atB->channel->label(), "from-a");
  EXPECT_EQ(atA->channel->label(), "from-b");
  // The DTLS client opens on even streams, the server on odd ones.
  const auto streamOf = [](const auto& log) {
    return *std::dynamic_pointer_cast<SctpDataChannel>(log->channel)->stream();
  };
  const int aParity = GetParam() == DtlsRole::client ? 0 : 1;
  EXPECT_EQ(streamOf(fromA) % 2, aParity);
  EXPECT_EQ(streamOf(fromB) % 2, 1 - aParity);
  EXPECT_EQ(streamOf(atB), streamOf(fromA));
  EXPECT_EQ(streamOf(atA), streamOf(fromB));

  // Both ends of both channels carry messages both ways, each on its own channel.
  const Bytes ping{'p'}, pong{'q', 'r'};
  ASSERT_TRUE(fromA->send(ping, false));
  ASSERT_TRUE(atA->send(pong));
  ASSERT_TRUE(runUntil([&] { return !atB->messages.empty() && !fromB->messages.empty(); }));
  EXPECT_EQ(atB->messages.front(), std::make_pair(ping, false));
  EXPECT_EQ(fromB->messages.front(), std::make_pair(pong, true));
  EXPECT_TRUE(fromA->messages.empty());
  EXPECT_TRUE(atA->messages.empty());
}

INSTANTIATE_TEST_SUITE_P(EitherPeerIsDtlsClient, RolesTest, ::testing::Values(DtlsRole::client, DtlsRole::server));

TEST_F(TransportPair, ItsPartsRefuseCallsFromAnyThreadButTheOneThatDrivesThem) {
#ifdef VELTRANO_THREAD_CHECKS
  // Driven on a network thread; the death tests call from this one (a forked child may start no thread).
  const auto token = NetworkThread::start();
  const auto thread = NetworkThread::running();
  const auto onThread = [&](const std::function<void()>& work) {
    std::promise<void> done;
    thread->post([&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  };
  std::shared_ptr<ChannelLog> local;
  onThread([&] {
    create(DtlsRole::client);
    EXPECT_TRUE(connect());
    local = openChannel(a, b, "checked").first;
  });
  ASSERT_EQ(local->channel->readyState(), DataChannelState::open);
  EXPECT_DEATH(a.transport->tick(std::chrono::steady_clock::now()), "called off its network thread");
  EXPECT_DEATH(a.transport->createChannel("late", {}), "called off its network thread");
  EXPECT_DEATH(local->send(Bytes{1}), "called off its network thread");
  EXPECT_DEATH(b.transport->close(), "called off its network thread");
  // The thread that drives them still may, and takes them down.
  onThread([&] {
    EXPECT_TRUE(local->send(Bytes{1}));
    a.transport.reset();
    b.transport.reset();
  });
#else
  GTEST_SKIP() << "built without VELTRANO_THREAD_CHECKS";
#endif
}

TEST_F(TransportPair, TheBufferedAmountCountsWhatSctpStillHoldsUntilThePeerHasIt) {
  create(DtlsRole::client);
  ASSERT_TRUE(connect());
  auto [local, remote] = openChannel(a, b, "bulk");
  ASSERT_TRUE(remote);
  // More than SCTP's send buffer (1 MiB): part waits in the channel, the rest sits with SCTP, unacknowledged
  // while nothing is delivered.
  const std::size_t size = SctpAssociation::maxMessageSize;
  for (std::uint32_t i = 0; i < 6; ++i) ASSERT_TRUE(local->send(randomMessage(size, i)));
  EXPECT_EQ(local->channel->bufferedAmount(), 6 * size);
  ASSERT_TRUE(runUntil([&] { return remote->messages.size() == 6; }));
  for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(remote->messages[i].first, randomMessage(size, i)) << i;
  EXPECT_TRUE(runUntil([&] { return local->channel->bufferedAmount() == 0; }));
}

TEST_F(TransportPair, LostHandshakeFlightsAreSentAgain) {
  create(DtlsRole::client);
  a.link.dropFirst = 1;  // the client's hello
  b.link.dropFirst = 1;  // the server's first flight
  ASSERT_TRUE(connect()) << a.reason << " / " << b.reason;
  EXPECT_GT(a.link.sent, 2u);
}

TEST_F(TransportPair, WrongFingerprintFailsTheHandshake) {
  create(DtlsRole::client);
  ASSERT_TRUE(b.transport->setRemoteFingerprint(DtlsIdentity::generate()->fingerprint()));
  a.transport->start();
  b.transport->start();
  ASSERT_TRUE(runUntil([&] { return a.ended() && b.ended(); }));
  EXPECT_EQ(b.state(), TransportState::failed);
  EXPECT_NE(b.reason.find("fingerprint"), std::string::npos) << b.reason;
  EXPECT_EQ(std::count(a.states.begin(), a.states.end(), TransportState::connected), 0);
  EXPECT_FALSE(b.transport->setRemoteFingerprint("sha-1 00:11"));
}

TEST_F(TransportPair, MessagesOfEverySizeArriveByteExactBothWays) {
  create(DtlsRole::server);
  ASSERT_TRUE(connect());
  auto [local, remote] = openChannel(a, b, "sizes");
  ASSERT_TRUE(remote);
  const std::vector<std::size_t> sizes{0, 1, 16 * 1024, 65537, 262144};
  std::vector<std::pair<Bytes, bool>> sent;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    sent.emplace_back(randomMessage(sizes[i], static_cast<std::uint32_t>(i)), i % 2 == 0);
    ASSERT_TRUE(local->send(sent.back().first, sent.back().second)) << sizes[i];
    ASSERT_TRUE(remote->send(sent.back().first, sent.back().second)) << sizes[i];
  }
  ASSERT_TRUE(runUntil([&] {
    return remote->messages.size() == sent.size() && local->messages.size() == sent.size();
  }));
  EXPECT_EQ(remote->messages, sent);
  EXPECT_EQ(local->messages, sent);
}

TEST_F(TransportPair, PeerMaximumMessageSizeBoundsWhatIsSent) {
  create(DtlsRole::client);
  ASSERT_TRUE(connect());
  auto [local, remote] = openChannel(a, b, "bounded");
  ASSERT_TRUE(remote);
  EXPECT_FALSE(local->send(Bytes(262145)));
  a.transport->setRemoteMaxMessageSize(65536);
  EXPECT_FALSE(local->send(Bytes(65537)));
  EXPECT_TRUE(local->send(Bytes(65536)));
  a.transport->setRemoteMaxMessageSize(0);  // the peer sets no limit: ours holds
  EXPECT_TRUE(local->send(Bytes(262144)));
  EXPECT_FALSE(local->send(Bytes(262145)));
}

TEST_F(TransportPair, UnreliableChannelLosesWhatTheLinkDropsWhileReliableOneRepairsIt) {
  create(DtlsRole::client);
  ASSERT_TRUE(connect());
  auto [unreliable, unreliableAtB] = openChannel(a, b, "video", {.ordered = false, .maxRetransmits = 0});
  auto [reliable, reliableAtB] = openChannel(a, b, "control");
  ASSERT_TRUE(unreliableAtB && reliableAtB);
  const auto& configuration = std::dynamic_pointer_cast<SctpDataChannel>(unreliableAtB->channel)->configuration();
  EXPECT_FALSE(configuration.ordered);
  EXPECT_EQ(configuration.reliability, DcepReliability::maxRetransmits);
  EXPECT_EQ(configuration.reliabilityParameter, 0u);

  a.link.lossRate = 0.25;
  std::set<Bytes> sentUnreliable;
  std::vector<std::pair<Bytes, bool>> sentReliable;
  for (std::uint32_t i = 0; i < 60; ++i) {
    sentUnreliable.insert(randomMessage(1000, 100 + i));
    ASSERT_TRUE(unreliable->send(randomMessage(1000, 100 + i)));
    sentReliable.emplace_back(randomMessage(900, 1000 + i), true);
    ASSERT_TRUE(reliable->send(sentReliable.back().first));
  }
  ASSERT_TRUE(runUntil([&] {
    return reliableAtB->messages.size() == sentReliable.size() && reliable->channel->bufferedAmount() == 0 &&
           unreliable->channel->bufferedAmount() == 0;
  })) << reliableAtB->messages.size() << " " << reliable->channel->bufferedAmount() << " "
      << unreliable->channel->bufferedAmount() << " " << unreliableAtB->messages.size() << " " << a.reason << " "
      << b.reason << " " << a.link.sent;
  EXPECT_EQ(reliableAtB->messages, sentReliable);
  std::set<Bytes> received;
  for (const auto& [message, binary] : unreliableAtB->messages) {
    EXPECT_TRUE(sentUnreliable.contains(message));
    EXPECT_TRUE(received.insert(message).second) << "duplicate";
  }
  EXPECT_GT(received.size(), 0u);
  EXPECT_LT(received.size(), sentUnreliable.size());
}

TEST_F(TransportPair, FullSendBufferRefusesMessagesUntilItDrains) {
  constexpr std::uint64_t limit = 256 * 1024;
  create(DtlsRole::client, {.channelBufferLimit = limit});
  auto early = observe(a.transport->createChannel("early", {}));
  EXPECT_FALSE(early->send(Bytes{1}));
  ASSERT_TRUE(connect());
  ASSERT_TRUE(runUntil([&] { return early->channel->readyState() == DataChannelState::open; }));
  ASSERT_EQ(b.remoteChannels.size(), 1u);
  const auto remote = b.remoteChannels.front();

  // Nothing is delivered meanwhile, so SCTP's own buffer fills first, then the channel's.
  std::vector<std::pair<Bytes, bool>> accepted;
  const std::size_t size = 64 * 1024;
  for (std::uint32_t i = 0; i < 200; ++i) {
    Bytes message = randomMessage(size, i);
    const std::uint64_t buffered = early->channel->bufferedAmount();
    if (!early->send(message)) {
      EXPECT_GT(buffered + size, limit);
      break;
    }
    accepted.emplace_back(std::move(message), true);
  }
  ASSERT_LT(accepted.size(), 200u) << "never refused";
  EXPECT_GT(early->channel->bufferedAmount(), 0u);
  EXPECT_LE(early->channel->bufferedAmount(), limit);

  ASSERT_TRUE(runUntil([&] { return remote->messages.size() == accepted.size(); }));
  EXPECT_EQ(early->channel->bufferedAmount(), 0u);
  EXPECT_EQ(remote->messages, accepted);
  EXPECT_TRUE(early->send(Bytes(size)));
}

class ChannelCloseTest : public TransportPair, public ::testing::WithParamInterface<bool> {};

TEST_P(ChannelCloseTest, ClosingResetsTheStreamOnBothSides) {
  create(DtlsRole::server);
  ASSERT_TRUE(connect());
  auto [opener, acceptor] = openChannel(a, b, "closing");
  ASSERT_TRUE(acceptor);
  auto& closer = GetParam() ? opener : acceptor;
  auto& other = GetParam() ? acceptor : opener;
  closer->channel->close();
  EXPECT_EQ(closer->channel->readyState(), DataChannelState::closing);
  EXPECT_FALSE(closer->send(Bytes{1}));
  ASSERT_TRUE(runUntil([&] {
    return opener->channel->readyState() == DataChannelState::closed &&
           acceptor->channel->readyState() == DataChannelState::closed;
  }));
  ASSERT_GE(other->states.size(), 2u);
  EXPECT_EQ(other->states.back(), DataChannelState::closed);
  EXPECT_EQ(other->states.end()[-2], DataChannelState::closing);
  EXPECT_EQ(a.state(), TransportState::connected);

  // The stream is free again and the association still works.
  auto [again, againAtB] = openChannel(a, b, "again");
  ASSERT_TRUE(againAtB);
  ASSERT_TRUE(again->send(Bytes{7}));
  ASSERT_TRUE(runUntil([&] { return !againAtB->messages.empty(); }));
}

INSTANTIATE_TEST_SUITE_P(EitherEndCloses, ChannelCloseTest, ::testing::Bool());

TEST_F(TransportPair, CloseShutsTheAssociationDownForBothPeers) {
  create(DtlsRole::client);
  ASSERT_TRUE(connect());
  auto [local, remote] = openChannel(a, b, "ctl");
  ASSERT_TRUE(remote);
  a.transport->close();
  ASSERT_TRUE(runUntil([&] { return a.ended() && b.ended(); }));
  EXPECT_EQ(a.state(), TransportState::closed);
  EXPECT_EQ(b.state(), TransportState::closed);
  EXPECT_NE(b.reason.find("shut"), std::string::npos) << b.reason;
  EXPECT_EQ(local->channel->readyState(), DataChannelState::closed);
  EXPECT_EQ(remote->channel->readyState(), DataChannelState::closed);
  EXPECT_EQ(a.transport->createChannel("late", {}), nullptr);
}

TEST_F(TransportPair, DestroyedPeerAbortsTheAssociation) {
  create(DtlsRole::server);
  ASSERT_TRUE(connect());
  auto [local, remote] = openChannel(a, b, "ctl");
  ASSERT_TRUE(remote);
  a.transport.reset();
  ASSERT_TRUE(runUntil([&] { return b.ended(); }));
  EXPECT_EQ(b.state(), TransportState::closed);
  EXPECT_NE(b.reason.find("abort"), std::string::npos) << b.reason;
  EXPECT_EQ(remote->channel->readyState(), DataChannelState::closed);
  EXPECT_EQ(local->channel->readyState(), DataChannelState::closed);
  EXPECT_FALSE(local->send(Bytes{1}));
}

}  // namespace
}  // namespace veltrano::webrtc::testing
