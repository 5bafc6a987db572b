#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

#include "base/encoding.hpp"
#include "platform/crypto/signing_key.hpp"
#include "transport_test_support.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_host_handshake.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {
namespace {

using Code = LocalTransportSecurityError::Code;
using platform::SigningKey;
using testing::failureOf;

Bytes flipped(Bytes bytes, std::size_t index, std::uint8_t mask = 0x01) {
  bytes[index] ^= mask;
  return bytes;
}

// The steps' input sizes and establishment over sockets: the handshake driver's tests.
TEST(LocalTransportHandshake, HostAndClientEstablishMatchingSessionsOnEveryChannel) {
  const SigningKey key = SigningKey::generate();
  for (auto channel : {LocalTransportChannel::control, LocalTransportChannel::video, LocalTransportChannel::audio,
                       LocalTransportChannel::file}) {
    auto [host, client] = testing::establishSessions(channel, key);
    EXPECT_EQ(host->channel(), channel);
    // The host may speak first; both directions work.
    auto toClient = client->open(host->seal(asBytes("hello")));
    ASSERT_EQ(toClient.size(), 1u);
    EXPECT_EQ(asString(toClient[0]), "hello");
    auto toHost = host->open(client->seal(asBytes("ping")));
    ASSERT_EQ(toHost.size(), 1u);
    EXPECT_EQ(asString(toHost[0]), "ping");
  }
}

TEST(LocalTransportHandshake, HostRefusesAnotherAccountBeforeSigning) {
  LocalTransportHostHandshake host(LocalTransportChannel::control, SigningKey::generate());
  LocalTransportClientHandshake stranger(LocalTransportChannel::control, SigningKey::generate());
  Bytes challenge;
  EXPECT_EQ(failureOf([&] { challenge = host.receiveClientHello(stranger.clientHello()); }),
            Code::authenticationFailed);
  EXPECT_TRUE(challenge.empty()) << "no HostChallenge, so no signature, leaves the host";
  EXPECT_EQ(host.expectedInputSize(), 0u);
  EXPECT_FALSE(host.isEstablished());
  EXPECT_THROW(host.receiveClientProof(Bytes(handshake::clientProofSize)), std::logic_error);
}

TEST(LocalTransportHandshake, HostRefusesMalformedHellosAsInvalidHandshake) {
  const SigningKey key = SigningKey::generate();
  const Bytes hello = LocalTransportClientHandshake(LocalTransportChannel::control, key).clientHello();
  const Bytes foreignHello = LocalTransportClientHandshake(LocalTransportChannel::control, SigningKey::generate()).clientHello();
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"magic", flipped(hello, 0)},
      {"last magic byte", flipped(hello, 3)},
      {"type", flipped(hello, 4, 0x02)},  // 1 -> 3: a ClientProof's type
      {"channel", flipped(hello, 5)},
      {"short", Bytes(hello.begin(), hello.end() - 1)},
      {"long", [&] { Bytes b = hello; b.push_back(0); return b; }()},
      // Header checks come first: a foreign account with a bad magic is an invalid handshake.
      {"foreign account and bad magic", flipped(foreignHello, 1)},
  };
  for (const auto& [name, message] : cases) {
    LocalTransportHostHandshake host(LocalTransportChannel::control, key);
    EXPECT_EQ(failureOf([&] { host.receiveClientHello(message); }), Code::invalidHandshake) << name;
  }
  // Reserved bytes are not checked.
  Bytes reserved = hello;
  reserved[6] = 0xAB;
  reserved[7] = 0xCD;
  LocalTransportHostHandshake host(LocalTransportChannel::control, key);
  EXPECT_EQ(host.receiveClientHello(reserved).size(), handshake::hostChallengeSize);
}

TEST(LocalTransportHandshake, HostRefusesBadProofs) {
  const SigningKey key = SigningKey::generate();
  auto run = [&](const std::function<Bytes(Bytes)>& alter) {
    LocalTransportHostHandshake host(LocalTransportChannel::audio, key);
    LocalTransportClientHandshake client(LocalTransportChannel::audio, key);
    const Bytes proof = client.receiveHostChallenge(host.receiveClientHello(client.clientHello()));
    return failureOf([&] { host.receiveClientProof(alter(proof)); });
  };
  EXPECT_EQ(run([](Bytes p) { return flipped(p, 0); }), Code::invalidHandshake);
  EXPECT_EQ(run([](Bytes p) { return flipped(p, 4, 0x03); }), Code::invalidHandshake);  // type 3 -> 0
  EXPECT_EQ(run([](Bytes p) { return flipped(p, 5); }), Code::invalidHandshake);
  EXPECT_EQ(run([](Bytes p) { return Bytes(p.begin(), p.begin() + 71); }), Code::invalidHandshake);
  EXPECT_EQ(run([](Bytes p) { return flipped(p, 8); }), Code::authenticationFailed);
  EXPECT_EQ(run([](Bytes p) { return flipped(p, 71, 0x80); }), Code::authenticationFailed);
}

TEST(LocalTransportHandshake, ReplayedProofFromAnotherSessionIsRefused) {
  const SigningKey key = SigningKey::generate();
  // A complete first session, observed by an attacker.
  LocalTransportHostHandshake firstHost(LocalTransportChannel::control, key);
  LocalTransportClientHandshake firstClient(LocalTransportChannel::control, key);
  const Bytes hello = firstClient.clientHello();
  const Bytes proof = firstClient.receiveHostChallenge(firstHost.receiveClientHello(hello));
  firstHost.receiveClientProof(proof);

  // The attacker replays both client messages; the new host's nonce differs.
  LocalTransportHostHandshake secondHost(LocalTransportChannel::control, key);
  EXPECT_EQ(secondHost.receiveClientHello(hello).size(), handshake::hostChallengeSize);
  EXPECT_EQ(failureOf([&] { secondHost.receiveClientProof(proof); }), Code::authenticationFailed);
}

TEST(LocalTransportHandshake, ClientRefusesAForgedOrReflectedChallenge) {
  const SigningKey key = SigningKey::generate();
  const SigningKey stranger = SigningKey::generate();
  using MakeChallenge = std::function<Bytes(LocalTransportClientHandshake&)>;
  // A challenge for the client's hello, signed by `signer` in the words of `role`.
  auto signedBy = [](const SigningKey& signer, handshake::Role role) -> MakeChallenge {
    return [&signer, role](LocalTransportClientHandshake& client) {
      const auto hello = handshake::decodeClientHello(client.clientHello(), LocalTransportChannel::control);
      handshake::HostChallenge challenge{LocalTransportChannel::control, {}, {}};
      challenge.hostNonce.fill(7);
      challenge.signature = signer.sign(asBytes(handshake::proofText(
          role, LocalTransportChannel::control, hexEncode(hello.accountDigest), hello.clientNonce, challenge.hostNonce)));
      return handshake::encode(challenge);
    };
  };
  auto genuineFlipped = [&](std::size_t index, std::uint8_t mask) -> MakeChallenge {
    return [&, index, mask](LocalTransportClientHandshake& client) {
      LocalTransportHostHandshake host(LocalTransportChannel::control, key);
      return flipped(host.receiveClientHello(client.clientHello()), index, mask);
    };
  };
  const std::vector<std::tuple<const char*, MakeChallenge, Code>> cases = {
      {"another key answers for our account", signedBy(stranger, handshake::Role::host), Code::authenticationFailed},
      {"reflected client signature", signedBy(key, handshake::Role::client), Code::authenticationFailed},
      {"one signature bit", genuineFlipped(60, 0x01), Code::authenticationFailed},
      {"another channel", genuineFlipped(5, 0x02), Code::invalidHandshake},
  };
  for (const auto& [name, makeChallenge, expected] : cases) {
    LocalTransportClientHandshake client(LocalTransportChannel::control, key);
    const Bytes challenge = makeChallenge(client);
    EXPECT_EQ(failureOf([&] { client.receiveHostChallenge(challenge); }), expected) << name;
  }
}

TEST(LocalTransportHandshake, ClientChecksTheAccept) {
  const SigningKey key = SigningKey::generate();
  auto clientSees = [&](const std::function<Bytes(Bytes)>& alter) {
    LocalTransportHostHandshake host(LocalTransportChannel::file, key);
    LocalTransportClientHandshake client(LocalTransportChannel::file, key);
    const Bytes accept = host.receiveClientProof(client.receiveHostChallenge(host.receiveClientHello(client.clientHello())));
    return failureOf([&] { client.receiveAccept(alter(accept)); });
  };
  EXPECT_EQ(clientSees([](Bytes a) { return flipped(a, 0); }), Code::invalidHandshake);
  EXPECT_EQ(clientSees([](Bytes a) { return flipped(a, 4); }), Code::invalidHandshake);
  EXPECT_EQ(clientSees([](Bytes a) { return Bytes(a.begin(), a.begin() + 23); }), Code::invalidHandshake);
  EXPECT_EQ(clientSees([](Bytes a) { return flipped(a, 6); }), Code::authenticationFailed);  // reserved bytes are covered
  EXPECT_EQ(clientSees([](Bytes a) { return flipped(a, 23); }), Code::authenticationFailed);
}

TEST(LocalTransportHandshake, StepsOutOfOrderAreProgrammingErrors) {
  const SigningKey key = SigningKey::generate();
  LocalTransportClientHandshake client(LocalTransportChannel::control, key);
  EXPECT_THROW(client.receiveHostChallenge(Bytes(handshake::hostChallengeSize)), std::logic_error);
  EXPECT_THROW(client.takeSession(), std::logic_error);
  LocalTransportHostHandshake host(LocalTransportChannel::control, key);
  EXPECT_THROW(host.receiveClientProof(Bytes(handshake::clientProofSize)), std::logic_error);
}

TEST(LocalTransportHandshake, SessionsOfSeparateHandshakesUseSeparateKeys) {
  const SigningKey key = SigningKey::generate();
  auto first = testing::establishSessions(LocalTransportChannel::control, key);
  auto second = testing::establishSessions(LocalTransportChannel::control, key);
  // Same sequence number, same account, other connection: refused.
  EXPECT_EQ(failureOf([&] { second.host->open(first.client->seal(asBytes("x"))); }), Code::authenticationFailed);
}

}  // namespace
}  // namespace veltrano
