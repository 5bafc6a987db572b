#include "transport/local_transport_host_handshake.hpp"

#include <stdexcept>

#include "platform/crypto/constant_time.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {

using Code = LocalTransportSecurityError::Code;

LocalTransportHostHandshake::LocalTransportHostHandshake(LocalTransportChannel channel,
                                                         platform::SigningKey signingKey,
                                                         std::optional<handshake::Nonce> hostNonce)
    : channel_(channel),
      signingKey_(std::move(signingKey)),
      account_(handshake::accountKeyMaterial(signingKey_)),
      hostNonce_(handshake::makeNonce(hostNonce)) {}

std::size_t LocalTransportHostHandshake::expectedInputSize() const {
  switch (stage_) {
    case Stage::awaitingHello:
      return handshake::clientHelloSize;
    case Stage::awaitingProof:
      return handshake::clientProofSize;
    default:
      return 0;
  }
}

void LocalTransportHostHandshake::expectStage(Stage stage) {
  if (stage_ != stage) throw std::logic_error("local transport host handshake used out of order");
}

Bytes LocalTransportHostHandshake::receiveClientHello(ByteView message) {
  expectStage(Stage::awaitingHello);
  stage_ = Stage::failed;
  const handshake::ClientHello hello = handshake::decodeClientHello(message, channel_);
  // Another account's client learns nothing: we refuse before producing any signature.
  if (!platform::constantTimeEqual(hello.accountDigest, account_.digest)) {
    throw LocalTransportSecurityError(Code::authenticationFailed);
  }
  clientNonce_ = hello.clientNonce;
  const std::string text =
      handshake::proofText(handshake::Role::host, channel_, account_.accountID, clientNonce_, hostNonce_);
  handshake::HostChallenge challenge{channel_, hostNonce_, {}};
  try {
    challenge.signature = signingKey_.sign(asBytes(text));
  } catch (const platform::CryptoError&) {
    throw LocalTransportSecurityError(Code::identityUnavailable);
  }
  stage_ = Stage::awaitingProof;
  return handshake::encode(challenge);
}

Bytes LocalTransportHostHandshake::receiveClientProof(ByteView message) {
  expectStage(Stage::awaitingProof);
  stage_ = Stage::failed;
  const handshake::ClientProof proof = handshake::decodeClientProof(message, channel_);
  const std::string text =
      handshake::proofText(handshake::Role::client, channel_, account_.accountID, clientNonce_, hostNonce_);
  if (!signingKey_.verify(asBytes(text), proof.signature)) {
    throw LocalTransportSecurityError(Code::authenticationFailed);
  }
  Bytes accept;
  try {
    const handshake::SessionKeys keys =
        handshake::deriveSessionKeys(account_.seed, channel_, account_.accountID, clientNonce_, hostNonce_);
    accept = handshake::makeAccept(channel_, keys.hostToClient);
    session_ = std::make_shared<LocalTransportSession>(channel_, keys.hostToClient, keys.clientToHost);
  } catch (const platform::CryptoError&) {
    throw LocalTransportSecurityError(Code::identityUnavailable);
  }
  account_.seed = platform::SecureBytes();
  stage_ = Stage::established;
  return accept;
}

std::shared_ptr<LocalTransportSession> LocalTransportHostHandshake::takeSession() {
  expectStage(Stage::established);
  stage_ = Stage::finished;
  return std::move(session_);
}

}  // namespace veltrano
