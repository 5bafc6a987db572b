#pragma once
// The client's side of the "VELTRANO-LOCAL-V1" handshake (tablets, tests, tools):
//
//   LocalTransportClientHandshake handshake(channel, signingKey);
//   write(handshake.clientHello());
//   write(handshake.receiveHostChallenge(read(hostChallengeSize)));  // ClientProof
//   handshake.receiveAccept(read(acceptSize));
//   auto session = handshake.takeSession();
//
// Any throw ends the handshake.
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "platform/crypto/signing_key.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano {

class LocalTransportClientHandshake {
 public:
  // Throws identityUnavailable when the key cannot be used. `clientNonce` replaces the random
  // client nonce (for known-answer checks only).
  LocalTransportClientHandshake(LocalTransportChannel channel, platform::SigningKey signingKey,
                                std::optional<handshake::Nonce> clientNonce = std::nullopt);

  LocalTransportChannel channel() const { return channel_; }
  // Bytes the driver must read next: 0 before the hello is taken, then a HostChallenge, an Accept, 0.
  std::size_t expectedInputSize() const;
  bool isEstablished() const { return stage_ == Stage::established; }

  // The ClientHello to write first.
  Bytes clientHello();
  // Checks size, magic, type, channel (invalidHandshake) and the host's signature
  // (authenticationFailed); returns the ClientProof to write.
  Bytes receiveHostChallenge(ByteView message);
  // Checks size, magic, channel (invalidHandshake) and the key confirmation (authenticationFailed).
  void receiveAccept(ByteView message);

  // The established session (client sends with K_c2s, receives with K_s2c). Once only.
  std::shared_ptr<LocalTransportSession> takeSession();

 private:
  enum class Stage { start, awaitingChallenge, awaitingAccept, established, finished, failed };
  void expectStage(Stage stage);

  LocalTransportChannel channel_;
  platform::SigningKey signingKey_;
  handshake::AccountKeyMaterial account_;
  handshake::Nonce clientNonce_;
  std::optional<handshake::SessionKeys> keys_;
  std::shared_ptr<LocalTransportSession> session_;
  Stage stage_ = Stage::start;
};

}  // namespace veltrano
