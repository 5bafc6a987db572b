#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>
#include <utility>

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

enum class Step { hello, proof, accept };

// Runs a handshake in which the message of `step` is altered on its way; the code the receiving side fails with.
Code failureWithAltered(Step step, const std::function<Bytes(Bytes)>& alter, const SigningKey& hostKey,
                        const SigningKey& clientKey) {
  LocalTransportHostHandshake host(LocalTransportChannel::audio, hostKey);
  LocalTransportClientHandshake client(LocalTransportChannel::audio, clientKey);
  if (step == Step::hello) return failureOf([&] { host.receiveClientHello(alter(client.clientHello())); });
  const Bytes proof = client.receiveHostChallenge(host.receiveClientHello(client.clientHello()));
  if (step == Step::proof) return failureOf([&] { host.receiveClientProof(alter(proof)); });
  const Bytes accept = host.receiveClientProof(proof);
  return failureOf([&] { client.receiveAccept(alter(accept)); });
}

TEST(LocalTransportHandshake, MalformedOrAlteredMessagesAreRefusedWithTheirReason) {
  const SigningKey key = SigningKey::generate();
  const auto flip = [](std::size_t index, std::uint8_t mask = 0x01) {
    return [=](Bytes b) { return flipped(std::move(b), index, mask); };
  };
  const auto cut = [](std::size_t size) { return [=](Bytes b) { return Bytes(b.begin(), b.begin() + size); }; };
  const auto longer = [](Bytes b) { b.push_back(0); return b; };
  const struct {
    const char* name;
    Step step;
    std::function<Bytes(Bytes)> alter;
    Code expected;
  } cases[] = {
      {"hello magic", Step::hello, flip(0), Code::invalidHandshake},
      {"hello last magic byte", Step::hello, flip(3), Code::invalidHandshake},
      {"hello type 1 -> 3", Step::hello, flip(4, 0x02), Code::invalidHandshake},
      {"hello channel", Step::hello, flip(5), Code::invalidHandshake},
      {"hello short", Step::hello, cut(handshake::clientHelloSize - 1), Code::invalidHandshake},
      {"hello long", Step::hello, longer, Code::invalidHandshake},
      {"proof magic", Step::proof, flip(0), Code::invalidHandshake},
      {"proof type 3 -> 0", Step::proof, flip(4, 0x03), Code::invalidHandshake},
      {"proof channel", Step::proof, flip(5), Code::invalidHandshake},
      {"proof short", Step::proof, cut(handshake::clientProofSize - 1), Code::invalidHandshake},
      {"proof signature first", Step::proof, flip(8), Code::authenticationFailed},
      {"proof signature last", Step::proof, flip(71, 0x80), Code::authenticationFailed},
      {"accept magic", Step::accept, flip(0), Code::invalidHandshake},
      {"accept type", Step::accept, flip(4), Code::invalidHandshake},
      {"accept short", Step::accept, cut(handshake::acceptSize - 1), Code::invalidHandshake},
      {"accept reserved bytes are covered", Step::accept, flip(6), Code::authenticationFailed},
      {"accept tag", Step::accept, flip(23), Code::authenticationFailed},
  };
  for (const auto& c : cases) EXPECT_EQ(failureWithAltered(c.step, c.alter, key, key), c.expected) << c.name;
  // Header checks come first: a foreign account with a bad magic is an invalid handshake.
  EXPECT_EQ(failureWithAltered(Step::hello, flip(1), key, SigningKey::generate()), Code::invalidHandshake);
  // Reserved bytes of the hello are not checked.
  LocalTransportHostHandshake host(LocalTransportChannel::control, key);
  Bytes reserved = LocalTransportClientHandshake(LocalTransportChannel::control, key).clientHello();
  reserved[6] = 0xAB;
  reserved[7] = 0xCD;
  EXPECT_EQ(host.receiveClientHello(reserved).size(), handshake::hostChallengeSize);
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
