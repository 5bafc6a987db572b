#pragma once
// Runs the host and client handshakes against each other in memory, and reads the security error a step fails with.
#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "platform/crypto/signing_key.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_host_handshake.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano::testing {

// The code `step` throws; a step that does not fail fails the test.
inline LocalTransportSecurityError::Code failureOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const LocalTransportSecurityError& error) {
    return error.code();
  }
  ADD_FAILURE() << "the step did not fail";
  return LocalTransportSecurityError::Code::connectionClosed;
}


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
