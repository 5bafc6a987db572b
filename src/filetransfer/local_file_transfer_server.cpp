#include "filetransfer/local_file_transfer_server.hpp"

#include <boost/asio/this_coro.hpp>

#include "base/actor.hpp"
#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/task.hpp"
#include "core/app_logger.hpp"
#include "filetransfer/remote_file_messages.hpp"
#include "filetransfer/transfer_text_rules.hpp"
#include "localserver/sealed_record_sender.hpp"
#include "platform/net/network_error.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {

namespace asio = boost::asio;
using SecurityCode = LocalTransportSecurityError::Code;

namespace {

ListeningServer::Configuration configuration(const LocalFileTransferServer::Options& options) {
  ListeningServer::Configuration configuration;
  configuration.port = options.port;
  configuration.serviceClass = platform::ServiceClass::responsiveData;
  configuration.logLines.listening = ListenerLogLine{LogCategory::NET, "Local file server listening on port "};
  configuration.makeListener = options.makeListener;
  return configuration;
}

[[noreturn]] void refuse(SecurityCode code) { throw LocalTransportSecurityError(code); }

}  // namespace

std::shared_ptr<LocalFileTransferServer> LocalFileTransferServer::create(Options options) {
  return std::shared_ptr<LocalFileTransferServer>(new LocalFileTransferServer(std::move(options)));
}

LocalFileTransferServer::LocalFileTransferServer(Options options)
    : ListeningServer(makeActorStrand(), configuration(options)),
      identityProvider(identityProviderOrAccountKeyFile(std::move(options.identityProvider))),
      sendTimeout(options.sendTimeout),
      handshakeStepTimeout(options.handshakeStepTimeout) {}

// --- Sessions ---

asio::awaitable<void> LocalFileTransferServer::registerSession(std::string sessionID) {
  co_await runOn(executor(), [](std::shared_ptr<LocalFileTransferServer> self, std::string sessionID) -> asio::awaitable<void> {
    if (auto normalized = normalizedTransferID(sessionID)) self->validSessionIDs.insert(*normalized);
    co_return;
  }(std::static_pointer_cast<LocalFileTransferServer>(shared_from_this()), std::move(sessionID)));
}

asio::awaitable<void> LocalFileTransferServer::revokeSession(std::string sessionID) {
  co_await runOn(executor(), [](std::shared_ptr<LocalFileTransferServer> self, std::string sessionID) -> asio::awaitable<void> {
    auto normalized = normalizedTransferID(sessionID);
    if (!normalized) co_return;
    self->validSessionIDs.erase(*normalized);
    auto bound = self->clientsBySessionID.find(*normalized);
    if (bound == self->clientsBySessionID.end()) co_return;
    auto client = bound->second;
    self->clientsBySessionID.erase(bound);
    const auto connectionID = client->connection->id();
    if (auto it = self->authenticatedConnections.find(connectionID);
        it != self->authenticatedConnections.end() && it->second == client) {
      self->authenticatedConnections.erase(it);
    }
    client->connection->setStateHandler(nullptr);
    client->connection->cancel();
  }(std::static_pointer_cast<LocalFileTransferServer>(shared_from_this()), std::move(sessionID)));
}

// --- Sending ---

asio::awaitable<bool> LocalFileTransferServer::sendFileData(Bytes data, std::string sessionID) {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());
  co_return co_await runOn(executor(), self->sendOnExecutor(std::move(data), std::move(sessionID)));
}

asio::awaitable<bool> LocalFileTransferServer::sendOnExecutor(Bytes data, std::string sessionID) {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());  // alive across the send
  if (data.size() > maximumRecordSize) co_return false;
  auto normalized = normalizedTransferID(sessionID);
  if (!normalized || !validSessionIDs.contains(*normalized)) co_return false;
  auto bound = clientsBySessionID.find(*normalized);
  if (bound == clientsBySessionID.end()) co_return false;
  auto client = bound->second;
  const auto connectionID = client->connection->id();

  const bool sent = co_await send(data, *client);
  if (!sent) co_await dropClient(client, connectionID);
  co_return sent;
}

asio::awaitable<bool> LocalFileTransferServer::send(const Bytes& data, const LocalFileClient& client) {
  // send(_:on:): the send's completion and the time-out race for one gate; the later of the two does nothing.
  Continuation<bool> gate;
  const std::size_t recordSize =
      sendSealedRecord(*client.connection, *client.session, data, platform::TcpConnection::SendPath::queued,
                       [gate](boost::system::error_code error) { gate.resume(!error); });
  if (recordSize == 0) co_return false;
  // The time-out counts the time the computer sleeps: a send stuck across a suspend fails when it wakes.
  const auto executor = co_await asio::this_coro::executor;
  Task::Body expire = [gate, limit = sendTimeout](TaskToken token) -> asio::awaitable<void> {
    co_await sleepFor(token, bootClock(), limit);
    gate.resume(false);
  };
  const Task timeout = Task::spawn(executor, std::move(expire));
  const bool completed = co_await gate.wait();
  timeout.cancel();
  co_return completed;
}

// --- Connections ---

asio::awaitable<void> LocalFileTransferServer::authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                                      ConnectionID connectionID) {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());
  if (auto it = pendingConnections.find(connectionID); it == pendingConnections.end() || it->second != connection) {
    co_return;
  }
  std::shared_ptr<LocalTransportSession> session;
  try {
    auto identity = identityProvider();
    session = co_await serverHandshake(connection, LocalTransportChannel::file, identity.privateKey(),
                                       handshakeStepTimeout);
  } catch (...) {
  }
  if (!session) {
    co_await removeConnection(connectionID, true);
    connection->cancel();
    co_return;
  }
  auto pending = pendingConnections.find(connectionID);
  if (pending == pendingConnections.end() || pending->second != connection) {
    connection->cancel();  // stopped or removed during the handshake
    co_return;
  }
  pendingConnections.erase(pending);

  auto client = std::make_shared<LocalFileClient>(LocalFileClient{connection, session, std::nullopt});
  authenticatedConnections[connectionID] = client;
  bool bound = false;
  try {
    co_await receiveBinding(client, connectionID);
    bound = true;
  } catch (...) {
  }
  if (!bound) {
    co_await removeConnection(connectionID, true);
    connection->cancel();
    co_return;
  }
  co_await receiveLoop(client, connectionID);
}

asio::awaitable<Bytes> LocalFileTransferServer::receiveChunk(const std::shared_ptr<LocalFileClient>& client) {
  auto result = co_await client->connection->receiveAsync(1, maximumRecordSize);
  if (result.error) throw platform::NetworkError(result.error);
  if (!result.content.empty()) co_return std::move(result.content);
  refuse(result.isComplete ? SecurityCode::connectionClosed : SecurityCode::invalidRecord);
}

std::string LocalFileTransferServer::bindSessionID(const Bytes& record) const {
  const std::optional<std::string> sessionID = bindMessageSessionID(record);
  if (!sessionID || !validSessionIDs.contains(*sessionID)) refuse(SecurityCode::authenticationFailed);
  return *sessionID;
}

asio::awaitable<void> LocalFileTransferServer::receiveBinding(std::shared_ptr<LocalFileClient> client,
                                                              ConnectionID connectionID) {
  while (isRegistered(client, connectionID) && !client->sessionID) {
    auto bytes = co_await receiveChunk(client);
    for (auto& record : client->session->open(bytes)) {
      if (client->sessionID) {
        // Frames that came in the same read as the bind.
        if (record.size() > maximumRecordSize) refuse(SecurityCode::recordTooLarge);
        if (onFileData) co_await onFileData(*client->sessionID, std::move(record));
        continue;
      }
      const auto sessionID = bindSessionID(record);
      if (auto other = clientsBySessionID.find(sessionID); other != clientsBySessionID.end() && other->second != client) {
        auto older = other->second;
        const auto olderID = older->connection->id();
        if (isRegistered(older, olderID)) {
          co_await removeConnection(olderID, false);  // the newer bind wins, silently
          older->connection->setStateHandler(nullptr);
          older->connection->cancel();
        }
      }
      client->sessionID = sessionID;
      clientsBySessionID[sessionID] = client;
    }
  }
  if (!client->sessionID) refuse(SecurityCode::connectionClosed);
}

asio::awaitable<void> LocalFileTransferServer::receiveLoop(std::shared_ptr<LocalFileClient> client,
                                                           ConnectionID connectionID) {
  while (isRegistered(client, connectionID)) {
    bool failed = false;
    try {
      auto bytes = co_await receiveChunk(client);
      for (auto& record : client->session->open(bytes)) {
        if (!client->sessionID) refuse(SecurityCode::authenticationFailed);
        if (record.size() > maximumRecordSize) refuse(SecurityCode::recordTooLarge);
        if (onFileData) co_await onFileData(*client->sessionID, std::move(record));
      }
    } catch (...) {
      failed = true;
    }
    if (failed) {
      co_await dropClient(client, connectionID);
      co_return;
    }
  }
}

bool LocalFileTransferServer::isRegistered(const std::shared_ptr<LocalFileClient>& client,
                                           ConnectionID connectionID) const {
  auto it = authenticatedConnections.find(connectionID);
  return it != authenticatedConnections.end() && it->second == client;
}

asio::awaitable<void> LocalFileTransferServer::dropClient(const std::shared_ptr<LocalFileClient>& client,
                                                          ConnectionID connectionID) {
  if (!isRegistered(client, connectionID)) co_return;
  co_await removeConnection(connectionID, true);
  client->connection->setStateHandler(nullptr);
  client->connection->cancel();
}

asio::awaitable<void> LocalFileTransferServer::removeConnection(ConnectionID connectionID) {
  co_await removeConnection(connectionID, true);
}

asio::awaitable<void> LocalFileTransferServer::removeConnection(ConnectionID connectionID, bool notify) {
  pendingConnections.erase(connectionID);
  auto it = authenticatedConnections.find(connectionID);
  if (it == authenticatedConnections.end()) co_return;
  auto client = it->second;
  authenticatedConnections.erase(it);
  if (!client->sessionID) co_return;
  const auto sessionID = *client->sessionID;
  if (auto bound = clientsBySessionID.find(sessionID); bound != clientsBySessionID.end() && bound->second == client) {
    clientsBySessionID.erase(bound);
  }
  if (notify && validSessionIDs.contains(sessionID) && onSessionDisconnected) {
    co_await onSessionDisconnected(sessionID);
  }
}

// --- Stop ---

asio::awaitable<void> LocalFileTransferServer::stop() {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());
  co_await runOn(executor(), self->stopOnExecutor());
}

asio::awaitable<void> LocalFileTransferServer::stopOnExecutor() {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());
  auto oldListener = stopListening();
  auto clients = std::move(authenticatedConnections);
  authenticatedConnections.clear();
  for (auto& [connectionID, client] : clients) {
    client->connection->setStateHandler(nullptr);
    client->connection->cancel();
  }
  clientsBySessionID.clear();
  validSessionIDs.clear();
  co_await finishStopping(std::move(oldListener));
  log(LogCategory::NET, "Local file server stopped");
}

}  // namespace veltrano
