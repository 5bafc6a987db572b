#include "filetransfer/local_file_transfer_server.hpp"
#include "base/thread_checks.hpp"

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
      identityProvider_(identityProviderOrAccountKeyFile(std::move(options.identityProvider))),
      sendTimeout_(options.sendTimeout),
      handshakeStepTimeout_(options.handshakeStepTimeout) {}

// --- Sessions ---

asio::awaitable<void> LocalFileTransferServer::registerSession(std::string sessionID) {
  co_await runOn(executor(), [](std::shared_ptr<LocalFileTransferServer> self, std::string sessionID) -> asio::awaitable<void> {
    if (auto normalized = normalizedTransferID(sessionID)) self->validSessionIDs_.insert(*normalized);
    co_return;
  }(std::static_pointer_cast<LocalFileTransferServer>(shared_from_this()), std::move(sessionID)));
}

asio::awaitable<void> LocalFileTransferServer::revokeSession(std::string sessionID) {
  co_await runOn(executor(), [](std::shared_ptr<LocalFileTransferServer> self, std::string sessionID) -> asio::awaitable<void> {
    auto normalized = normalizedTransferID(sessionID);
    if (!normalized) co_return;
    self->validSessionIDs_.erase(*normalized);
    auto bound = self->clientsBySessionID_.find(*normalized);
    if (bound == self->clientsBySessionID_.end()) co_return;
    auto client = bound->second;
    self->clientsBySessionID_.erase(bound);
    const auto connectionID = client->connection->id();
    if (auto it = self->authenticatedConnections_.find(connectionID);
        it != self->authenticatedConnections_.end() && it->second == client) {
      self->authenticatedConnections_.erase(it);
    }
    client->connection->setStateHandler(nullptr);
    client->connection->cancel();
  }(std::static_pointer_cast<LocalFileTransferServer>(shared_from_this()), std::move(sessionID)));
}

// --- Sending ---

asio::awaitable<bool> LocalFileTransferServer::sendFileData(Bytes data, std::string sessionID) {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());  // alive across the send
  if (!co_await isRunningOn(executor())) {
    co_return co_await runOn(executor(), self->sendFileData(std::move(data), std::move(sessionID)));
  }
  if (data.size() > maximumRecordSize) co_return false;
  auto normalized = normalizedTransferID(sessionID);
  if (!normalized || !validSessionIDs_.contains(*normalized)) co_return false;
  auto bound = clientsBySessionID_.find(*normalized);
  if (bound == clientsBySessionID_.end()) co_return false;
  auto client = bound->second;
  const auto connectionID = client->connection->id();

  const bool sent = co_await send(data, *client);
  if (!sent) co_await dropClient(client, connectionID);
  co_return sent;
}

asio::awaitable<bool> LocalFileTransferServer::send(const Bytes& data, const LocalFileClient& client) {
  // send(_:on:): the send's completion and the time-out race for one gate; the later of the two does nothing.
  Continuation<bool> gate;
  // Written from this thread when the socket takes the record at once (the usual case for a download's one
  // chunk in flight): no hand-over to an I/O thread and, already complete, no time-out to arm.
  const std::size_t recordSize =
      sendSealedRecord(*client.connection, *client.session, data, platform::TcpConnection::SendPath::immediate,
                       [gate](boost::system::error_code error) { gate.resume(!error); });
  if (recordSize == 0) co_return false;
  if (gate.isResumed()) co_return co_await gate.wait();
  // The time-out counts the time the computer sleeps: a send stuck across a suspend fails when it wakes.
  const auto executor = co_await asio::this_coro::executor;
  Task::Body expire = [gate, limit = sendTimeout_](TaskToken token) -> asio::awaitable<void> {
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
  assertOnStrand(executor());
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());
  if (auto it = pendingConnections_.find(connectionID); it == pendingConnections_.end() || it->second != connection) {
    co_return;
  }
  std::shared_ptr<LocalTransportSession> session;
  try {
    auto identity = identityProvider_();
    session = co_await serverHandshake(connection, LocalTransportChannel::file, identity.privateKey(),
                                       handshakeStepTimeout_);
  } catch (...) {
  }
  if (!session) {
    co_await removeConnection(connectionID, true);
    connection->cancel();
    co_return;
  }
  auto pending = pendingConnections_.find(connectionID);
  if (pending == pendingConnections_.end() || pending->second != connection) {
    connection->cancel();  // stopped or removed during the handshake
    co_return;
  }
  pendingConnections_.erase(pending);

  auto client = std::make_shared<LocalFileClient>(LocalFileClient{connection, session, std::nullopt});
  authenticatedConnections_[connectionID] = client;
  ReceiveStep step = [client, connectionID](ListeningServer& server, platform::TcpConnection::ReceiveResult received) {
    return static_cast<LocalFileTransferServer&>(server).handleReceived(client, connectionID, std::move(received));
  };
  startReceiving(connection, maximumRecordSize, std::move(step));
}

std::string LocalFileTransferServer::bindSessionID(const Bytes& record) const {
  const std::optional<std::string> sessionID = bindMessageSessionID(record);
  if (!sessionID || !validSessionIDs_.contains(*sessionID)) refuse(SecurityCode::authenticationFailed);
  return *sessionID;
}

asio::awaitable<bool> LocalFileTransferServer::handleReceived(std::shared_ptr<LocalFileClient> client,
                                                              ConnectionID connectionID,
                                                              platform::TcpConnection::ReceiveResult received) {
  assertOnStrand(executor());
  if (!isRegistered(client, connectionID)) co_return false;
  bool failed = false;
  try {
    if (received.error) throw platform::NetworkError(received.error);
    if (received.content.empty()) {
      refuse(received.isComplete ? SecurityCode::connectionClosed : SecurityCode::invalidRecord);
    }
    co_await handleRecords(client, client->session->open(received.content));
  } catch (...) {
    failed = true;
  }
  if (failed) {
    co_await dropClient(client, connectionID);
    co_return false;
  }
  co_return isRegistered(client, connectionID);
}

asio::awaitable<void> LocalFileTransferServer::handleRecords(std::shared_ptr<LocalFileClient> client,
                                                             std::vector<Bytes> records) {
  assertOnStrand(executor());
  for (auto& record : records) {
    if (!client->sessionID) {
      co_await bind(client, record);
      continue;
    }
    // Frames, also those that came in the same read as the bind.
    if (record.size() > maximumRecordSize) refuse(SecurityCode::recordTooLarge);
    if (onFileData_) co_await onFileData_(*client->sessionID, std::move(record));
  }
}

asio::awaitable<void> LocalFileTransferServer::bind(std::shared_ptr<LocalFileClient> client, const Bytes& record) {
  assertOnStrand(executor());
  const auto sessionID = bindSessionID(record);
  if (auto other = clientsBySessionID_.find(sessionID); other != clientsBySessionID_.end() && other->second != client) {
    auto older = other->second;
    const auto olderID = older->connection->id();
    if (isRegistered(older, olderID)) {
      co_await removeConnection(olderID, false);  // the newer bind wins, silently
      older->connection->setStateHandler(nullptr);
      older->connection->cancel();
    }
  }
  client->sessionID = sessionID;
  clientsBySessionID_[sessionID] = client;
}

bool LocalFileTransferServer::isRegistered(const std::shared_ptr<LocalFileClient>& client,
                                           ConnectionID connectionID) const {
  assertOnStrand(executor());
  auto it = authenticatedConnections_.find(connectionID);
  return it != authenticatedConnections_.end() && it->second == client;
}

asio::awaitable<void> LocalFileTransferServer::dropClient(const std::shared_ptr<LocalFileClient>& client,
                                                          ConnectionID connectionID) {
  assertOnStrand(executor());
  if (!isRegistered(client, connectionID)) co_return;
  co_await removeConnection(connectionID, true);
  client->connection->setStateHandler(nullptr);
  client->connection->cancel();
}

asio::awaitable<void> LocalFileTransferServer::removeConnection(ConnectionID connectionID) {
  co_await removeConnection(connectionID, true);
}

asio::awaitable<void> LocalFileTransferServer::removeConnection(ConnectionID connectionID, bool notify) {
  pendingConnections_.erase(connectionID);
  auto it = authenticatedConnections_.find(connectionID);
  if (it == authenticatedConnections_.end()) co_return;
  auto client = it->second;
  authenticatedConnections_.erase(it);
  if (!client->sessionID) co_return;
  const auto sessionID = *client->sessionID;
  if (auto bound = clientsBySessionID_.find(sessionID); bound != clientsBySessionID_.end() && bound->second == client) {
    clientsBySessionID_.erase(bound);
  }
  if (notify && validSessionIDs_.contains(sessionID) && onSessionDisconnected_) {
    co_await onSessionDisconnected_(sessionID);
  }
}

// --- Stop ---

asio::awaitable<void> LocalFileTransferServer::stop() {
  auto self = std::static_pointer_cast<LocalFileTransferServer>(shared_from_this());
  if (!co_await isRunningOn(executor())) {
    co_await runOn(executor(), self->stop());
    co_return;
  }
  auto oldListener = stopListening();
  auto clients = std::move(authenticatedConnections_);
  authenticatedConnections_.clear();
  for (auto& [connectionID, client] : clients) {
    client->connection->setStateHandler(nullptr);
    client->connection->cancel();
  }
  clientsBySessionID_.clear();
  validSessionIDs_.clear();
  co_await finishStopping(std::move(oldListener));
  log(LogCategory::NET, "Local file server stopped");
}

}  // namespace veltrano
