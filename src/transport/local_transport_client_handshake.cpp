#include "transport/local_transport_client_handshake.hpp"

#include <stdexcept>

#include "platform/crypto/crypto_error.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {

using Code = LocalTransportSecurityError::Code;

LocalTransportClientHandshake::LocalTransportClientHandshake(LocalTransportChannel channel,
                                                             platform::SigningKey signingKey,
                                                             std::optional<handshake::Nonce> clientNonce)
    : channel_(channel),
      signingKey_(std::move(signingKey)),
      account_(handshake::accountKeyMaterial(signingKey_)),
      clientNonce_(handshake::makeNonce(clientNonce)) {}

std::size_t LocalTransportClientHandshake::expectedInputSize() const {
  switch (stage_) {
    case Stage::awaitingChallenge:
      return handshake::hostChallengeSize;
    case Stage::awaitingAccept:
      return handshake::acceptSize;
    default:
      return 0;
  }
}

void LocalTransportClientHandshake::expectStage(Stage stage) {
  if (stage_ != stage) throw std::logic_error("local transport client handshake used out of order");
}

Bytes LocalTransportClientHandshake::clientHello() {
  expectStage(Stage::start);
  stage_ = Stage::awaitingChallenge;
  return handshake::encode(handshake::ClientHello{channel_, clientNonce_, account_.digest});
}

Bytes LocalTransportClientHandshake::receiveHostChallenge(ByteView message) {
  expectStage(Stage::awaitingChallenge);
  stage_ = Stage::failed;
  const handshake::HostChallenge challenge = handshake::decodeHostChallenge(message, channel_);
  const std::string hostText =
      handshake::proofText(handshake::Role::host, channel_, account_.accountID, clientNonce_, challenge.hostNonce);
  if (!signingKey_.verify(asBytes(hostText), challenge.signature)) {
    throw LocalTransportSecurityError(Code::authenticationFailed);
  }
  const std::string clientText =
      handshake::proofText(handshake::Role::client, channel_, account_.accountID, clientNonce_, challenge.hostNonce);
  handshake::ClientProof proof{channel_, {}};
  try {
    proof.signature = signingKey_.sign(asBytes(clientText));
    keys_ = handshake::deriveSessionKeys(account_.seed, channel_, account_.accountID, clientNonce_, challenge.hostNonce);
  } catch (const platform::CryptoError&) {
    throw LocalTransportSecurityError(Code::identityUnavailable);
  }
  account_.seed = platform::SecureBytes();
  stage_ = Stage::awaitingAccept;
  return handshake::encode(proof);
}

void LocalTransportClientHandshake::receiveAccept(ByteView message) {
  expectStage(Stage::awaitingAccept);
  stage_ = Stage::failed;
  handshake::checkAccept(message, channel_, keys_->hostToClient);
  session_ = std::make_shared<LocalTransportSession>(channel_, keys_->clientToHost, keys_->hostToClient);
  keys_.reset();
  stage_ = Stage::established;
}

std::shared_ptr<LocalTransportSession> LocalTransportClientHandshake::takeSession() {
  expectStage(Stage::established);
  stage_ = Stage::finished;
  return std::move(session_);
}

}  // namespace veltrano
