#include "localserver/listening_server.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <string>

#include "base/actor.hpp"
#include "base/log_text.hpp"
#include "base/task.hpp"
#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "localserver/listener_parameters.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/tcp_listener.hpp"

namespace veltrano {

namespace asio = boost::asio;
using platform::NetworkState;

ListeningServer::ListeningServer(Strand executor, Configuration configuration)
    : port_(configuration.port),
      strand_(std::move(executor)),
      configuration_(std::move(configuration)),
      logClock_(configuration_.clock ? *configuration_.clock : systemClock()),
      connectionLogThrottle_(logClock_) {}

ListeningServer::~ListeningServer() {
  if (listener_) {
    listener_->setStateHandler(nullptr);
    listener_->setNewConnectionHandler(nullptr);
    listener_->cancel();
  }
  for (auto& [connectionID, connection] : pendingConnections_) {
    connection->setStateHandler(nullptr);
    connection->cancel();
  }
  closeServedConnections();
}

void ListeningServer::closeServedConnections() {
  auto served = std::move(servedConnections_);
  servedConnections_.clear();
  for (auto& [connectionID, weakConnection] : served) {
    if (auto connection = weakConnection.lock()) {
      connection->setStateHandler(nullptr);
      connection->cancel();
    }
  }
}

void ListeningServer::startReceiving(std::shared_ptr<platform::TcpConnection> connection, std::size_t maximumLength,
                                     ReceiveStep step, std::function<void()> onEnd) {
  startReceivingOn(strand_, std::move(connection), maximumLength, std::move(step), std::move(onEnd));
}

void ListeningServer::startReceivingOn(const Strand& sequence, std::shared_ptr<platform::TcpConnection> connection,
                                       std::size_t maximumLength, ReceiveStep step, std::function<void()> onEnd) {
  assertOnStrand(strand_);
  servedConnections_[connection->id()] = connection;
  std::weak_ptr<ListeningServer> weakServer = weak_from_this();
  Task::spawn(sequence, [weakServer, connection, maximumLength, step = std::move(step),
                        onEnd = std::move(onEnd)](TaskToken) -> asio::awaitable<void> {
    co_await receiveLoop(weakServer, connection, maximumLength, step, onEnd);
  });
}

asio::awaitable<void> ListeningServer::receiveLoop(std::weak_ptr<ListeningServer> weakServer,
                                                   std::shared_ptr<platform::TcpConnection> connection,
                                                   std::size_t maximumLength, ReceiveStep step,
                                                   std::function<void()> onEnd) {
  // Only the weak reference lives across the receive: the server is held while one result is handled.
  struct EndNotice {
    std::function<void()> onEnd;
    ~EndNotice() {
      if (onEnd) onEnd();
    }
  } endNotice{std::move(onEnd)};
  for (bool keepReceiving = true; keepReceiving;) {
    platform::TcpConnection::ReceiveResult received = co_await connection->receiveAsync(1, maximumLength);
    auto server = weakServer.lock();
    if (!server) co_return;
    keepReceiving = co_await step(*server, std::move(received));
    if (!keepReceiving) {
      // The loop may run on a sequence of its own: the table belongs to the server's strand.
      asio::dispatch(server->strand_, [server, connectionID = connection->id()] {
        server->servedConnections_.erase(connectionID);
      });
    }
  }
}


std::shared_ptr<platform::NetworkListener> ListeningServer::makeListener() const {
  auto parameters = localListenerParameters(configuration_.serviceClass);
  if (configuration_.makeListener) return configuration_.makeListener(port_, parameters);
  return platform::TcpListener::create(port_, parameters);
}

asio::awaitable<void> ListeningServer::start() {
  if (!co_await isRunningOn(strand_)) {
    co_await runOn(strand_, shared_from_this()->start());
    co_return;
  }
  if (listener_ && listenerIsReady_) co_return;
  if (listener_) {
    // waitUntilListenerStarts(): the outcome of the start in progress.
    Continuation<> waiter;
    startWaiters_.push_back(waiter);
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

  listener_ = created;
  listenerGeneration_ = generation;
  listenerIsReady_ = false;

  // start(): the waiter goes in before the listener_ starts, so its ready state cannot be missed.
  Continuation<> waiter;
  startWaiters_.push_back(waiter);
  created->start(sharedIo().executor());
  co_await waiter.wait();
}

void ListeningServer::handleListenerState(const NetworkState& state, const Uuid& generation) {
  assertOnStrand(strand_);
  if (!listenerGeneration_ || *listenerGeneration_ != generation) return;
  switch (state.kind) {
    case NetworkState::Kind::ready: {
      if (listenerIsReady_) return;
      listenerIsReady_ = true;
      const auto bound = listener_ ? listener_->port().value_or(port_) : port_;
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
  assertOnStrand(strand_);
  if (listener_) {
    listener_->setStateHandler(nullptr);
    listener_->setNewConnectionHandler(nullptr);
  }
  listener_.reset();
  listenerGeneration_.reset();
  listenerIsReady_ = false;
  listeningPort_ = 0;
}

void ListeningServer::resumeStartWaiters() {
  assertOnStrand(strand_);
  auto waiters = std::move(startWaiters_);
  startWaiters_.clear();
  for (auto& waiter : waiters) waiter.resume();
}

void ListeningServer::failStartWaiters(std::exception_ptr error) {
  assertOnStrand(strand_);
  auto waiters = std::move(startWaiters_);
  startWaiters_.clear();
  for (auto& waiter : waiters) waiter.resumeThrowing(error);
}

void ListeningServer::acceptConnection(std::shared_ptr<platform::TcpConnection> connection) {
  assertOnStrand(strand_);
  const ConnectionID connectionID = connection->id();
  pendingConnections_[connectionID] = connection;

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
  assertOnStrand(strand_);
  pendingConnections_.erase(connectionID);
  co_return;
}

std::shared_ptr<platform::NetworkListener> ListeningServer::stopListening() {
  assertOnStrand(strand_);
  auto oldListener = std::move(listener_);
  listener_.reset();
  listenerGeneration_.reset();
  listenerIsReady_ = false;
  listeningPort_ = 0;
  failStartWaiters(std::make_exception_ptr(CancellationError()));
  auto pending = std::move(pendingConnections_);
  pendingConnections_.clear();
  for (auto& [connectionID, connection] : pending) {
    connection->setStateHandler(nullptr);
    connection->cancel();
  }
  return oldListener;
}

asio::awaitable<void> ListeningServer::finishStopping(std::shared_ptr<platform::NetworkListener> oldListener) {
  assertOnStrand(strand_);
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
