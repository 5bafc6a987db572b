#pragma once
// The binary side of file transfers for local clients: TCP port 9093 (channel kind file). After the handshake a
// client binds its connection to the file session the control server registered for it with one record
// {"type":"bindFileChannel","sessionID":...} and a line feed; every later record is one chunk frame of an upload,
// handed with its session identifier to onFileData. Download frames go the other way through sendFileData.
//
// The control server calls registerSession when a control client authenticates (before its hello message) and
// revokeSession when that client goes away.
//
// An actor (ListeningServer): every field changes on its strand. onFileData and onSessionDisconnected are awaited
// there, so a client's next record is not read before the previous one was handed over.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "base/encoding.hpp"
#include "core/local_ports.hpp"
#include "localserver/identity_provider.hpp"
#include "localserver/listening_server.hpp"
#include "transport/local_transport_handshake_driver.hpp"
#include "transport/local_transport_session.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

struct LocalFileClient {
  std::shared_ptr<platform::TcpConnection> connection;
  std::shared_ptr<LocalTransportSession> session;
  std::optional<std::string> sessionID;  // once bound
};

class LocalFileTransferServer final : public ListeningServer {
 public:
  static constexpr std::uint16_t defaultPort = localPorts::file;
  static constexpr std::size_t maximumRecordSize = 65536;

  using IdentityProvider = veltrano::IdentityProvider;
  using SessionDisconnectedHandler = std::function<boost::asio::awaitable<void>(std::string sessionID)>;
  using FileDataHandler = std::function<boost::asio::awaitable<void>(std::string sessionID, Bytes record)>;

  struct Options {
    std::uint16_t port = defaultPort;
    IdentityProvider identityProvider;  // empty: the account key file
    std::chrono::milliseconds sendTimeout{10000};
    std::chrono::milliseconds handshakeStepTimeout = localHandshakeStepTimeout;
    ListenerFactory makeListener;  // empty: a TCP listener
  };

  static std::shared_ptr<LocalFileTransferServer> create(Options options);

  // Set by the owner before start().
  void setOnFileData(FileDataHandler handler) { onFileData_ = std::move(handler); }
  void setOnSessionDisconnected(SessionDisconnectedHandler handler) { onSessionDisconnected_ = std::move(handler); }

  // Closes every connection, forgets every session and waits until the listener is gone. Sends no notification.
  boost::asio::awaitable<void> stop();
  boost::asio::awaitable<void> registerSession(std::string sessionID);
  // Closes the session's bound connection, if any, without a notification.
  boost::asio::awaitable<void> revokeSession(std::string sessionID);
  // One record to the client bound to the session; true only when its send completed within the send timeout.
  // A failed send closes the channel (with a notification).
  boost::asio::awaitable<bool> sendFileData(Bytes data, std::string sessionID);

 protected:
  boost::asio::awaitable<void> authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                      ConnectionID connectionID) override;
  boost::asio::awaitable<void> removeConnection(ConnectionID connectionID) override;

 private:
  explicit LocalFileTransferServer(Options options);

  // One receive of a client's loop (ListeningServer::startReceiving): the bind first, then file frames. False
  // ends the loop; anything refused drops the client.
  boost::asio::awaitable<bool> handleReceived(std::shared_ptr<LocalFileClient> client, ConnectionID connectionID,
                                              platform::TcpConnection::ReceiveResult received);
  boost::asio::awaitable<void> handleRecords(std::shared_ptr<LocalFileClient> client, std::vector<Bytes> records);
  // Binds the client to the session the record names; a newer bind displaces an older client silently.
  boost::asio::awaitable<void> bind(std::shared_ptr<LocalFileClient> client, const Bytes& record);
  boost::asio::awaitable<void> removeConnection(ConnectionID connectionID, bool notify);
  // Seals and sends one record; true once written within the send timeout.
  boost::asio::awaitable<bool> send(const Bytes& data, const LocalFileClient& client);
  // Takes the client out (notifying) and closes its connection, when it is still the registered one.
  boost::asio::awaitable<void> dropClient(const std::shared_ptr<LocalFileClient>& client, ConnectionID connectionID);
  bool isRegistered(const std::shared_ptr<LocalFileClient>& client, ConnectionID connectionID) const;
  // Checks one bind record; returns the lowercase session identifier or throws.
  std::string bindSessionID(const Bytes& record) const;

  std::unordered_map<ConnectionID, std::shared_ptr<LocalFileClient>> authenticatedConnections_;
  std::unordered_map<std::string, std::shared_ptr<LocalFileClient>> clientsBySessionID_;
  std::set<std::string> validSessionIDs_;
  const IdentityProvider identityProvider_;
  const std::chrono::milliseconds sendTimeout_;
  const std::chrono::milliseconds handshakeStepTimeout_;
  SessionDisconnectedHandler onSessionDisconnected_;
  FileDataHandler onFileData_;
};

}  // namespace veltrano
