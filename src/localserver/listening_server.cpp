#include "localserver/listening_server.hpp"

#include <boost/asio/post.hpp>

#include <string>

#include "base/actor.hpp"
#include "base/log_text.hpp"
#include "base/task.hpp"
#include "core/app_logger.hpp"
#include "localserver/listener_parameters.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/tcp_listener.hpp"

namespace veltrano {

namespace asio = boost::asio;
using platform::NetworkState;

ListeningServer::ListeningServer(Strand executor, Configuration configuration)
    : port(configuration.port),
      strand_(std::move(executor)),
      configuration_(std::move(configuration)),
      logClock_(configuration_.clock ? *configuration_.clock : systemClock()),
      connectionLogThrottle_(logClock_) {}

ListeningServer::~ListeningServer() {
  if (listener) {
    listener->setStateHandler(nullptr);
    listener->setNewConnectionHandler(nullptr);
    listener->cancel();
  }
  for (auto& [connectionID, connection] : pendingConnections) {
    connection->setStateHandler(nullptr);
    connection->cancel();
  }
}

asio::awaitable<void> ListeningServer::start() { co_await runOn(strand_, startOnExecutor()); }

std::shared_ptr<platform::NetworkListener> ListeningServer::makeListener() const {
  auto parameters = localListenerParameters(configuration_.serviceClass);
  if (configuration_.makeListener) return configuration_.makeListener(port, parameters);
  return platform::TcpListener::create(port, parameters);
}

asio::awaitable<void> ListeningServer::startOnExecutor() {
  if (listener && listenerIsReady) co_return;
  if (listener) {
    // waitUntilListenerStarts(): the outcome of the start in progress.
    Continuation<> waiter;
    startWaiters.push_back(waiter);
    co_await waiter.wait();
    co_return;
  }

  auto created = makeListener();  // a throw leaves the server without a listener
  const Uuid generation = Uuid::random();
  std::weak_ptr<ListeningServer> weakServer = weak_from_this();
  created->setStateHandler([weakServer, generation](const NetworkState& state) {
    auto server = weakServer.lock();
    if (!server) return;
    asio::post(server->strand_, [server, state, generation] { server->handleListenerState(state, generation); });
  });
  created->setNewConnectionHandler([weakServer](std::shared_ptr<platform::TcpConnection> connection) {
    auto server = weakServer.lock();
    if (!server) {
      connection->cancel();  // nobody will ever serve it
      return;
    }
    asio::post(server->strand_, [server, connection] { server->acceptConnection(connection); });
  });

  listener = created;
  listenerGeneration = generation;
  listenerIsReady = false;

  // start(): the waiter goes in before the listener starts, so its ready state cannot be missed.
  Continuation<> waiter;
  startWaiters.push_back(waiter);
  created->start(sharedIo().executor());
  co_await waiter.wait();
}

void ListeningServer::handleListenerState(const NetworkState& state, const Uuid& generation) {
  if (!listenerGeneration || *listenerGeneration != generation) return;
  switch (state.kind) {
    case NetworkState::Kind::ready: {
      if (listenerIsReady) return;
      listenerIsReady = true;
      const auto bound = listener ? listener->port().value_or(port) : port;
      listeningPort_ = bound;
      writeLogLine(configuration_.logLines.listening, std::to_string(bound));
      resumeStartWaiters();
      return;
    }
    case NetworkState::Kind::failed:
      writeLogLine(configuration_.logLines.listenerFailed, state.error.message());
      detachListener();
      failStartWaiters(std::make_exception_ptr(platform::NetworkError(state.error)));
      return;
    case NetworkState::Kind::cancelled:
      writeLogLine(configuration_.logLines.listenerCancelled);
      detachListener();
      failStartWaiters(std::make_exception_ptr(CancellationError()));
      return;
    case NetworkState::Kind::setup:
    case NetworkState::Kind::preparing:
    case NetworkState::Kind::waiting:
      return;  // start() callers keep waiting
  }
}

void ListeningServer::detachListener() {
  if (listener) {
    listener->setStateHandler(nullptr);
    listener->setNewConnectionHandler(nullptr);
  }
  listener.reset();
  listenerGeneration.reset();
  listenerIsReady = false;
  listeningPort_ = 0;
}

void ListeningServer::resumeStartWaiters() {
  auto waiters = std::move(startWaiters);
  startWaiters.clear();
  for (auto& waiter : waiters) waiter.resume();
}

void ListeningServer::failStartWaiters(std::exception_ptr error) {
  auto waiters = std::move(startWaiters);
  startWaiters.clear();
  for (auto& waiter : waiters) waiter.resumeThrowing(error);
}

void ListeningServer::acceptConnection(std::shared_ptr<platform::TcpConnection> connection) {
  const ConnectionID connectionID = connection->id();
  pendingConnections[connectionID] = connection;

  std::weak_ptr<ListeningServer> weakServer = weak_from_this();
  // The connection is held weakly too: its own handler must not keep it alive.
  std::weak_ptr<platform::TcpConnection> weakConnection = connection;
  connection->setStateHandler([weakServer, weakConnection, connectionID](const NetworkState& state) {
    auto server = weakServer.lock();
    if (!server) return;
    switch (state.kind) {
      case NetworkState::Kind::ready: {
        auto ready = weakConnection.lock();
        if (!ready) return;
        Task::spawn(server->strand_, [server, ready, connectionID](TaskToken) -> asio::awaitable<void> {
          co_await server->authenticateConnection(ready, connectionID);
        });
        return;
      }
      case NetworkState::Kind::failed:
        server->writeConnectionLogLine("connectionFailed", server->configuration_.logLines.connectionFailed,
                                       state.error.message());
        break;
      case NetworkState::Kind::cancelled:
        server->writeConnectionLogLine("connectionClosed", server->configuration_.logLines.connectionClosed);
        break;
      case NetworkState::Kind::setup:
      case NetworkState::Kind::preparing:
      case NetworkState::Kind::waiting:
        return;
    }
    Task::spawn(server->strand_, [server, connectionID](TaskToken) -> asio::awaitable<void> {
      co_await server->removeConnection(connectionID);
    });
  });
  connection->start(sharedIo().executor());
}

asio::awaitable<void> ListeningServer::removeConnection(ConnectionID connectionID) {
  pendingConnections.erase(connectionID);
  co_return;
}

std::shared_ptr<platform::NetworkListener> ListeningServer::stopListening() {
  auto oldListener = std::move(listener);
  listener.reset();
  listenerGeneration.reset();
  listenerIsReady = false;
  listeningPort_ = 0;
  failStartWaiters(std::make_exception_ptr(CancellationError()));
  auto pending = std::move(pendingConnections);
  pendingConnections.clear();
  for (auto& [connectionID, connection] : pending) {
    connection->setStateHandler(nullptr);
    connection->cancel();
  }
  return oldListener;
}

asio::awaitable<void> ListeningServer::finishStopping(std::shared_ptr<platform::NetworkListener> oldListener) {
  if (!oldListener) co_return;
  oldListener->setNewConnectionHandler(nullptr);
  co_await cancelAndWait(std::move(oldListener), configuration_.listenerCancellationTimeout);
}

void ListeningServer::writeLogLine(const std::optional<ListenerLogLine>& line, std::string_view detail) const {
  if (!line) return;
  if (detail.empty()) {
    log(line->category, line->text);
  } else {
    log(line->category, [&] { return line->text + loggedText(detail); });
  }
}

void ListeningServer::writeConnectionLogLine(std::string_view kind, const std::optional<ListenerLogLine>& line,
                                             std::string_view detail) {
  if (!line) return;
  writeConnectionLogLine(kind, line->category, [&] { return line->text + loggedText(detail); });
}

void ListeningServer::writeConnectionLogLine(std::string_view kind, LogCategory category,
                                             const std::function<std::string()>& build) {
  connectionLogThrottle_.write(kind, category, build);
}

}  // namespace veltrano
