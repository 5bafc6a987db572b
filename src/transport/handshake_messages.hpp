#pragma once
// Byte layouts, signed texts and key schedule of the "VELTRANO-LOCAL-V1" handshake.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "platform/crypto/signing_key.hpp"
#include "transport/local_transport_channel.hpp"

namespace veltrano::handshake {

inline constexpr std::string_view protocolLabel = "VELTRANO-LOCAL-V1";

inline constexpr std::size_t nonceSize = 32;
inline constexpr std::size_t digestSize = 32;
inline constexpr std::size_t signatureSize = 64;
inline constexpr std::size_t confirmationSize = 16;

inline constexpr std::size_t clientHelloSize = 72;
inline constexpr std::size_t hostChallengeSize = 104;
inline constexpr std::size_t clientProofSize = 72;
inline constexpr std::size_t acceptSize = 24;

enum class MessageType : std::uint8_t { clientHello = 1, hostChallenge = 2, clientProof = 3 };
enum class Role { host, client };

using Nonce = std::array<std::uint8_t, nonceSize>;
using AccountDigest = std::array<std::uint8_t, digestSize>;

// What each side needs of the account key. Throws identityUnavailable when the key cannot give it.
struct AccountKeyMaterial {
  platform::SecureBytes seed;
  AccountDigest digest;
  std::string accountID;
};
AccountKeyMaterial accountKeyMaterial(const platform::SigningKey& key);

// `fixed` when given (known-answer checks), else a fresh random nonce.
Nonce makeNonce(const std::optional<Nonce>& fixed);

struct ClientHello {
  LocalTransportChannel channel;
  Nonce clientNonce;
  AccountDigest accountDigest;
};
struct HostChallenge {
  LocalTransportChannel channel;
  Nonce hostNonce;
  std::array<std::uint8_t, signatureSize> signature;
};
struct ClientProof {
  LocalTransportChannel channel;
  std::array<std::uint8_t, signatureSize> signature;
};

Bytes encode(const ClientHello& message);
Bytes encode(const HostChallenge& message);
Bytes encode(const ClientProof& message);

// Each decoder throws LocalTransportSecurityError(invalidHandshake) for a wrong size, magic, type
// or a channel other than `expected`. Reserved bytes are ignored.
ClientHello decodeClientHello(ByteView bytes, LocalTransportChannel expected);
HostChallenge decodeHostChallenge(ByteView bytes, LocalTransportChannel expected);
ClientProof decodeClientProof(ByteView bytes, LocalTransportChannel expected);

// The text each side signs: label, role, channel, accountID, base64url(cn), base64url(hn).
std::string proofText(Role signer, LocalTransportChannel channel, std::string_view accountID, const Nonce& clientNonce,
                      const Nonce& hostNonce);

struct SessionKeys {
  platform::SecureBytes clientToHost;
  platform::SecureBytes hostToClient;
};

SessionKeys deriveSessionKeys(ByteView privateSeed, LocalTransportChannel channel, std::string_view accountID,
                              const Nonce& clientNonce, const Nonce& hostNonce);

// The Accept message: "VLA1", channel, three reserved bytes, then the key confirmation made
// with the host-to-client key over the first eight bytes.
Bytes makeAccept(LocalTransportChannel channel, ByteView hostToClientKey);
// Throws invalidHandshake for a wrong size, magic or channel, authenticationFailed when the key
// confirmation does not match.
void checkAccept(ByteView bytes, LocalTransportChannel expected, ByteView hostToClientKey);

}  // namespace veltrano::handshake
