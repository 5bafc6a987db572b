#pragma once
// A client of the local servers for integration tests: connects over loopback, runs the client side of the
// handshake for a channel with a given account key, then sends and receives sealed records.
//
// Every operation has an awaitable form (for tests that run a MainLoopForTests on their thread and must not
// block it) and a blocking form (for tests whose server needs no main thread).
//
//   auto client = LocalTestClient::connectBlocking(port, LocalTransportChannel::control, accountKey);
//   client->sendJSONLine({{"type", "ping"}});
//   auto reply = client->nextJSONBlocking(2s);      // nullopt: nothing within 2 s
//   EXPECT_TRUE(client->waitUntilClosedBlocking(2s));
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/continuation.hpp"
#include "base/encoding.hpp"
#include "base/json.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_handshake_driver.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano::testing {

struct LocalTestClientOptions {
  std::string host = "127.0.0.1";
  std::chrono::milliseconds stepTimeout = localHandshakeStepTimeout;
};

class LocalTestClient : public std::enable_shared_from_this<LocalTestClient> {
 public:
  using Options = LocalTestClientOptions;

  // Connects and runs the client handshake. Throws what connecting (platform::NetworkError) or the handshake
  // (LocalTransportSecurityError) throws; the connection is closed then.
  static boost::asio::awaitable<std::shared_ptr<LocalTestClient>> connect(std::uint16_t port,
                                                                          LocalTransportChannel channel,
                                                                          platform::SigningKey accountKey,
                                                                          Options options);
  static std::shared_ptr<LocalTestClient> connectBlocking(std::uint16_t port, LocalTransportChannel channel,
                                                          platform::SigningKey accountKey, Options options = {});

  ~LocalTestClient();

  // Seals one record and queues it. Throws what sealing throws (recordTooLarge).
  void sendRecord(ByteView plaintext);
  // One record holding the JSON text followed by a line feed.
  void sendJSONLine(const json::Json& message);
  // Bytes as they are, outside the record layer (for malformed or replayed records).
  void sendRaw(Bytes bytes);

  // The next record's plaintext; nullopt when none arrived within `timeout`. Once the stream has ended and
  // every record was taken, throws LocalTransportSecurityError(connectionClosed), or the error that ended it
  // (a record that failed to open, a network failure).
  boost::asio::awaitable<std::optional<Bytes>> nextRecord(std::chrono::milliseconds timeout);
  std::optional<Bytes> nextRecordBlocking(std::chrono::milliseconds timeout);
  // The next record parsed as JSON after dropping its final line feed (throws when it is not JSON).
  boost::asio::awaitable<std::optional<json::Json>> nextJSON(std::chrono::milliseconds timeout);
  std::optional<json::Json> nextJSONBlocking(std::chrono::milliseconds timeout);

  // True once the server has ended the stream (or the connection failed) within `timeout`.
  boost::asio::awaitable<bool> waitUntilClosed(std::chrono::milliseconds timeout);
  bool waitUntilClosedBlocking(std::chrono::milliseconds timeout);

  void close();

  const std::shared_ptr<platform::TcpConnection>& connection() const { return connection_; }
  const std::shared_ptr<LocalTransportSession>& session() const { return session_; }

 private:
  LocalTestClient(std::shared_ptr<platform::TcpConnection> connection,
                  std::shared_ptr<LocalTransportSession> session);
  void receiveNext();
  void deliver(std::vector<Bytes> records, bool ended, std::exception_ptr endError);
  // Takes a record or reports the end; false when neither is there yet.
  bool takeLocked(std::optional<Bytes>& record);

  std::shared_ptr<platform::TcpConnection> connection_;
  std::shared_ptr<LocalTransportSession> session_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Bytes> records_;
  bool ended_ = false;
  std::exception_ptr endError_;
  std::vector<Continuation<>> waiters_;
};

// Parses a record that holds one JSON text followed by a line feed.
json::Json parseJSONRecord(ByteView record);

}  // namespace veltrano::testing
