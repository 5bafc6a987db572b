#pragma once
// The host's side of the "VELTRANO-LOCAL-V1" handshake as a state machine over whole messages.
// A driver reads exactly `expectedInputSize()` bytes, hands them in and writes what comes back:
//
//   LocalTransportHostHandshake handshake(channel, signingKey);      // identityUnavailable
//   write(handshake.receiveClientHello(read(clientHelloSize)));      // HostChallenge
//   write(handshake.receiveClientProof(read(clientProofSize)));      // Accept
//   auto session = handshake.takeSession();                          // once Accept is written
//
// Time-outs, end of stream and network errors belong to the driver. Any throw ends the handshake.
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

class LocalTransportHostHandshake {
 public:
  // Throws identityUnavailable when the key's seed or public key cannot be used. `hostNonce`
  // replaces the random host nonce (for known-answer checks only).
  LocalTransportHostHandshake(LocalTransportChannel channel, platform::SigningKey signingKey,
                              std::optional<handshake::Nonce> hostNonce = std::nullopt);

  LocalTransportChannel channel() const { return channel_; }
  // Bytes the driver must read next: a ClientHello, then a ClientProof, then 0.
  std::size_t expectedInputSize() const;
  bool isEstablished() const { return stage_ == Stage::established; }

  // Checks, in order: size, magic, type, channel (invalidHandshake); then the account digest in
  // constant time (authenticationFailed). Only then signs; returns the HostChallenge to write.
  Bytes receiveClientHello(ByteView message);

  // Checks size, magic, type, channel (invalidHandshake) and the client's signature with our
  // own public key (authenticationFailed); returns the Accept to write.
  Bytes receiveClientProof(ByteView message);

  // The established session (host sends with K_s2c, receives with K_c2s). Once only.
  std::shared_ptr<LocalTransportSession> takeSession();

 private:
  enum class Stage { awaitingHello, awaitingProof, established, finished, failed };
  void expectStage(Stage stage);

  LocalTransportChannel channel_;
  platform::SigningKey signingKey_;
  handshake::AccountKeyMaterial account_;
  handshake::Nonce hostNonce_;
  handshake::Nonce clientNonce_{};
  std::shared_ptr<LocalTransportSession> session_;
  Stage stage_ = Stage::awaitingHello;
};

}  // namespace veltrano
