#include "transport/local_transport_handshake_driver.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "base/continuation.hpp"
#include "platform/net/network_error.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_host_handshake.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {

namespace asio = boost::asio;
using Code = LocalTransportSecurityError::Code;
using Clock = std::chrono::steady_clock;

namespace {

template <class T>
using StepStarter = std::function<void(Continuation<T>)>;

// Starts one network operation and races it against the step's deadline. The continuation is the step's
// one-shot gate: its lock lets only the first of the operation's completion and the timer resume the step.
template <class T>
asio::awaitable<T> withinDeadline(Clock::time_point deadline, StepStarter<T> start) {
  Continuation<T> gate;
  auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor, deadline);
  timer.async_wait([gate](boost::system::error_code error) {
    if (!error) gate.resumeThrowing(std::make_exception_ptr(LocalTransportSecurityError(Code::handshakeTimedOut)));
  });
  start(gate);
  std::exception_ptr failure;
  T result{};
  try {
    result = co_await gate.wait();
  } catch (...) {
    failure = std::current_exception();
  }
  timer.cancel();  // the timer lives on this coroutine's executor: cancelling here is safe
  if (failure) std::rethrow_exception(failure);
  co_return result;
}

std::exception_ptr networkFailure(const boost::system::error_code& error) {
  return std::make_exception_ptr(platform::NetworkError(error));
}

asio::awaitable<Bytes> receiveMessage(std::shared_ptr<platform::TcpConnection> connection, std::size_t size,
                                      Clock::time_point deadline) {
  // Named, not a temporary inside the co_await: GCC 12 mishandles temporaries with destructors there.
  StepStarter<Bytes> start = [connection, size](Continuation<Bytes> gate) {
    connection->receive(size, size, [gate, size](platform::TcpConnection::ReceiveResult result) {
      if (result.error) {
        gate.resumeThrowing(networkFailure(result.error));
      } else if (result.content.size() < size) {
        gate.resumeThrowing(std::make_exception_ptr(LocalTransportSecurityError(Code::connectionClosed)));
      } else {
        gate.resume(std::move(result.content));
      }
    });
  };
  co_return co_await withinDeadline<Bytes>(deadline, std::move(start));
}

asio::awaitable<void> sendMessage(std::shared_ptr<platform::TcpConnection> connection, Bytes message,
                                  Clock::time_point deadline) {
  auto shared = std::make_shared<Bytes>(std::move(message));
  StepStarter<bool> start = [connection, shared](Continuation<bool> gate) {
    connection->send(std::move(*shared), [gate](boost::system::error_code error) {
      if (error) {
        gate.resumeThrowing(networkFailure(error));
      } else {
        gate.resume(true);
      }
    });
  };
  co_await withinDeadline<bool>(deadline, std::move(start));
}

}  // namespace

asio::awaitable<std::shared_ptr<LocalTransportSession>> serverHandshake(
    std::shared_ptr<platform::TcpConnection> connection, LocalTransportChannel channel,
    platform::SigningKey signingKey, std::chrono::milliseconds stepTimeout) {
  LocalTransportHostHandshake handshake(channel, std::move(signingKey));  // identityUnavailable

  const Bytes hello = co_await receiveMessage(connection, handshake::clientHelloSize, Clock::now() + stepTimeout);
  Bytes challenge = handshake.receiveClientHello(hello);  // refuses another account before signing anything
  co_await sendMessage(connection, std::move(challenge), Clock::now() + stepTimeout);

  const Bytes proof = co_await receiveMessage(connection, handshake::clientProofSize, Clock::now() + stepTimeout);
  Bytes accept = handshake.receiveClientProof(proof);
  co_await sendMessage(connection, std::move(accept), Clock::now() + stepTimeout);
  co_return handshake.takeSession();
}

asio::awaitable<std::shared_ptr<LocalTransportSession>> clientHandshake(
    std::shared_ptr<platform::TcpConnection> connection, LocalTransportChannel channel,
    platform::SigningKey signingKey, std::chrono::milliseconds stepTimeout) {
  LocalTransportClientHandshake handshake(channel, std::move(signingKey));

  Bytes hello = handshake.clientHello();
  co_await sendMessage(connection, std::move(hello), Clock::now() + stepTimeout);
  const Bytes challenge =
      co_await receiveMessage(connection, handshake::hostChallengeSize, Clock::now() + stepTimeout);
  Bytes proof = handshake.receiveHostChallenge(challenge);
  co_await sendMessage(connection, std::move(proof), Clock::now() + stepTimeout);

  const Bytes accept = co_await receiveMessage(connection, handshake::acceptSize, Clock::now() + stepTimeout);
  handshake.receiveAccept(accept);
  co_return handshake.takeSession();
}

}  // namespace veltrano
