#pragma once
// Runs the "VELTRANO-LOCAL-V1" handshake over a TCP connection: the host side for the local servers, the client
// side for tests and tools. Each step has its own time limit (5 s unless given): on the host, receiving the
// ClientHello, writing the HostChallenge, receiving the ClientProof from the moment the HostChallenge was written,
// and writing the Accept; the client mirrors it. A step's network operation and its timer race for one
// continuation; whichever comes second finds it taken and does nothing.
//
// Both run on the calling coroutine's executor (the server's own) and throw:
//  - LocalTransportSecurityError: identityUnavailable, invalidHandshake, authenticationFailed,
//    handshakeTimedOut, connectionClosed (the peer ended the stream);
//  - platform::NetworkError: the connection's own failure.
// They never cancel the connection: the caller cancels it after any throw (a timed-out step leaves its
// operation pending on the connection).
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>

#include "platform/crypto/signing_key.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano {

inline constexpr std::chrono::milliseconds localHandshakeStepTimeout{5000};

// Returns the established session once the client has proved that it holds the account key and the Accept has
// been written. The connection must be ready.
boost::asio::awaitable<std::shared_ptr<LocalTransportSession>> serverHandshake(
    std::shared_ptr<platform::TcpConnection> connection, LocalTransportChannel channel,
    platform::SigningKey signingKey, std::chrono::milliseconds stepTimeout = localHandshakeStepTimeout);

// Returns the established session once the host's signature and key confirmation have been checked.
boost::asio::awaitable<std::shared_ptr<LocalTransportSession>> clientHandshake(
    std::shared_ptr<platform::TcpConnection> connection, LocalTransportChannel channel,
    platform::SigningKey signingKey, std::chrono::milliseconds stepTimeout = localHandshakeStepTimeout);

}  // namespace veltrano
