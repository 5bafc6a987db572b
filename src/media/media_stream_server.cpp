#include "media/media_stream_server.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <utility>

#include "base/actor.hpp"
#include "base/executors.hpp"
#include "base/log_text.hpp"
#include "core/app_logger.hpp"
#include "localserver/sealed_record_sender.hpp"
#include "transport/local_transport_handshake_driver.hpp"

namespace veltrano {

namespace {

constexpr auto congestionLogInterval = std::chrono::seconds(2);

std::string capitalized(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

ListenerLogLines logLinesFor(const std::string& name) {
  const auto title = capitalized(name);
  ListenerLogLines lines;
  lines.listening = ListenerLogLine{LogCategory::NET, title + " server listening on port "};
  lines.listenerFailed = ListenerLogLine{LogCategory::Error, title + " listener failed: "};
  lines.listenerCancelled = ListenerLogLine{LogCategory::NET, title + " listener cancelled"};
  lines.connectionFailed = ListenerLogLine{LogCategory::Error, title + " connection failed: "};
  lines.connectionClosed = ListenerLogLine{LogCategory::CLIENT, title + " client disconnected"};
  return lines;
}

ListeningServer::Configuration listenerConfiguration(std::uint16_t port, platform::ServiceClass serviceClass,
                                                     const std::string& name, Clock* clock) {
  ListeningServer::Configuration configuration;
  configuration.port = port;
  configuration.clock = clock;
  configuration.serviceClass = serviceClass;
  configuration.logLines = logLinesFor(name);
  return configuration;
}

}  // namespace

std::size_t MediaClient::waitingFrameCount() const {
  return static_cast<std::size_t>(std::count_if(queue.begin(), queue.end(), [](const MediaPacket& p) { return p.isFrame; }));
}

MediaStreamServer::MediaStreamServer(std::uint16_t port, std::weak_ptr<MetricsStore> metrics, Kind kind,
                                     MediaServerDependencies dependencies)
    : ListeningServer(makeActorStrand(), listenerConfiguration(port, kind.serviceClass, kind.name, dependencies.clock)),
      metrics_(std::move(metrics)),
      kind_(std::move(kind)),
      counters_(MetricsBatch<CounterIncrements>::create(executor(), metrics_)),
      identityProvider_(identityProviderOrAccountKeyFile(std::move(dependencies.identityProvider))),
      clock_(dependencies.clock ? dependencies.clock : &systemClock()),
      clientCountTally_(std::move(dependencies.clientCountTally)) {}

MediaStreamServer::~MediaStreamServer() {
  // A server dropped without a stop still closes its clients.
  for (auto& [connectionID, client] : clients_) {
    client->connection->setStateHandler(nullptr);
    client->connection->cancel();
  }
}

const MediaStreamServer::Clients& MediaStreamServer::clients() const {
  assertOnStrand(executor());
  return clients_;
}

int MediaStreamServer::externalClientCount() const {
  assertOnStrand(executor());
  return externalClientCount_;
}

bool MediaStreamServer::hasExternalPacketSink() const {
  assertOnStrand(executor());
  return static_cast<bool>(externalPacketSink_);
}

const ExternalPacketSink& MediaStreamServer::externalPacketSink() const {
  assertOnStrand(executor());
  return externalPacketSink_;
}

int MediaStreamServer::replaceExternalClients(int count, ExternalPacketSink sink) {
  assertOnStrand(executor());
  const int previous = externalClientCount_;
  externalClientCount_ = std::max(count, 0);
  externalPacketSink_ = externalClientCount_ > 0 ? std::move(sink) : ExternalPacketSink{};
  return previous;
}

asio::awaitable<void> MediaStreamServer::authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                                ConnectionID connectionID) {
  assertOnStrand(executor());
  auto pending = pendingConnections_.find(connectionID);
  if (pending == pendingConnections_.end() || pending->second != connection) co_return;

  std::shared_ptr<LocalTransportSession> session;
  std::string failure;
  try {
    const auto identity = identityProvider_();
    session = co_await serverHandshake(connection, kind_.channel, identity.privateKey());
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!session) {
    writeConnectionLogLine("authenticationFailed", LogCategory::Error,
                           [&] { return "Local " + kind_.name + " authentication failed: " + loggedText(failure); });
    pendingConnections_.erase(connectionID);
    connection->cancel();
    co_return;
  }

  // A stop may have run during the handshake.
  pending = pendingConnections_.find(connectionID);
  if (pending == pendingConnections_.end() || pending->second != connection) {
    connection->cancel();
    co_return;
  }
  pendingConnections_.erase(pending);

  auto client = makeClient();
  client->connection = connection;
  client->session = session;
  clients_[connectionID] = client;
  writeConnectionLogLine("authenticated", LogCategory::CLIENT, [&] { return "Authenticated local " + kind_.name + " client"; });
  clientJoined(client);
  pump(client);
  co_await publishClientCount();
  if (!isRegistered(client)) co_return;
  ReceiveStep step = [client](ListeningServer& server, platform::TcpConnection::ReceiveResult received) {
    return static_cast<MediaStreamServer&>(server).handleReceived(client, std::move(received));
  };
  startReceiving(client->connection, receiveChunkSize, std::move(step));
}

asio::awaitable<bool> MediaStreamServer::handleReceived(std::shared_ptr<MediaClient> client,
                                                        platform::TcpConnection::ReceiveResult received) {
  assertOnStrand(executor());
  // Clients send nothing on media connections: what arrives is opened, so that it is still authenticated, and
  // dropped. Anything that fails to open ends the connection.
  if (received.error || received.isComplete || received.content.empty()) {
    client->connection->cancel();
    co_await removeConnection(client->connection->id());
    co_return false;
  }
  if (!isRegistered(client)) co_return false;
  bool rejected = false;
  try {
    (void)client->session->open(received.content);
  } catch (const std::exception&) {
    rejected = true;
  }
  if (rejected) {
    writeConnectionLogLine("recordRejected", LogCategory::Error,
                           [&] { return "Closing local " + kind_.name + " connection: secure record rejected"; });
    client->connection->cancel();
    co_await removeConnection(client->connection->id());
    co_return false;
  }
  co_return isRegistered(client);
}

asio::awaitable<void> MediaStreamServer::removeConnection(ConnectionID connectionID) {
  assertOnStrand(executor());
  pendingConnections_.erase(connectionID);
  auto found = clients_.find(connectionID);
  if (found == clients_.end()) co_return;
  clients_.erase(found);
  co_await publishClientCount();
}

bool MediaStreamServer::isRegistered(const std::shared_ptr<MediaClient>& client) const {
  assertOnStrand(executor());
  auto found = clients_.find(client->connection->id());
  return found != clients_.end() && found->second == client;
}

void MediaStreamServer::enqueue(const std::shared_ptr<MediaClient>& client, MediaPacket packet) {
  assertOnStrand(executor());
  client->queue.push_back(std::move(packet));
  pump(client);
}

void MediaStreamServer::pump(const std::shared_ptr<MediaClient>& client) {
  assertOnStrand(executor());
  if (client->sendInFlight || client->queue.empty()) return;
  auto packet = std::move(client->queue.front());
  client->queue.pop_front();

  // Sealed only now, as its turn comes, so a slow client costs the host at most its few waiting packets.
  const std::size_t recordSize = packet.envelope->size() + LocalTransportSession::recordOverhead;
  auto weakServer = std::weak_ptr<MediaStreamServer>(std::static_pointer_cast<MediaStreamServer>(shared_from_this()));
  std::weak_ptr<MediaClient> weakClient = client;
  auto completion = [weakServer, weakClient, recordSize](boost::system::error_code error) {
    auto server = weakServer.lock();
    if (!server) return;
    asio::post(server->executor(), [server, weakClient, recordSize, error] {
      if (auto sent = weakClient.lock()) server->sendCompleted(sent, recordSize, error);
    });
  };
  if (sendSealedRecord(*client->connection, *client->session, *packet.envelope,
                       platform::TcpConnection::SendPath::queued, std::move(completion)) == 0) {
    client->queue.clear();  // the connection was cancelled; its cancelled state removes the client
    return;
  }
  client->sendInFlight = true;
}

void MediaStreamServer::sendCompleted(const std::shared_ptr<MediaClient>& client, std::size_t recordSize,
                                      boost::system::error_code error) {
  client->sendInFlight = false;
  if (error) {
    if (error != asio::error::operation_aborted) {
      log(LogCategory::Error, [&] { return capitalized(kind_.name) + " send failed: " + error.message(); });
    }
    client->queue.clear();
    client->connection->cancel();
    return;
  }
  addToCounter(kind_.bytesSentMetric, static_cast<std::int64_t>(recordSize));
  if (isRegistered(client)) pump(client);
}

MediaStreamServer::SinkOutcome MediaStreamServer::offerToExternalSink(const Bytes& envelope) {
  assertOnStrand(executor());
  if (!externalPacketSink_) return SinkOutcome::noSink;
  auto sink = externalPacketSink_;  // keeps the sink alive while it runs
  bool accepted = false;
  try {
    accepted = sink(envelope);
  } catch (const std::exception&) {
    accepted = false;
  }
  if (accepted) {
    addToCounter(kind_.bytesSentMetric, static_cast<std::int64_t>(envelope.size()));
    return SinkOutcome::accepted;
  }
  countDropped(1);
  const auto now = clock_->now();
  if (!lastCongestionLogAt_ || now - *lastCongestionLogAt_ >= congestionLogInterval) {
    lastCongestionLogAt_ = now;
    log(LogCategory::NET, [&] {
      return "Remote " + kind_.name + " congestion on port " + std::to_string(configuredPort()) + ": envelope dropped";
    });
  }
  return SinkOutcome::refused;
}

void MediaStreamServer::addToCounter(CounterField field, std::int64_t amount) const {
  if (amount == 0) return;
  counters_->update([field, amount](CounterIncrements& pending) { pending.add(field, amount); });
}

void MediaStreamServer::CounterIncrements::add(CounterField field, std::int64_t amount) {
  for (auto& [pendingField, pendingAmount] : amounts) {
    if (pendingField == field) {
      pendingAmount += amount;
      return;
    }
  }
  amounts.emplace_back(field, amount);
}

void MediaStreamServer::CounterIncrements::applyTo(MetricsStore& store) const {
  for (const auto& [field, amount] : amounts) (store.*field).set((store.*field).get() + amount);
}

void MediaStreamServer::countDropped(std::int64_t amount) const { addToCounter(kind_.framesDroppedMetric, amount); }

void MediaStreamServer::storeClientCount(int total) const {
  performOnMainRunLoop([weakMetrics = metrics_, field = kind_.clientsMetric, tally = clientCountTally_,
                        key = static_cast<const void*>(this), total] {
    auto store = weakMetrics.lock();
    if (!store) return;
    ((*store).*field).set(tally ? tally->update(key, total) : total);  // an equal value notifies nobody
  });
}

asio::awaitable<void> MediaStreamServer::publishClientCount() {
  if (!co_await isRunningOn(executor())) co_return co_await runOn(executor(), publishClientCount());
  const int total = static_cast<int>(clients_.size()) + std::max(externalClientCount_, 0);
  viewerCount_ = total;
  storeClientCount(total);
  if (clientCountHandler_) clientCountHandler_(total);
}

asio::awaitable<void> MediaStreamServer::setClientCountHandler(ClientCountHandler handler) {
  co_await runOn(executor(), [](MediaStreamServer* self, ClientCountHandler h) -> asio::awaitable<void> {
    self->clientCountHandler_ = std::move(h);
    co_return;
  }(this, std::move(handler)));
}

asio::awaitable<void> MediaStreamServer::stop() {
  if (!co_await isRunningOn(executor())) co_return co_await runOn(executor(), stop());
  auto oldListener = stopListening();
  auto taken = std::move(clients_);
  clients_.clear();
  for (auto& [connectionID, client] : taken) {
    client->connection->setStateHandler(nullptr);  // no closed-connection line, no removal of its own
    client->connection->cancel();
    client->queue.clear();
  }
  externalPacketSink_ = nullptr;
  forgetStreamState();
  viewerCount_ = 0;
  storeClientCount(0);
  if (clientCountHandler_) clientCountHandler_(0);
  co_await finishStopping(std::move(oldListener));
  log(LogCategory::NET, [&] { return capitalized(kind_.name) + " server stopped"; });
}

}  // namespace veltrano
