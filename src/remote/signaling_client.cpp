#include "remote/signaling_client.hpp"

#include <boost/asio/post.hpp>

#include "base/actor.hpp"
#include "remote/signaling_error.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

#ifndef VELTRANO_SIGNALING_URL
#error "VELTRANO_SIGNALING_URL must be defined by the build"
#endif

namespace veltrano {

namespace {

constexpr std::uint16_t goingAway = platform::webSocketCloseCode::goingAway;

Clock::Duration backOff(int failuresInARow) {
  // 1, 2, 4, 8, 16, then 30 seconds.
  const int exponent = std::min(failuresInARow, 5);
  return std::chrono::seconds(std::min(1 << exponent, 30));
}

std::int64_t millisecondsSinceEpoch() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

// Each step of a connection's run loop throws CancellationError once the loop was replaced or stopped, so that
// the loop never acts on what arrived afterwards.
asio::awaitable<Bytes> receiveMessage(const std::shared_ptr<platform::WebSocketConnection>& connection,
                                      const TaskToken& token) {
  // Text and binary frames are both taken as UTF-8 JSON.
  auto message = co_await connection->receive();
  token->checkCancellation();
  co_return std::move(message.data);
}

asio::awaitable<void> sendText(const std::shared_ptr<platform::WebSocketConnection>& connection,
                               const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  co_await connection->send(std::move(bytes));
}

asio::awaitable<void> open(const std::shared_ptr<platform::WebSocketConnection>& connection,
                           const TaskToken& token) {
  co_await connection->open();
  token->checkCancellation();
}

std::string caseFolded(const std::string& text) {
  std::string folded = text;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return folded;
}

}  // namespace

platform::WssEndpoint defaultSignalingEndpoint() {
  auto endpoint = platform::parseWssUrl(VELTRANO_SIGNALING_URL);
  return endpoint ? *endpoint : platform::WssEndpoint{};
}

std::vector<SignalingDevice> sortedSignalingDevices(const std::map<std::string, SignalingDevice>& devices) {
  std::vector<SignalingDevice> list;
  list.reserve(devices.size());
  for (const auto& [id, device] : devices) list.push_back(device);
  std::stable_sort(list.begin(), list.end(), [](const SignalingDevice& a, const SignalingDevice& b) {
    if (a.role != b.role) return a.role < b.role;
    return caseFolded(a.deviceName) < caseFolded(b.deviceName);
  });
  return list;
}

std::shared_ptr<SignalingClient> SignalingClient::create(platform::WssEndpoint endpoint, VeltranoIdentity identity,
                                                         std::string deviceID, std::string deviceName,
                                                         std::string role, Callbacks callbacks, Clock& clock,
                                                         platform::WebSocketOptions webSocket) {
  return std::shared_ptr<SignalingClient>(new SignalingClient(std::move(endpoint), std::move(identity),
                                                              std::move(deviceID), std::move(deviceName),
                                                              std::move(role), std::move(callbacks), clock,
                                                              std::move(webSocket)));
}

SignalingClient::SignalingClient(platform::WssEndpoint endpoint, VeltranoIdentity identity, std::string deviceID,
                                 std::string deviceName, std::string role, Callbacks callbacks, Clock& clock,
                                 platform::WebSocketOptions webSocket)
    : strand_(makeActorStrand()),
      endpoint_(std::move(endpoint)),
      identity_(std::move(identity)),
      deviceID_(std::move(deviceID)),
      deviceName_(std::move(deviceName)),
      role_(std::move(role)),
      callbacks_(std::move(callbacks)),
      clock_(clock),
      webSocketOptions_(std::move(webSocket)) {}

asio::awaitable<void> SignalingClient::start() {
  if (!co_await isRunningOn(strand_)) {
    auto operation = start();
    co_return co_await runOn(strand_, std::move(operation));
  }
  if (running_) co_return;
  running_ = true;
  spawnRunner();
}

asio::awaitable<void> SignalingClient::stop() {
  if (!co_await isRunningOn(strand_)) {
    auto operation = stop();
    co_return co_await runOn(strand_, std::move(operation));
  }
  running_ = false;
  Task runner = std::move(runner_);
  runner_ = Task();
  runner.cancel();
  if (socket_) {
    socket_->close(platform::webSocketCloseCode::normalClosure);
    socket_.reset();
  }
  // A replaced loop may still wait for its server to answer the close; it need not any more.
  std::vector<ReplacedRunner> replaced = std::move(replacedRunners_);
  replacedRunners_.clear();
  for (const auto& old : replaced) {
    if (old.connection) old.connection->abort();
  }
  // The run loops may be inside a receive or a handler: nothing of them may report once stop() has returned.
  if (runner) co_await runner.join();
  for (const auto& old : replaced) co_await old.task.join();
  devices_.clear();
  receivedSequences_.clear();
  if (callbacks_.onDevices) callbacks_.onDevices({});
  reportState(State::Kind::stopped);
}

asio::awaitable<std::uint64_t> SignalingClient::networkChanged() {
  if (!co_await isRunningOn(strand_)) {
    auto operation = networkChanged();
    co_return co_await runOn(strand_, std::move(operation));
  }
  if (!running_) co_return connection_;
  runner_.cancel();
  // The old connection's cleanup clears the field; its own close then finds the socket already closed.
  if (socket_) socket_->close(goingAway, "network changed");
  std::erase_if(replacedRunners_, [](const ReplacedRunner& old) { return old.task.isFinished(); });
  replacedRunners_.push_back({std::move(runner_), socket_});
  // Taken before the new loop starts: it may count its first attempt before this call returns.
  const std::uint64_t replaced = connection_;
  spawnRunner();
  co_return replaced;
}

asio::awaitable<void> SignalingClient::sendSignal(std::string to, std::string sessionID, std::string kind,
                                                  Bytes data) {
  if (!co_await isRunningOn(strand_)) {
    auto operation = sendSignal(std::move(to), std::move(sessionID), std::move(kind), std::move(data));
    co_return co_await runOn(strand_, std::move(operation));
  }
  if (!socket_) throw SignalingError(SignalingError::Kind::notConnectedToInternet);
  const Connection connection = socket_;
  // The number is used up even when sealing or sending fails.
  const std::uint64_t sequence = ++sequence_;
  const auto signal =
      makeSignalingOutgoingSignal(identity_, deviceID_, to, sessionID, kind, data, sequence, millisecondsSinceEpoch());
  const std::string text = encodeSignalingOutgoingSignal(signal);
  co_await sendText(connection, text);
}

void SignalingClient::setNetworkPathAvailable(bool available) {
  asio::post(strand_, [self = shared_from_this(), available] {
    self->networkPathAvailable_ = available;
    if (!available) return;
    for (const auto& waiter : std::exchange(self->pathWaiters_, {})) waiter.resume();
  });
}

asio::awaitable<void> SignalingClient::waitForNetworkPath(const TaskToken& token) {
  while (!networkPathAvailable_) {
    token->checkCancellation();
    const Continuation<> pathCame;
    pathWaiters_.push_back(pathCame);
    const auto hook = token->onCancel([pathCame] { pathCame.resume(); });
    co_await pathCame.wait();
    token->removeCancelHook(hook);
  }
  token->checkCancellation();
}

void SignalingClient::spawnRunner() {
  runner_ = Task::spawn(strand_, [self = shared_from_this()](TaskToken token) { return run(self, std::move(token)); });
}

asio::awaitable<void> SignalingClient::run(std::shared_ptr<SignalingClient> self, TaskToken token) {
  int failuresInARow = 0;
  while (self->running_ && !token->isCancelled()) {
    self->refreshIdentity();
    ++self->connection_;
    self->reportState(State::Kind::connecting);
    std::optional<Clock::TimePoint> authenticatedAt;
    std::string failure;
    try {
      co_await self->connectAndServe(token, authenticatedAt);
      failuresInARow = 0;
      continue;
    } catch (const CancellationError&) {
      co_return;
    } catch (const std::exception& error) {
      failure = error.what();
    }
    if (!self->running_ || token->isCancelled()) co_return;
    if (self->reconnectForIdentityChange_) {
      self->reconnectForIdentityChange_ = false;
      failuresInARow = 0;
      continue;
    }
    // Only a connection that stayed up for a heartbeat was healthy: a service that drops hosts right after
    // authenticating them still sees the waits grow.
    if (authenticatedAt && self->clock_.now() - *authenticatedAt >= heartbeatInterval) failuresInARow = 0;
    self->reportState(State::Kind::failed, failure);
    const Clock::Duration wait = backOff(failuresInARow);
    self->reportState(State::Kind::waitingToRetry);
    try {
      co_await self->clock_.sleepUntil(token, self->clock_.now() + wait);
    } catch (const CancellationError&) {
      // Interrupted: the loop's condition decides.
    }
    failuresInARow = std::min(failuresInARow, 5) + 1;
  }
}

asio::awaitable<SignalingEnvelope> SignalingClient::logIn(const Connection& connection, const TaskToken& token) {
  co_await open(connection, token);

  const Bytes first = co_await receiveMessage(connection, token);
  const SignalingChallenge challenge = decodeSignalingChallenge(first);
  if (!challenge.isAcceptable()) throw SignalingError(SignalingError::Kind::cannotParseResponse);

  const auto authentication = makeSignalingAuthentication(identity_, challenge, deviceID_, deviceName_, role_);
  const std::string authenticationText = encodeSignalingAuthentication(authentication);
  co_await sendText(connection, authenticationText);

  const Bytes reply = co_await receiveMessage(connection, token);
  SignalingEnvelope authenticated = decodeSignalingEnvelope(reply);
  if (authenticated.type != "authenticated") throw SignalingError(SignalingError::Kind::userAuthenticationRequired);
  co_return authenticated;
}

asio::awaitable<void> SignalingClient::connectAndServe(TaskToken token, std::optional<Clock::TimePoint>& authenticatedAt) {
  // With no network there is nothing to fail on yet: the attempt, and its time-out, begin once a path is there.
  co_await waitForNetworkPath(token);
  const Connection connection = std::make_shared<platform::WebSocketConnection>(strand_, endpoint_, webSocketOptions_);
  socket_ = connection;
  Task heartbeatTask;
  try {
    const SignalingEnvelope authenticated = co_await logIn(connection, token);
    authenticatedAt = clock_.now();
    replaceDevices(authenticated.devices);
    if (callbacks_.onICEServers) callbacks_.onICEServers(authenticated.iceServers.value_or(std::vector<SignalingICEServer>{}));
    lastICEServerRefresh_ = clock_.now();
    reportDevices();
    reportState(State::Kind::connected);

    heartbeatTask = Task::spawn(strand_, [weakSelf = weak_from_this(), connection](TaskToken heartbeatToken) {
      return heartbeat(weakSelf, connection, std::move(heartbeatToken));
    });

    while (running_ && !token->isCancelled()) {
      const Bytes message = co_await receiveMessage(connection, token);
      if (running_) handleEnvelope(decodeSignalingEnvelope(message));
    }
  } catch (...) {
    heartbeatTask.cancel();
    cleanUp(connection);
    throw;
  }
  heartbeatTask.cancel();
  cleanUp(connection);
}

void SignalingClient::cleanUp(const Connection& connection) {
  connection->close(goingAway);
  if (socket_ == connection) socket_.reset();
}

asio::awaitable<void> SignalingClient::heartbeat(std::weak_ptr<SignalingClient> weakSelf, Connection connection,
                                                 TaskToken token) {
  auto stillServing = [&](const std::shared_ptr<SignalingClient>& self) {
    return self && self->running_ && !token->isCancelled() && self->socket_ == connection && !connection->isClosed();
  };
  while (true) {
    Clock* clock = nullptr;
    {
      auto self = weakSelf.lock();
      if (!stillServing(self)) co_return;
      clock = &self->clock_;
    }
    try {
      co_await clock->sleepUntil(token, clock->now() + heartbeatInterval);
    } catch (const CancellationError&) {
      // An interrupted sleep counts as finished; the checks below end the task.
    }
    auto self = weakSelf.lock();
    if (!stillServing(self)) co_return;
    if (self->refreshIdentity()) {
      self->reconnectForIdentityChange_ = true;
      connection->close(goingAway, "identity refreshed");
      co_return;
    }
    const auto now = self->clock_.now();
    if (!self->lastICEServerRefresh_ || now - *self->lastICEServerRefresh_ >= iceServerRefreshInterval) {
      try {
        co_await sendText(connection, encodeSignalingTypeOnly("iceServers"));
      } catch (const std::exception&) {
      }
      self->lastICEServerRefresh_ = now;
    }
    try {
      co_await sendText(connection, encodeSignalingTypeOnly("ping"));
    } catch (const std::exception&) {
      // The receive side notices a dead connection.
    }
  }
}

bool SignalingClient::refreshIdentity() {
  std::optional<VeltranoIdentity> changed;
  try {
    changed = identity_.reloadIfChanged();
  } catch (const std::exception&) {
    return false;  // an unreadable key counts as no change
  }
  if (!changed) return false;
  identity_ = std::move(*changed);
  devices_.clear();
  receivedSequences_.clear();
  if (callbacks_.onDevices) callbacks_.onDevices({});
  return true;
}

void SignalingClient::handleEnvelope(const SignalingEnvelope& envelope) {
  if (envelope.type == "presence") {
    if (!envelope.device) return;
    if (envelope.state == "online") {
      devices_[envelope.device->deviceId] = *envelope.device;
    } else {
      devices_.erase(envelope.device->deviceId);
    }
    reportDevices();
  } else if (envelope.type == "presenceList") {
    replaceDevices(envelope.devices);
    reportDevices();
  } else if (envelope.type == "iceServers") {
    if (callbacks_.onICEServers) callbacks_.onICEServers(envelope.iceServers.value_or(std::vector<SignalingICEServer>{}));
  } else if (envelope.type == "signal") {
    auto payload = acceptSignal(envelope, identity_, deviceID_, receivedSequences_);
    if (payload && callbacks_.onSignal) callbacks_.onSignal(*payload);
  } else if (envelope.type == "error") {
    if (envelope.code == "peer_offline") reportDevices();
  }
}

void SignalingClient::replaceDevices(const std::optional<std::vector<SignalingDevice>>& devices) {
  devices_.clear();
  if (!devices) return;
  for (const auto& device : *devices) devices_[device.deviceId] = device;
}

void SignalingClient::reportDevices() const {
  if (callbacks_.onDevices) callbacks_.onDevices(sortedSignalingDevices(devices_));
}

void SignalingClient::reportState(State::Kind kind, std::string failure) const {
  if (callbacks_.onState) callbacks_.onState(State{kind, std::move(failure), connection_});
}

}  // namespace veltrano
