// The handshake driven over real loopback connections: a listening server whose authentication step runs the
// host side, and the test client (or a hand-made peer) on the other end.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/actor.hpp"
#include "core/log_capture.hpp"
#include "localserver/listening_server.hpp"
#include "platform/net/net_test_support.hpp"
#include "platform/net/network_error.hpp"
#include "support/local_test_client.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_handshake_driver.hpp"
#include "transport/local_transport_security_error.hpp"
#include "transport_test_support.hpp"

using namespace veltrano;
using namespace std::chrono_literals;
using Code = LocalTransportSecurityError::Code;
using platform::SigningKey;
using platform::TcpConnection;
using veltrano::testing::LocalTestClient;
using veltrano::testing::runBlocking;

namespace {

// A server whose authentication step is the host handshake; it keeps each outcome for the test.
class HandshakingServer final : public ListeningServer {
 public:
  struct Outcome {
    std::shared_ptr<LocalTransportSession> session;
    std::optional<Code> securityError;
    std::optional<boost::system::error_code> networkError;
    std::shared_ptr<TcpConnection> connection;
    bool ranOnServerExecutor = false;
    std::chrono::steady_clock::duration took{};
  };

  static std::shared_ptr<HandshakingServer> make(LocalTransportChannel channel, SigningKey key,
                                                 std::chrono::milliseconds stepTimeout) {
    auto server = std::shared_ptr<HandshakingServer>(new HandshakingServer(channel, std::move(key), stepTimeout));
    runBlocking(server->start());
    return server;
  }

  std::optional<Outcome> nextOutcome(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return !outcomes_.empty(); })) return std::nullopt;
    auto outcome = outcomes_.front();
    outcomes_.erase(outcomes_.begin());
    return outcome;
  }

 protected:
  asio::awaitable<void> authenticateConnection(std::shared_ptr<TcpConnection> connection,
                                               ConnectionID connectionID) override {
    Outcome outcome;
    outcome.connection = connection;
    const auto began = std::chrono::steady_clock::now();
    try {
      outcome.session = co_await serverHandshake(connection, channel_, key_, stepTimeout_);
    } catch (const LocalTransportSecurityError& error) {
      outcome.securityError = error.code();
    } catch (const platform::NetworkError& error) {
      outcome.networkError = error.code();
    }
    outcome.took = std::chrono::steady_clock::now() - began;
    outcome.ranOnServerExecutor = executor().running_in_this_thread();
    pendingConnections_.erase(connectionID);
    if (!outcome.session) connection->cancel();
    std::lock_guard lock(mutex_);
    outcomes_.push_back(outcome);
    changed_.notify_all();
  }

 private:
  HandshakingServer(LocalTransportChannel channel, SigningKey key, std::chrono::milliseconds stepTimeout)
      : ListeningServer(makeActorStrand(), Configuration{0, platform::ServiceClass::responsiveData, {}, {}, 1s}),
        channel_(channel),
        key_(std::move(key)),
        stepTimeout_(stepTimeout) {}

  const LocalTransportChannel channel_;
  const SigningKey key_;
  const std::chrono::milliseconds stepTimeout_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HandshakingServer::Outcome> outcomes_;
};

std::shared_ptr<TcpConnection> rawConnection(std::uint16_t port) {
  return runBlocking(TcpConnection::connect("127.0.0.1", port, platform::TcpParameters{}, sharedIo().executor()));
}

Code clientFailure(std::uint16_t port, LocalTransportChannel channel, SigningKey key,
                   std::chrono::milliseconds stepTimeout = 5s) {
  return veltrano::testing::failureOf(
      [&] { LocalTestClient::connectBlocking(port, channel, std::move(key), {"127.0.0.1", stepTimeout}); });
}

class HandshakeDriverTest : public ::testing::Test {
 protected:
  ScopedLogCapture quiet;
  SigningKey accountKey = SigningKey::generate();
};

}  // namespace

TEST_F(HandshakeDriverTest, BothSidesEstablishSessionsThatCarryRecordsEachWay) {
  for (auto channel : {LocalTransportChannel::control, LocalTransportChannel::file}) {
    SCOPED_TRACE(static_cast<int>(channel));
    auto server = HandshakingServer::make(channel, accountKey, 5s);
    auto client = LocalTestClient::connectBlocking(server->listeningPort(), channel, accountKey);
    auto outcome = server->nextOutcome();
    ASSERT_TRUE(outcome);
    ASSERT_TRUE(outcome->session) << (outcome->securityError ? static_cast<int>(*outcome->securityError) : -1);
    EXPECT_TRUE(outcome->ranOnServerExecutor);
    EXPECT_EQ(outcome->session->channel(), channel);

    // Host to client: the host may send first.
    const std::string hello = "{\"type\":\"hello\"}\n";
    outcome->connection->send(outcome->session->seal(asBytes(hello)));
    auto json = client->nextJSONBlocking(2s);
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["type"], "hello");

    // Client to host.
    client->sendJSONLine({{"type", "ping"}});
    auto bytes = runBlocking(outcome->connection->receiveAsync(1, 65536));
    auto records = outcome->session->open(bytes.content);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(asString(records[0]), "{\"type\":\"ping\"}\n");
    outcome->connection->cancel();
  }
}

TEST_F(HandshakeDriverTest, ARefusedHelloClosesTheConnectionBeforeTheHostSignsAnything) {
  auto server = HandshakingServer::make(LocalTransportChannel::control, accountKey, 5s);
  // By hand, to see that nothing at all comes back.
  auto connection = rawConnection(server->listeningPort());
  LocalTransportClientHandshake stranger(LocalTransportChannel::control, SigningKey::generate());
  runBlocking(connection->sendAsync(stranger.clientHello()));
  auto reply = runBlocking(connection->receiveAsync(1, handshake::hostChallengeSize));
  EXPECT_TRUE(reply.isEndOfStream()) << reply.content.size() << " bytes came back";
  EXPECT_EQ(server->nextOutcome()->securityError, Code::authenticationFailed);

  // The client sees the connection closed without a HostChallenge; the host keeps the reason.
  EXPECT_EQ(clientFailure(server->listeningPort(), LocalTransportChannel::control, SigningKey::generate()),
            Code::connectionClosed);
  EXPECT_EQ(server->nextOutcome()->securityError, Code::authenticationFailed);
  EXPECT_EQ(clientFailure(server->listeningPort(), LocalTransportChannel::video, accountKey), Code::connectionClosed);
  EXPECT_EQ(server->nextOutcome()->securityError, Code::invalidHandshake);
}

TEST_F(HandshakeDriverTest, ASilentClientTimesOutOnTheStepTimeOutAndAnEarlyCloseEndsAtOnce) {
  auto server = HandshakingServer::make(LocalTransportChannel::control, accountKey, 200ms);
  auto connection = rawConnection(server->listeningPort());
  auto outcome = server->nextOutcome();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->securityError, Code::handshakeTimedOut);
  EXPECT_GE(outcome->took, 200ms);
  EXPECT_TRUE(runBlocking(connection->receiveAsync(1, 200)).isEndOfStream());

  // Silent after the hello: the proof step has its own limit. The hello must come within the first step's, so
  // this host gives each step as long as any machine takes to send one.
  auto patient = HandshakingServer::make(LocalTransportChannel::control, accountKey, 5s);
  auto second = rawConnection(patient->listeningPort());
  runBlocking(second->sendAsync(LocalTransportClientHandshake(LocalTransportChannel::control, accountKey).clientHello()));
  EXPECT_TRUE(runBlocking(second->receiveExactly(handshake::hostChallengeSize)).has_value());
  outcome = patient->nextOutcome(30s);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->securityError, Code::handshakeTimedOut);

  // A hello cut short by a close ends at once: the close, not the step's limit, ends it.
  auto third = rawConnection(patient->listeningPort());
  Bytes hello = LocalTransportClientHandshake(LocalTransportChannel::control, accountKey).clientHello();
  hello.resize(30);
  runBlocking(third->sendAsync(hello));
  third->cancel();
  outcome = patient->nextOutcome(30s);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->securityError, Code::connectionClosed);
}

TEST_F(HandshakeDriverTest, TheClientTimesOutOnASilentHost) {
  // The kernel completes connections in the backlog: a listener that never accepts stays silent.
  asio::io_context io;
  asio::ip::tcp::acceptor silent(io, {asio::ip::make_address("127.0.0.1"), 0});
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(clientFailure(silent.local_endpoint().port(), LocalTransportChannel::control, accountKey, 150ms),
            Code::handshakeTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - began, 150ms);
}
