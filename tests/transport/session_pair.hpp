#pragma once
// Runs the host and client handshake state machines against each other in memory.
#include <memory>
#include <optional>

#include "platform/crypto/signing_key.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_host_handshake.hpp"

namespace veltrano::testing {

struct SessionPair {
  std::shared_ptr<LocalTransportSession> host;
  std::shared_ptr<LocalTransportSession> client;
};

inline SessionPair establishSessions(LocalTransportChannel channel, const platform::SigningKey& key,
                                     std::optional<handshake::Nonce> clientNonce = std::nullopt,
                                     std::optional<handshake::Nonce> hostNonce = std::nullopt) {
  LocalTransportHostHandshake host(channel, key, hostNonce);
  LocalTransportClientHandshake client(channel, key, clientNonce);
  const Bytes challenge = host.receiveClientHello(client.clientHello());
  const Bytes accept = host.receiveClientProof(client.receiveHostChallenge(challenge));
  client.receiveAccept(accept);
  return {host.takeSession(), client.takeSession()};
}

inline SessionPair establishSessions(LocalTransportChannel channel) {
  return establishSessions(channel, platform::SigningKey::generate());
}

}  // namespace veltrano::testing
