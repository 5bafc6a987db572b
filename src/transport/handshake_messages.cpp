#include "transport/handshake_messages.hpp"

#include <algorithm>

#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/constant_time.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/hkdf.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/sha256.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano::handshake {

namespace {

constexpr std::array<std::uint8_t, 4> kHandshakeMagic = {'V', 'L', 'L', '1'};
constexpr std::array<std::uint8_t, 4> kAcceptMagic = {'V', 'L', 'A', '1'};
constexpr std::size_t kHeaderSize = 8;
constexpr std::array<std::uint8_t, 12> kConfirmationNonce = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};

using Code = LocalTransportSecurityError::Code;

Bytes header(MessageType type, LocalTransportChannel channel, std::size_t totalSize) {
  Bytes out;
  out.reserve(totalSize);
  out.insert(out.end(), kHandshakeMagic.begin(), kHandshakeMagic.end());
  out.push_back(static_cast<std::uint8_t>(type));
  out.push_back(static_cast<std::uint8_t>(channel));
  out.push_back(0);
  out.push_back(0);
  return out;
}

void append(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Checks size, magic, type and channel; returns the body after the 8-byte header.
ByteView checkHeader(ByteView bytes, std::size_t size, MessageType type, LocalTransportChannel expected) {
  if (bytes.size() != size || !std::equal(kHandshakeMagic.begin(), kHandshakeMagic.end(), bytes.begin()) ||
      bytes[4] != static_cast<std::uint8_t>(type) || bytes[5] != static_cast<std::uint8_t>(expected)) {
    throw LocalTransportSecurityError(Code::invalidHandshake);
  }
  return bytes.subspan(kHeaderSize);
}

template <std::size_t N>
std::array<std::uint8_t, N> take(ByteView bytes) {
  std::array<std::uint8_t, N> out{};
  std::copy_n(bytes.begin(), N, out.begin());
  return out;
}

std::string keyInfo(std::string_view direction, LocalTransportChannel channel, std::string_view accountID) {
  std::string info(protocolLabel);
  info += '\n';
  info += direction;
  info += '\n';
  info += std::to_string(static_cast<unsigned>(channel));
  info += '\n';
  info += accountID;
  return info;
}

std::array<std::uint8_t, confirmationSize> confirmation(ByteView acceptHeader, ByteView hostToClientKey) {
  std::array<std::uint8_t, confirmationSize> tag{};
  platform::AesGcm256 cipher(hostToClientKey);
  cipher.seal(kConfirmationNonce, acceptHeader, {}, {}, tag);
  return tag;
}

}  // namespace

AccountKeyMaterial accountKeyMaterial(const platform::SigningKey& key) {
  try {
    AccountKeyMaterial material{key.seed(), platform::sha256(key.publicKey()), {}};
    material.accountID = hexEncode(material.digest);
    return material;
  } catch (const platform::CryptoError&) {
    throw LocalTransportSecurityError(Code::identityUnavailable);
  }
}

Nonce makeNonce(const std::optional<Nonce>& fixed) {
  if (fixed) return *fixed;
  Nonce nonce{};
  try {
    platform::fillRandom(nonce);
  } catch (const platform::CryptoError&) {
    throw LocalTransportSecurityError(Code::identityUnavailable);
  }
  return nonce;
}

Bytes encode(const ClientHello& message) {
  Bytes out = header(MessageType::clientHello, message.channel, clientHelloSize);
  append(out, message.clientNonce);
  append(out, message.accountDigest);
  return out;
}

Bytes encode(const HostChallenge& message) {
  Bytes out = header(MessageType::hostChallenge, message.channel, hostChallengeSize);
  append(out, message.hostNonce);
  append(out, message.signature);
  return out;
}

Bytes encode(const ClientProof& message) {
  Bytes out = header(MessageType::clientProof, message.channel, clientProofSize);
  append(out, message.signature);
  return out;
}

ClientHello decodeClientHello(ByteView bytes, LocalTransportChannel expected) {
  ByteView body = checkHeader(bytes, clientHelloSize, MessageType::clientHello, expected);
  return {expected, take<nonceSize>(body), take<digestSize>(body.subspan(nonceSize))};
}

HostChallenge decodeHostChallenge(ByteView bytes, LocalTransportChannel expected) {
  ByteView body = checkHeader(bytes, hostChallengeSize, MessageType::hostChallenge, expected);
  return {expected, take<nonceSize>(body), take<signatureSize>(body.subspan(nonceSize))};
}

ClientProof decodeClientProof(ByteView bytes, LocalTransportChannel expected) {
  ByteView body = checkHeader(bytes, clientProofSize, MessageType::clientProof, expected);
  return {expected, take<signatureSize>(body)};
}

std::string proofText(Role signer, LocalTransportChannel channel, std::string_view accountID, const Nonce& clientNonce,
                      const Nonce& hostNonce) {
  std::string text(protocolLabel);
  text += '\n';
  text += signer == Role::host ? "host" : "client";
  text += '\n';
  text += std::to_string(static_cast<unsigned>(channel));
  text += '\n';
  text += accountID;
  text += '\n';
  text += base64urlEncode(clientNonce);
  text += '\n';
  text += base64urlEncode(hostNonce);
  return text;
}

SessionKeys deriveSessionKeys(ByteView privateSeed, LocalTransportChannel channel, std::string_view accountID,
                              const Nonce& clientNonce, const Nonce& hostNonce) {
  std::array<std::uint8_t, 2 * nonceSize> salt{};
  std::copy(clientNonce.begin(), clientNonce.end(), salt.begin());
  std::copy(hostNonce.begin(), hostNonce.end(), salt.begin() + nonceSize);
  return SessionKeys{
      platform::hkdfSha256(privateSeed, salt, asBytes(keyInfo("client-to-host", channel, accountID)), 32),
      platform::hkdfSha256(privateSeed, salt, asBytes(keyInfo("host-to-client", channel, accountID)), 32),
  };
}

Bytes makeAccept(LocalTransportChannel channel, ByteView hostToClientKey) {
  Bytes out;
  out.reserve(acceptSize);
  out.insert(out.end(), kAcceptMagic.begin(), kAcceptMagic.end());
  out.push_back(static_cast<std::uint8_t>(channel));
  out.insert(out.end(), 3, 0);
  append(out, confirmation(out, hostToClientKey));
  return out;
}

void checkAccept(ByteView bytes, LocalTransportChannel expected, ByteView hostToClientKey) {
  if (bytes.size() != acceptSize || !std::equal(kAcceptMagic.begin(), kAcceptMagic.end(), bytes.begin()) ||
      bytes[4] != static_cast<std::uint8_t>(expected)) {
    throw LocalTransportSecurityError(Code::invalidHandshake);
  }
  const auto expectedTag = confirmation(bytes.first(kHeaderSize), hostToClientKey);
  if (!platform::constantTimeEqual(expectedTag, bytes.subspan(kHeaderSize))) {
    throw LocalTransportSecurityError(Code::authenticationFailed);
  }
}

}  // namespace veltrano::handshake
