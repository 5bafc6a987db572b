#include "control/network_host_server.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <stdexcept>
#include <utility>

#include "base/actor.hpp"
#include "base/log_text.hpp"
#include "base/main_thread_call.hpp"
#include "base/uuid.hpp"
#include "control/control_hello_message.hpp"
#include "control/control_record_lines.hpp"
#include "core/app_logger.hpp"
#include "localserver/sealed_record_sender.hpp"

namespace veltrano {

namespace asio = boost::asio;

namespace {

ListeningServer::Configuration controlListenerConfiguration(const NetworkHostServer::Options& options) {
  ListeningServer::Configuration configuration;
  configuration.port = options.port;
  configuration.serviceClass = platform::ServiceClass::responsiveData;
  configuration.logLines.listening = ListenerLogLine{LogCategory::NET, "Listening on port "};
  configuration.logLines.listenerFailed = ListenerLogLine{LogCategory::Error, "Listener failed: "};
  configuration.logLines.listenerCancelled = ListenerLogLine{LogCategory::NET, "Listener cancelled"};
  configuration.logLines.connectionFailed = ListenerLogLine{LogCategory::Error, "Connection failed: "};
  configuration.logLines.connectionClosed = ListenerLogLine{LogCategory::CLIENT, "Disconnected"};
  configuration.makeListener = options.makeListener;
  configuration.clock = options.clock;
  return configuration;
}

std::string describeFailure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown error";
  }
}

asio::awaitable<bool> sendFileFrame(std::weak_ptr<LocalFileTransferServer> weakFileServer, std::string sessionID,
                                    Bytes frame) {
  const auto fileServer_ = weakFileServer.lock();
  if (!fileServer_) co_return false;
  co_return co_await fileServer_->sendFileData(std::move(frame), std::move(sessionID));
}

asio::awaitable<std::uint16_t> readyFilePort(std::shared_ptr<LocalFileTransferServer> fileServer_) {
  co_return fileServer_->listeningPort();  // 0 unless its listener is ready
}

}  // namespace

std::shared_ptr<NetworkHostServer> NetworkHostServer::create(Options options) {
  if (!options.commandHandler) throw std::invalid_argument("NetworkHostServer needs a command handler");
  return std::shared_ptr<NetworkHostServer>(new NetworkHostServer(std::move(options)));
}

NetworkHostServer::NetworkHostServer(Options options)
    : ListeningServer(makeActorStrand(), controlListenerConfiguration(options)),
      commandHandler_(std::move(options.commandHandler)),
      metrics_(std::move(options.metrics)),
      identityProvider_(identityProviderOrAccountKeyFile(std::move(options.identityProvider))),
      fileServer_(std::move(options.fileServer)),
      fileTransfers_(std::move(options.fileTransfers)),
      handshakeStepTimeout_(options.handshakeStepTimeout),
      listenerCommandLog_(std::make_shared<LogThrottle>(logClock(), listenerCommandLogLimits)),
      beforeClientRegistration_(std::move(options.beforeClientRegistration)) {}

std::shared_ptr<NetworkHostServer> NetworkHostServer::self() {
  return std::static_pointer_cast<NetworkHostServer>(shared_from_this());
}

bool NetworkHostServer::isRegistered(const std::shared_ptr<ControlClient>& client, ConnectionID connectionID) const {
  assertOnStrand(executor());
  const auto entry = connections_.find(connectionID);
  return entry != connections_.end() && entry->second == client;
}

// --- Authentication and registration ---

asio::awaitable<void> NetworkHostServer::authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                                ConnectionID connectionID) {
  assertOnStrand(executor());
  const auto keepAlive = self();
  if (auto pending = pendingConnections_.find(connectionID);
      pending == pendingConnections_.end() || pending->second != connection) {
    co_return;
  }
  const std::uint64_t stopsSeen = stopCount_;

  std::shared_ptr<LocalTransportSession> session;
  std::exception_ptr failure;
  try {
    const VeltranoIdentity identity = identityProvider_();
    session = co_await serverHandshake(connection, LocalTransportChannel::control, identity.privateKey(),
                                       handshakeStepTimeout_);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    writeConnectionLogLine("authenticationFailed", LogCategory::Error,
                           [&] { return "Local control authentication failed: " + loggedText(describeFailure(failure)); });
    if (auto pending = pendingConnections_.find(connectionID);
        pending != pendingConnections_.end() && pending->second == connection) {
      pendingConnections_.erase(pending);
    }
    connection->cancel();
    co_return;
  }

  auto pending = pendingConnections_.find(connectionID);
  if (pending == pendingConnections_.end() || pending->second != connection || stoppedSince(stopsSeen)) {
    connection->cancel();  // a stop (or a failure of the connection) ran during the handshake
    co_return;
  }
  pendingConnections_.erase(pending);

  // From here until the client is stored it is in neither table, so a stop cannot see it: every wait below is
  // followed by a check for a stop that ran meanwhile.
  const std::string transferSessionID = Uuid::random().text();
  if (beforeClientRegistration_) {
    co_await beforeClientRegistration_();
    if (stoppedSince(stopsSeen)) {
      connection->cancel();
      co_return;
    }
  }
  const bool hasFileSession = fileServer_ && fileTransfers_;
  if (hasFileSession) {
    co_await fileServer_->registerSession(transferSessionID);
    if (stoppedSince(stopsSeen)) {
      co_await fileServer_->revokeSession(transferSessionID);
      connection->cancel();
      co_return;
    }
  }

  const Strand sequence = makeActorStrand();
  auto client = std::make_shared<ControlClient>(connection, session, transferSessionID, sequence,
                                                ControlTrafficCounters::create(sequence, metrics_));
  if (hasFileSession) client->fileEndpoint = makeFileEndpoint(client);
  connections_[connectionID] = client;
  writeConnectionLogLine("authenticated", LogCategory::CLIENT, [] { return "Authenticated local control client"; });

  co_await publishClientCount();
  co_await sendLocalHello(client);
  if (isRegistered(client, connectionID)) startReceiveLoop(client, connectionID);
}

RemoteFileTransferEndpointPtr NetworkHostServer::makeFileEndpoint(const std::shared_ptr<ControlClient>& client) {
  assertOnStrand(executor());
  std::weak_ptr<LocalFileTransferServer> weakFileServer = fileServer_;
  // The client holds its endpoint: the sink holds the client weakly.
  auto controlSink = [weakClient = std::weak_ptr<ControlClient>(client)](const json::Json& message) {
    if (auto client = weakClient.lock()) postToClient(message, std::move(client));
  };
  auto fileSink = [weakFileServer, transferSessionID = client->transferSessionID](Bytes frame) {
    return sendFileFrame(weakFileServer, transferSessionID, std::move(frame));
  };
  return std::make_shared<RemoteFileTransferEndpoint>(std::move(controlSink), std::move(fileSink));
}

asio::awaitable<void> NetworkHostServer::removeConnection(ConnectionID connectionID) {
  assertOnStrand(executor());
  const auto keepAlive = self();
  if (auto pending = pendingConnections_.find(connectionID); pending != pendingConnections_.end()) {
    pending->second->cancel();  // a failed connection still holds its socket until cancelled
    pendingConnections_.erase(pending);
  }
  const auto entry = connections_.find(connectionID);
  if (entry == connections_.end()) co_return;
  const std::shared_ptr<ControlClient> client = entry->second;
  connections_.erase(entry);
  client->removed = true;
  client->connection->cancel();

  if (fileServer_) co_await fileServer_->revokeSession(client->transferSessionID);
  if (fileTransfers_) {
    std::function<void()> cancelTransfers = [coordinator = fileTransfers_, sessionID = client->transferSessionID] {
      coordinator->cancelTransfers(sessionID);
    };
    co_await onMainThread(std::move(cancelTransfers));
  }
  co_await publishClientCount();
}

asio::awaitable<void> NetworkHostServer::publishClientCount() {
  assertOnStrand(executor());
  const auto count = static_cast<std::int64_t>(connections_.size());
  std::function<void()> showCount = [store = metrics_, count] {
    if (auto metricsStore = store.lock()) metricsStore->connectedClients.set(count);
  };
  co_await onMainThread(std::move(showCount));
  if (onClientCountChange_) co_await onClientCountChange_(count);
}

asio::awaitable<void> NetworkHostServer::sendLocalHello(std::shared_ptr<ControlClient> client) {
  assertOnStrand(executor());
  // Three separate reads on the main thread, as the window may change the values in between.
  ControlHelloContent content;
  std::function<std::int64_t()> readWidth = [store = metrics_]() -> std::int64_t {
    const auto metricsStore = store.lock();
    return metricsStore ? metricsStore->hostWidth.get() : 0;
  };
  content.width = co_await onMainThread(std::move(readWidth));
  std::function<std::int64_t()> readHeight = [store = metrics_]() -> std::int64_t {
    const auto metricsStore = store.lock();
    return metricsStore ? metricsStore->hostHeight.get() : 0;
  };
  content.height = co_await onMainThread(std::move(readHeight));
  using Displays = std::pair<std::uint32_t, std::vector<DisplayInfo>>;
  std::function<Displays()> readDisplays = [store = metrics_] {
    const auto metricsStore = store.lock();
    return metricsStore ? Displays{metricsStore->activeDisplayID.get(), metricsStore->availableDisplays.get()}
                        : Displays{};
  };
  Displays displays = co_await onMainThread(std::move(readDisplays));
  content.activeDisplayID = displays.first;
  content.displays = std::move(displays.second);
  if (fileServer_ && client->fileEndpoint) {
    const std::uint16_t filePort = co_await runOn(fileServer_->executor(), readyFilePort(fileServer_));
    if (filePort != 0) content.fileChannel = ControlHelloFileChannel{filePort, client->transferSessionID};
  }
  // Posted before the receive loop starts on the same sequence: the hello goes before any reply, and before the
  // broadcasts that came while it was made.
  postToClient(makeControlHelloMessage(content), client);
  client->helloQueued = true;
  for (json::Json& message : std::exchange(client->broadcastsBeforeHello, {})) postToClient(std::move(message), client);
}

// --- Sending ---

void NetworkHostServer::postToClient(json::Json message, std::shared_ptr<ControlClient> client) {
  // Posts to a strand run in the order they were made, so messages keep their order.
  const Strand sequence = client->sequence;
  asio::post(sequence, [message = std::move(message), client = std::move(client)] {
    if (!client->removed) sendJSON(message, *client);
  });
}

void NetworkHostServer::sendJSON(const json::Json& message, const ControlClient& client) {
  assertOnStrand(client.sequence);
  if (const std::size_t sent = sendMessage(message, client, false)) {
    client.traffic->addSent(static_cast<std::int64_t>(sent));
  }
}

std::size_t NetworkHostServer::sendMessage(const json::Json& message, const ControlClient& client, bool immediately,
                                          std::function<void()> onSent) {
  const std::optional<std::string> line = controlMessageLine(message);
  if (!line) return 0;
  platform::TcpConnection::SendCompletion reportFailure = [onSent = std::move(onSent)](boost::system::error_code error) {
    // A connection this server cancelled (stop, removal, too much unread) is no send failure.
    if (error && error != asio::error::operation_aborted && error != asio::error::no_buffer_space) {
      log(LogCategory::Error, [&] { return "send failed: " + error.message(); });
    }
    if (onSent) onSent();
  };
  using Path = platform::TcpConnection::SendPath;
  return sendSealedRecord(*client.connection, *client.session, asBytes(*line),
                          immediately ? Path::immediate : Path::queued, std::move(reportFailure));
}

asio::awaitable<void> NetworkHostServer::broadcast(json::Json message) {
  if (!co_await isRunningOn(executor())) {
    co_await runOn(executor(), self()->broadcast(std::move(message)));
    co_return;
  }
  const auto keepAlive = self();
  std::vector<std::shared_ptr<ControlClient>> clients;
  clients.reserve(connections_.size());
  for (const auto& [connectionID, client] : connections_) clients.push_back(client);
  for (auto& client : clients) {
    if (client->helloQueued) {
      postToClient(message, std::move(client));
    } else {
      client->broadcastsBeforeHello.push_back(message);
    }
  }
  co_return;
}

// --- File channel ---

asio::awaitable<void> NetworkHostServer::fileChannelLost(std::string sessionID) {
  if (!co_await isRunningOn(executor())) {
    co_await runOn(executor(), self()->fileChannelLost(std::move(sessionID)));
    co_return;
  }
  const auto keepAlive = self();
  if (!fileTransfers_) co_return;
  bool known = false;
  for (const auto& [connectionID, client] : connections_) known = known || client->transferSessionID == sessionID;
  if (!known) co_return;
  std::function<void()> failTransfers = [coordinator = fileTransfers_, sessionID] {
    coordinator->failTransfers(sessionID, "channelUnavailable");
  };
  co_await onMainThread(std::move(failTransfers));
}

// --- Queries and stop ---

asio::awaitable<std::size_t> NetworkHostServer::clientCount() {
  if (!co_await isRunningOn(executor())) co_return co_await runOn(executor(), self()->clientCount());
  const auto keepAlive = self();
  co_return connections_.size();
}

asio::awaitable<void> NetworkHostServer::stop() {
  if (!co_await isRunningOn(executor())) {
    co_await runOn(executor(), self()->stop());
    co_return;
  }
  const auto keepAlive = self();
  ++stopCount_;
  auto oldListener = stopListening();

  // Handlers are cleared before cancelling, so no state report (and no removeConnection) follows; each receive
  // loop ends by itself when its pending receive fails.
  auto clients = std::move(connections_);
  connections_.clear();
  for (auto& [connectionID, client] : clients) {
    client->removed = true;
    client->connection->setStateHandler(nullptr);
    client->connection->cancel();
  }
  for (auto& [connectionID, client] : clients) {
    if (fileServer_) co_await fileServer_->revokeSession(client->transferSessionID);
    if (fileTransfers_) {
      std::function<void()> cancelTransfers = [coordinator = fileTransfers_, sessionID = client->transferSessionID] {
        coordinator->cancelTransfers(sessionID);
      };
      co_await onMainThread(std::move(cancelTransfers));
    }
  }
  std::function<void()> showNoClients = [store = metrics_] {
    if (auto metricsStore = store.lock()) metricsStore->connectedClients.set(0);
  };
  co_await onMainThread(std::move(showNoClients));
  if (onClientCountChange_) co_await onClientCountChange_(0);
  co_await finishStopping(std::move(oldListener));
  log(LogCategory::NET, "Server stopped");
}

}  // namespace veltrano
