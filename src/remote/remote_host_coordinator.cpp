// The coordinator's lifecycle: start and stop of remote access, the signaling callbacks, the status texts, the
// device list, the media servers and the chain of their updates, and the reports to the host.
#include "remote/remote_host_coordinator.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "base/executors.hpp"
#include "base/thread_checks.hpp"
#include "control/main_thread_owned.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "remote/data_channel_labels.hpp"
#include "remote/remote_host_localized_strings.hpp"

namespace veltrano {

std::shared_ptr<RemoteHostCoordinator> RemoteHostCoordinator::create(
    std::shared_ptr<MetricsStore> metrics, std::shared_ptr<InputCommandHandler> commandHandler,
    std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers, RemoteHostEnvironment environment) {
  assertOnMainThread();
  return makeMainThreadOwned<RemoteHostCoordinator>(std::move(metrics), std::move(commandHandler),
                                                    std::move(fileTransfers), std::move(environment));
}

RemoteHostCoordinator::RemoteHostCoordinator(std::shared_ptr<MetricsStore> metrics,
                                             std::shared_ptr<InputCommandHandler> commandHandler,
                                             std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers,
                                             RemoteHostEnvironment environment)
    : metrics(std::move(metrics)),
      commandHandler(std::move(commandHandler)),
      mediaHub(std::make_shared<RemoteHostMediaHub>()),
      fileTransfers(std::move(fileTransfers)),
      environment_(std::move(environment)) {
  registerRemoteHostLocalizedStrings();
}

void RemoteHostCoordinator::startRemoteHost() {
  assertOnMainThread();
  if (signaling_) return;
  std::optional<VeltranoIdentity> identity;
  try {
    identity = environment_.loadIdentity();
  } catch (const std::exception& error) {
    lifecycleID_.reset();
    setStatus("host.remote.icloud_unavailable");
    log(LogCategory::Error, std::string("remote identity: ") + error.what());
    return;
  }
  std::string deviceID = hostDeviceID(*environment_.defaults);
  const Uuid lifecycleID = Uuid::random();
  lifecycleID_ = lifecycleID;
  RemoteSignalingLogin login{environment_.signalingEndpoint, std::move(*identity), std::move(deviceID), deviceName(),
                             std::string(signalingRole)};
  signaling_ = environment_.makeSignaling(std::move(login), signalingCallbacks(lifecycleID));
  startNetworkMonitor();
  Task::spawn(mainExecutor(), [signaling = signaling_](TaskToken) -> asio::awaitable<void> {
    co_await signaling->start();
  });
}

std::string RemoteHostCoordinator::deviceName() const {
  const std::string name = environment_.computerName ? environment_.computerName() : std::string();
  return signalingDeviceName(name);
}

SignalingClient::Callbacks RemoteHostCoordinator::signalingCallbacks(const Uuid& lifecycleID) {
  const Weak weak = weak_from_this();
  SignalingClient::Callbacks callbacks;
  callbacks.onState = [weak, lifecycleID](const SignalingClient::State& state) {
    enterMain(weak, lifecycleID, [state](RemoteHostCoordinator& self) { self.handleSignalingState(state); });
  };
  callbacks.onSignal = [weak, lifecycleID](const SignalingPayload& signal) {
    enterMain(weak, lifecycleID, [signal](RemoteHostCoordinator& self) { self.handleSignal(signal); });
  };
  callbacks.onICEServers = [weak, lifecycleID](const std::vector<SignalingICEServer>& servers) {
    enterMain(weak, lifecycleID, [servers](RemoteHostCoordinator& self) { self.handleICEServers(servers); });
  };
  return callbacks;
}

void RemoteHostCoordinator::enterMain(Weak weak, Uuid lifecycleID,
                                      std::function<void(RemoteHostCoordinator&)> handler) {
  // The check runs on the main thread: a call queued before a stop and run after it is dropped there.
  performOnMainRunLoop([weak = std::move(weak), lifecycleID, handler = std::move(handler)] {
    const auto self = weak.lock();
    if (!self || self->lifecycleID_ != lifecycleID) return;
    handler(*self);
  });
}

void RemoteHostCoordinator::stopRemoteHost() {
  assertOnMainThread();
  std::shared_ptr<RemoteSignaling> signaling = std::move(signaling_);
  signaling_.reset();
  fileTransfers->cancelAllTransfers();
  lifecycleID_.reset();
  stopNetworkMonitor();
  networkWasUnsatisfied_ = false;
  lastConnectedSignaling_ = 0;
  restartICEAfterConnection_.reset();
  for (auto& [sessionID, session] : sessions_) {
    session.connectLimit.cancel();
    endSessionInput(session);
    // Released with the table below, which closes its connection too: the tablet sees it end.
    session.peer->close();
  }
  sessions_.clear();
  mediaHub->removeAll();
  if (onRoutesChanged) onRoutesChanged({});
  if (onConnectedClientCountChanged) onConnectedClientCountChanged(0);
  iceServers_.clear();
  hasReceivedICEServers_ = false;
  pendingSignals_.clear();
  Task signalingStop;
  if (signaling) {
    signalingStop = Task::spawn(mainExecutor(), [signaling](TaskToken) -> asio::awaitable<void> {
      co_await signaling->stop();
    });
  }
  RemoteTransportUpdate release;
  for (auto& [displayID, server] : videoServers_) release.video.push_back({displayID, std::move(server), 0});
  videoServers_.clear();
  release.audioServer = std::move(audioServer);
  audioServer.reset();
  release.mediaHub = mediaHub;
  enqueueTransportUpdate(std::move(release));
  stopTask_ = Task::spawn(mainExecutor(), [signalingStop, update = transportUpdateTask_](TaskToken) -> asio::awaitable<void> {
    co_await signalingStop.join();
    co_await update.join();
  });
}

void RemoteHostCoordinator::attachVideoServer(std::shared_ptr<ExternalMediaOutlet> server, std::uint32_t displayID) {
  assertOnMainThread();
  videoServers_[displayID] = std::move(server);
  const std::string label = videoChannelLabel(displayID);
  for (auto& [sessionID, session] : sessions_) session.peer->openChannel(label, false);
  updateExternalMediaClients();
}

void RemoteHostCoordinator::updateExternalMediaClients() {
  assertOnMainThread();
  RemoteTransportUpdate update;
  update.mediaHub = mediaHub;
  for (const auto& [displayID, server] : videoServers_) {
    update.video.push_back({displayID, server, mediaHub->viewerCount(displayID)});
  }
  if (audioServer) {
    update.audioServer = audioServer;
    update.audioListenerCount = mediaHub->audioListenerCount();
  }
  enqueueTransportUpdate(std::move(update));
}

void RemoteHostCoordinator::enqueueTransportUpdate(RemoteTransportUpdate update) {
  assertOnMainThread();
  Task previous = transportUpdateTask_;
  transportUpdateTask_ =
      Task::spawn(mainExecutor(), [previous, update = std::move(update)](TaskToken token) {
        return chainTransportUpdate(previous, update, std::move(token));
      });
}

asio::awaitable<void> RemoteHostCoordinator::chainTransportUpdate(Task previous, RemoteTransportUpdate update,
                                                                  TaskToken token) {
  // One update at a time, in the order asked: the newest decides what the servers end with.
  co_await previous.join();
  if (token->isCancelled()) co_return;
  co_await applyTransportUpdate(std::move(update));
}

void RemoteHostCoordinator::reportConnectedClientCount() {
  assertOnMainThread();
  if (!onConnectedClientCountChanged) return;
  const auto connected = std::count_if(sessions_.begin(), sessions_.end(),
                                       [](const auto& entry) { return entry.second.isConnected; });
  onConnectedClientCountChanged(static_cast<std::int64_t>(connected));
}

void RemoteHostCoordinator::reportRoutes() {
  assertOnMainThread();
  if (!onRoutesChanged) return;
  std::vector<WebRTCRoute> routes;
  for (const auto& [sessionID, session] : sessions_) {
    if (session.route) routes.push_back(*session.route);
  }
  onRoutesChanged(routes);
}

void RemoteHostCoordinator::handleSignalingState(const SignalingClient::State& state) {
  using Kind = SignalingClient::State::Kind;
  switch (state.kind) {
    case Kind::stopped: setStatus("host.remote.stopped"); break;
    case Kind::connecting:
    case Kind::waitingToRetry: setStatus("host.remote.preparing"); break;
    case Kind::failed:
      log(LogCategory::NET, "REMOTE: signaling failed: " + state.failure);
      setStatus("host.remote.recovering");
      break;
    case Kind::connected:
      setStatus("host.remote.available");
      lastConnectedSignaling_ = std::max(lastConnectedSignaling_, state.connection);
      // Only a connection newer than the replaced one: the replaced one's own report may still arrive.
      if (restartICEAfterConnection_ && state.connection > *restartICEAfterConnection_) {
        restartICEAfterConnection_.reset();
        restartICEOnEverySession();
      }
      break;
  }
}

void RemoteHostCoordinator::setStatus(std::string_view key) {
  if (onStatusChanged) onStatusChanged(localized(key));
}

}  // namespace veltrano
