// Known answers of the wire protocol, computed with an independent implementation.
#include <gtest/gtest.h>

#include "base/encoding.hpp"
#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/signing_key.hpp"
#include "transport_test_support.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_host_handshake.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {
namespace {

Bytes hex(std::string_view text) { return hexDecode(text).value(); }

const Bytes kSeed = hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
constexpr std::string_view kAccountID = "21fe31dfa154a261626bf854046fd2271b7bed4b6abe45aa58877ef47f9721b9";
constexpr std::string_view kSignalingKey = "3b4d9e2c6628d784c3a07f61da2ac42350e27ef324b6fddeb4865f387207a210";
constexpr std::string_view kHostSignature =
    "9036e09b78192c669479063349646b57a81aa2347c8598fd9a519eb138752bc30e97043659d46bc7f5f8f4431fed4279584c512bfedd367b6876f9b232f2b006";
constexpr std::string_view kClientSignature =
    "11db834873153dad4699dd3e490aeac04ed4b70d2624ee1a08b1bd72156f90d8973b38f5104c856e13205b537a90d623560889c6921de73bce231485c2ff7d0e";
constexpr std::string_view kAccept = "564c413100000000ac6fe12e4a6c419080c7b6705f0538cb";
constexpr std::string_view kPingRecord =
    "564c4531000000000000000000000020"
    "96a32e2d34ce9512d203c49e2639a5269ac6a7c527fe5ebda1ccb89d90253a48";

handshake::Nonce filled(std::uint8_t value) {
  handshake::Nonce nonce;
  nonce.fill(value);
  return nonce;
}

// The signatures pin the signed texts, the Accept and the ping record pin both session keys.
TEST(ProtocolVectors, StateMachinesProduceTheExactMessages) {
  const auto key = platform::SigningKey::fromSeed(kSeed);
  LocalTransportHostHandshake host(LocalTransportChannel::control, key, filled(0x02));
  LocalTransportClientHandshake client(LocalTransportChannel::control, key, filled(0x01));

  const Bytes hello = client.clientHello();
  EXPECT_EQ(hexEncode(hello), "564c4c3101000000" + hexEncode(filled(0x01)) + std::string(kAccountID));

  const Bytes challenge = host.receiveClientHello(hello);
  EXPECT_EQ(hexEncode(challenge), "564c4c3102000000" + hexEncode(filled(0x02)) + std::string(kHostSignature));

  const Bytes proof = client.receiveHostChallenge(challenge);
  EXPECT_EQ(hexEncode(proof), "564c4c3103000000" + std::string(kClientSignature));

  const Bytes accept = host.receiveClientProof(proof);
  EXPECT_EQ(hexEncode(accept), kAccept);
  client.receiveAccept(accept);

  auto hostSession = host.takeSession();
  auto clientSession = client.takeSession();
  const Bytes ping = clientSession->seal(asBytes("{\"type\":\"ping\"}\n"));
  EXPECT_EQ(hexEncode(ping), kPingRecord);
  const auto opened = hostSession->open(ping);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(asString(opened[0]), "{\"type\":\"ping\"}\n");
}

TEST(ProtocolVectors, IdentityDerivesTheAccountAndSignalingKey) {
  const VeltranoIdentity identity(platform::SigningKey::fromSeed(kSeed));
  EXPECT_EQ(identity.accountID(), kAccountID);
  EXPECT_EQ(hexEncode(identity.signalingKey().view()), kSignalingKey);
  // A box sealed independently of the identity (fixed nonce) opens with the identity's key.
  platform::AesGcm256 cipher(hex(kSignalingKey));
  const Bytes nonce = hex("000102030405060708090a0b");
  const std::string message = "offer";
  Bytes box = nonce;
  box.resize(12 + message.size() + 16);
  cipher.seal(nonce, {}, asBytes(message), std::span(box).subspan(12, message.size()), std::span(box).last(16));
  EXPECT_EQ(identity.openSignalingPayload(box), Bytes(message.begin(), message.end()));
}

}  // namespace
}  // namespace veltrano
