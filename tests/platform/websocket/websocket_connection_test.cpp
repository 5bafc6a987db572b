#include "platform/websocket/websocket_connection.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include <iostream>

#include "base/actor.hpp"
#include "support/run_blocking.hpp"
#include "support/signaling_test_service.hpp"

namespace veltrano::platform {
namespace {

using testing::runBlocking;
using Kind = WebSocketError::Kind;

class WebSocketConnectionTest : public ::testing::Test {
 protected:
  template <class T>
  T onStrand(asio::awaitable<T> operation) {
    return runBlocking(runOn(strand_, std::move(operation)));
  }

  std::shared_ptr<WebSocketConnection> openConnection(WssEndpoint endpoint, WebSocketOptions options) {
    auto connection = std::make_shared<WebSocketConnection>(strand_, std::move(endpoint), std::move(options));
    onStrand(connection->open());
    return connection;
  }

  Kind failureOf(const std::function<void()>& operation) {
    try {
      operation();
    } catch (const WebSocketError& error) {
      std::cerr << error.what() << "\n";
      return error.kind();
    }
    ADD_FAILURE() << "no WebSocketError";
    return Kind::failed;
  }

  std::string receiveText(WebSocketConnection& connection) { return asString(onStrand(connection.receive()).data); }

  Strand strand_ = makeActorStrand();
  testing::SignalingTestService service_;
};

TEST(ParseWssUrl, ReadsOnlyTheSecureWebSocketScheme) {
  EXPECT_EQ(parseWssUrl("wss://signal.veltrano.example/veltrano/v1/signal"),
            (WssEndpoint{"signal.veltrano.example", 443, "/veltrano/v1/signal"}));
  EXPECT_EQ(parseWssUrl("WSS://127.0.0.1:8443/p"), (WssEndpoint{"127.0.0.1", 8443, "/p"}));
  for (const char* url : {"ws://host/", "https://host/", "wss://", "wss://user@host/"}) {
    EXPECT_EQ(parseWssUrl(url), std::nullopt) << url;
  }
}

TEST_F(WebSocketConnectionTest, OpensAgainstATrustedAuthorityAndReceivesTheServersFirstMessage) {
  auto connection = openConnection(service_.endpoint(), service_.trustingOptions());
  EXPECT_NE(receiveText(*connection).find("\"challenge\""), std::string::npos);
  onStrand(connection->ping());
}

TEST_F(WebSocketConnectionTest, RefusesServersItCannotTrust) {
  WebSocketOptions unrelated = service_.trustingOptions();
  unrelated.trustedCertificatesPem = service_.unrelatedAuthorityPem();
  asio::ip::tcp::acceptor vacated(sharedIo().executor(), {asio::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t closedPort = vacated.local_endpoint().port();
  vacated.close();
  const struct {
    const char* name;
    WssEndpoint endpoint;
    WebSocketOptions options;
    Kind expected;
  } cases[] = {
      {"unrelated authority", service_.endpoint(), unrelated, Kind::tlsFailed},
      {"system store only", service_.endpoint(), WebSocketOptions{}, Kind::tlsFailed},
      {"address the certificate does not name", service_.endpoint("127.0.0.1"), service_.trustingOptions(),
       Kind::tlsFailed},
      {"nobody listening", WssEndpoint{"127.0.0.1", closedPort, "/"}, service_.trustingOptions(),
       Kind::connectFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failureOf([&] { openConnection(c.endpoint, c.options); }), c.expected) << c.name;
  }
}

TEST_F(WebSocketConnectionTest, ConnectingThatStallsTimesOut) {
  // Accepted by the kernel but never answered: the TLS handshake waits for the time-out.
  asio::ip::tcp::acceptor silent(sharedIo().executor(), {asio::ip::make_address("127.0.0.1"), 0});
  silent.listen();
  WebSocketOptions options = service_.trustingOptions();
  options.requestTimeout = std::chrono::milliseconds(200);
  WssEndpoint endpoint{"127.0.0.1", silent.local_endpoint().port(), "/"};
  EXPECT_EQ(failureOf([&] { openConnection(endpoint, options); }), Kind::timedOut);
}

// The request time-out bounds the connect too: long enough for any machine to connect in, so that only the send
// can run out of it.
constexpr std::chrono::milliseconds kConnectableTimeout{5000};

TEST_F(WebSocketConnectionTest, ASendThePeerDoesNotTakeTimesOut) {
  WebSocketOptions options = service_.trustingOptions();
  options.requestTimeout = kConnectableTimeout;
  auto connection = openConnection(service_.endpoint(), options);
  receiveText(*connection);
  service_.command("stall c1");
  ASSERT_TRUE(service_.waitForEvent("stalled c1"));
  EXPECT_EQ(failureOf([&] { onStrand(connection->send(Bytes(16 << 20, 0x2a))); }), Kind::timedOut);
}

TEST_F(WebSocketConnectionTest, AQuietConnectionOutlivesTheRequestTimeOut) {
  WebSocketOptions options = service_.trustingOptions();
  options.requestTimeout = kConnectableTimeout;
  auto connection = openConnection(service_.endpoint(), options);
  receiveText(*connection);
  service_.command("blob c1 10 " + std::to_string((kConnectableTimeout + std::chrono::seconds(1)).count()));
  EXPECT_EQ(onStrand(connection->receive()).data.size(), 10u);
}

TEST_F(WebSocketConnectionTest, InboundMessagesAreLimitedToFourMebibytes) {
  auto connection = openConnection(service_.endpoint(), service_.trustingOptions());
  receiveText(*connection);
  service_.command("blob c1 4194304");
  const auto whole = onStrand(connection->receive());
  EXPECT_EQ(whole.kind, WebSocketMessage::Kind::binary);
  EXPECT_EQ(whole.data.size(), 4194304u);
  service_.command("blob c1 4194305");
  EXPECT_EQ(failureOf([&] { onStrand(connection->receive()); }), Kind::messageTooLarge);
}

TEST_F(WebSocketConnectionTest, ClosesOnceWithTheGivenCodeAndReason) {
  auto connection = openConnection(service_.endpoint(), service_.trustingOptions());
  receiveText(*connection);
  asio::post(strand_, [connection] {
    connection->close(webSocketCloseCode::goingAway, "network changed");
    connection->close(webSocketCloseCode::goingAway);
  });
  EXPECT_EQ(service_.waitForEvent("closed c1"), "closed c1 1001 network changed");
  EXPECT_EQ(failureOf([&] { onStrand(connection->receive()); }), Kind::closed);
  EXPECT_EQ(failureOf([&] { onStrand(connection->send(Bytes{1})); }), Kind::closed);
}

}  // namespace
}  // namespace veltrano::platform
