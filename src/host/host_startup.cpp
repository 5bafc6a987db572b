// Starting the host: the start-up task, the display list with its retries, the servers in their order, the
// Bonjour publication and the commit; a failure closes what was built and reports one reason word.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <utility>

#include "base/main_thread_call.hpp"
#include "base/thread_checks.hpp"
#include "control/input_command_handler.hpp"
#include "core/app_logger.hpp"
#include "core/local_ports.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "host/host_view_model.hpp"

namespace veltrano {
namespace {

// Waits after the failed display-list attempts 0 to 3.
constexpr std::array<Clock::Duration, 4> displayLoadRetryDelays = {
    std::chrono::milliseconds(250), std::chrono::milliseconds(500), std::chrono::seconds(1), std::chrono::seconds(2)};

asio::awaitable<void> reportFileChannelLost(std::weak_ptr<HostControlServer> weak, std::string sessionID) {
  if (auto control = weak.lock()) {
    auto operation = control->fileChannelLost(std::move(sessionID));
    co_await std::move(operation);
  }
}

asio::awaitable<void> forwardFileData(std::weak_ptr<RemoteFileTransferCoordinator> weak, std::string sessionID,
                                      Bytes record) {
  if (auto transfers = weak.lock()) {
    auto operation = transfers->handleIncomingChunk(std::move(record), std::move(sessionID));
    co_await std::move(operation);
  }
}

}  // namespace

void HostViewModel::startServer() {
  assertOnMainThread();
  if (metrics->isRunning.get() || startupTask_.get()) return;
  if (!hasAllPermissions()) {
    metrics->lastError.set(localized("host.error.permissions_missing"));
    track(AnalyticsEvent::server_start_failed, "permissions");
    log(LogCategory::Error, "start blocked: missing permissions");
    return;
  }
  const std::uint64_t generation = lifecycleGeneration_.get() + 1;
  lifecycleGeneration_.set(generation);
  Task previousShutdown = shutdownTask_.get().task;

  metrics->resetSessionCounters();
  metrics->isRunning.set(false);
  metrics->startTime.set(std::nullopt);
  metrics->port.set(localPorts::control);
  metrics->audioPort.set(localPorts::audio);
  metrics->localIP.set(MetricsStore::localIPv4Address().value_or(MetricsStore::placeholder));

  isStarting_.set(true);
  log(LogCategory::HOST, fmt::format("Starting Quorvantile (generation {})", generation));

  Weak weak = weak_from_this();
  startupTask_.set({spawnOnMain([weak, generation, previousShutdown](TaskToken token) {
    return runStartup(weak, generation, previousShutdown, std::move(token));
  })});
}

asio::awaitable<void> HostViewModel::runStartup(Weak weak, std::uint64_t generation, Task previousShutdown,
                                                TaskToken token) {
  if (previousShutdown) co_await previousShutdown.join();
  {
    auto self = weak.lock();
    if (!self || self->lifecycleGeneration_.get() != generation || token->isCancelled()) co_return;
    if (self->shutdownTask_.get()) self->shutdownTask_.set({});
  }
  auto operation = startLocalServices(weak, generation, token);
  co_await std::move(operation);
}

std::shared_ptr<HostViewModel> HostViewModel::checkedStartup(const Weak& weak, std::uint64_t generation,
                                                             const TaskToken& token) {
  auto self = weak.lock();
  if (!self || token->isCancelled() || self->lifecycleGeneration_.get() != generation) throw CancellationError();
  return self;
}

asio::awaitable<void> HostViewModel::startLocalServices(Weak weak, std::uint64_t generation, TaskToken token) {
  std::optional<LocalServerResources> bundle;
  std::optional<ServerStartupError> failure;
  std::exception_ptr otherError;
  try {
    const std::shared_ptr<HostServiceFactory> services = checkedStartup(weak, generation, token)->services_;
    try {
      auto operation = services->checkAccountKey();
      co_await std::move(operation);
    } catch (...) {
      throw ServerStartupError::accountKey(std::current_exception());
    }
    checkedStartup(weak, generation, token);
    std::vector<DisplayInfo> displays;
    try {
      auto operation = loadAvailableDisplays(weak, token);
      displays = co_await std::move(operation);
    } catch (...) {
      throw ServerStartupError::screenCapture(std::current_exception());
    }
    std::uint32_t activeDisplayID = 0;
    {
      auto self = checkedStartup(weak, generation, token);
      if (displays.empty()) throw ServerStartupError::noDisplays();
      std::sort(displays.begin(), displays.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
      const auto mainID = self->services_->mainDisplayID();
      const bool mainListed =
          mainID && std::any_of(displays.begin(), displays.end(), [&](const auto& d) { return d.id == *mainID; });
      activeDisplayID = mainListed ? *mainID : displays.front().id;
      bundle = self->buildResources(generation, displays, activeDisplayID);
    }

    // The map is ordered by display identifier: sessions are wired and started in ascending order.
    const DisplaySessions sessions = bundle->displaySessions;
    for (const auto& [displayID, session] : sessions) {
      auto linkEncoder = session.encoder->setServer(session.videoServer);
      co_await std::move(linkEncoder);
      auto linkServer = session.videoServer->setEncoder(session.encoder);
      co_await std::move(linkServer);
      auto handler = checkedStartup(weak, generation, token)->captureStopHandler(session, generation);
      auto installHandler = session.capture->setUnexpectedStopHandler(std::move(handler));
      co_await std::move(installHandler);
      checkedStartup(weak, generation, token);
    }
    checkedStartup(weak, generation, token)->publishDisplayState(displays, sessions, activeDisplayID);

    try {
      co_await bundle->fileServer->start();
    } catch (...) {
      throw ServerStartupError::file(std::current_exception());
    }
    checkedStartup(weak, generation, token);
    try {
      co_await bundle->audioServer->start();
    } catch (...) {
      throw ServerStartupError::audio(std::current_exception());
    }
    checkedStartup(weak, generation, token);
    for (const auto& [displayID, session] : sessions) {
      try {
        co_await session.videoServer->start();
      } catch (...) {
        throw ServerStartupError::video(session.videoPort, std::current_exception());
      }
      checkedStartup(weak, generation, token);
    }

    checkedStartup(weak, generation, token)->installLocalServers(*bundle, activeDisplayID);
    try {
      co_await bundle->server->start();
    } catch (...) {
      throw ServerStartupError::control(std::current_exception());
    }

    std::shared_ptr<HostBonjourPublisher> publisher;
    std::string serviceName;
    {
      auto self = checkedStartup(weak, generation, token);
      serviceName = self->bonjourServiceName();
      publisher = self->services_->makeBonjourPublisher();
      self->bonjour_.set(publisher);
    }
    try {
      auto operation = publisher->start(token, serviceName, localPorts::control, bonjourTimeout);
      co_await std::move(operation);
    } catch (...) {
      throw ServerStartupError::bonjour(std::current_exception());
    }
    checkedStartup(weak, generation, token)->commitStartup(generation);
    co_return;
  } catch (const ServerStartupError& error) {
    failure = error;
  } catch (...) {
    otherError = std::current_exception();
  }
  if (otherError) {
    // In practice the cancellation of a check: reported only by a start that is still current.
    auto self = weak.lock();
    if (self && self->lifecycleGeneration_.get() == generation && !token->isCancelled()) {
      failure = ServerStartupError::control(otherError);
    }
  }
  auto operation = handleStartupFailure(weak, generation, std::move(bundle), std::move(failure));
  co_await std::move(operation);
}

asio::awaitable<std::vector<DisplayInfo>> HostViewModel::loadAvailableDisplays(Weak weak, TaskToken token) {
  for (int attempt = 0;; ++attempt) {
    std::exception_ptr failure;
    Clock* clock = nullptr;
    try {
      auto self = weak.lock();
      if (!self) throw CancellationError();
      clock = &self->clock_;
      if (self->availableDisplaysProvider) {
        auto provider = self->availableDisplaysProvider;
        auto metrics = self->metrics;
        self.reset();
        auto operation = provider(std::move(metrics));
        co_return co_await std::move(operation);
      }
      auto lister = self->services_->makeCaptureService(self->metrics, nullptr, nullptr, nullptr, true);
      self.reset();
      co_return co_await lister->availableDisplays();
    } catch (...) {
      failure = std::current_exception();
    }
    if (attempt == displayLoadAttempts - 1) std::rethrow_exception(failure);
    {
      auto self = weak.lock();
      if (!self || !self->readScreenRecording()) std::rethrow_exception(failure);
    }
    co_await sleepFor(token, *clock, displayLoadRetryDelays[static_cast<std::size_t>(attempt)]);
  }
}

LocalServerResources HostViewModel::buildResources(std::uint64_t generation, const std::vector<DisplayInfo>& displays,
                                                   std::uint32_t activeDisplayID) {
  assertOnMainThread();
  LocalServerResources bundle;
  bundle.generation = generation;
  bundle.fileServer = services_->makeFileServer(localPorts::file);
  bundle.server =
      services_->makeControlServer({localPorts::control, commandHandler(), metrics, bundle.fileServer, fileTransfers});
  Weak weak = weak_from_this();
  bundle.server->setOnClientCountChange([weak, generation](std::int64_t count) {
    return onMainThread(updateLocalClientCount(weak, generation, count));
  });
  std::weak_ptr<HostControlServer> weakControl = bundle.server;
  std::weak_ptr<RemoteFileTransferCoordinator> weakTransfers = fileTransfers;
  bundle.fileServer->setHandlers(
      [weakControl](std::string sessionID) { return reportFileChannelLost(weakControl, std::move(sessionID)); },
      [weakTransfers](std::string sessionID, Bytes record) {
        return forwardFileData(weakTransfers, std::move(sessionID), std::move(record));
      });
  bundle.audioServer = services_->makeAudioServer(localPorts::audio, metrics);
  for (std::size_t index = 0; index < displays.size(); ++index) {
    const auto& display = displays[index];
    DisplaySession session;
    session.displayID = display.id;
    session.videoPort = static_cast<std::uint16_t>(firstDisplayVideoPort + index);
    session.encoder = services_->makeVideoEncoder(metrics);
    session.videoServer = services_->makeVideoServer(session.videoPort, metrics);
    session.capture = services_->makeCaptureService(metrics, session.encoder, session.videoServer, bundle.audioServer,
                                                    display.id == activeDisplayID);
    bundle.displaySessions.emplace(display.id, std::move(session));
  }
  assignAndNotify(startupResources_, std::optional<LocalServerResources>(bundle));
  return bundle;
}

void HostViewModel::publishDisplayState(const std::vector<DisplayInfo>& displays, const DisplaySessions& sessions,
                                        std::uint32_t activeDisplayID) {
  assertOnMainThread();
  metrics->activeDisplayID.set(activeDisplayID);
  auto active = sessions.find(activeDisplayID);
  metrics->videoPort.set(active != sessions.end() ? active->second.videoPort : localPorts::video);
  std::vector<DisplayInfo> published = displays;
  for (auto& display : published) {
    auto found = sessions.find(display.id);
    display.videoPort = found != sessions.end() ? found->second.videoPort : 0;
  }
  metrics->availableDisplays.set(published);
  auto activeDisplay =
      std::find_if(displays.begin(), displays.end(), [&](const auto& d) { return d.id == activeDisplayID; });
  if (activeDisplay == displays.end()) return;
  metrics->hostWidth.set(activeDisplay->width);
  metrics->hostHeight.set(activeDisplay->height);
  metrics->displayInfo.set(localizedFormat("host.display.waiting_format", activeDisplay->name,
                                           std::int64_t{activeDisplay->width}, std::int64_t{activeDisplay->height}));
  pointInputAt(services_->displayBounds(activeDisplayID));
  std::vector<std::string> items;
  for (const auto& [displayID, session] : sessions)
    items.push_back(fmt::format("id={} port={}", displayID, session.videoPort));
  std::sort(items.begin(), items.end());
  log(LogCategory::SCREEN,
      fmt::format("===VL=== DISPLAYS: sesiones creadas={} [{}]", sessions.size(), fmt::join(items, " | ")));
}

void HostViewModel::installLocalServers(const LocalServerResources& bundle, std::uint32_t activeDisplayID) {
  assertOnMainThread();
  assignAndNotify(server_, bundle.server);
  assignAndNotify(audioServer_, bundle.audioServer);
  assignAndNotify(fileServer_, bundle.fileServer);
  assignAndNotify(displaySessions_, bundle.displaySessions);
  commandHandlerGeneration_ = bundle.generation;
  auto& handler = commandHandler();
  handler->setBroadcaster(bundle.server->broadcaster());
  if (auto active = displaySession(activeDisplayID)) handler->setActiveEncoder(active->encoder->keyframeTarget());
}

std::string HostViewModel::bonjourServiceName() const {
  assertOnMainThread();
  return localizedFormat("host.bonjour.name_format", computerName_());
}

void HostViewModel::commitStartup(std::uint64_t generation) {
  assertOnMainThread();
  assignAndNotify(startupResources_, std::optional<LocalServerResources>());
  metrics->isRunning.set(true);
  metrics->startTime.set(MetricsStore::Clock::now());
  isStarting_.set(false);
  startRemoteAccess(generation);
  track(AnalyticsEvent::server_started);
  log(LogCategory::HOST, fmt::format("Quorvantile ready (generation {})", generation));
  startMetricsTask(generation);
  if (startupTask_.get()) startupTask_.set({});
  updateCaptureDemand();
}

void HostViewModel::startRemoteAccess(std::uint64_t generation) {
  auto coordinator = RemoteHostCoordinator::create(metrics, commandHandler(), fileTransfers,
                                                   services_->remoteEnvironment(computerName_));
  installRemoteCoordinatorCallbacks(*coordinator, generation);
  coordinator->audioServer = audioServer_.get()->externalOutlet();
  coordinator->updateExternalMediaClients();
  // The sessions' table is ordered by display identifier.
  for (const auto& [displayID, session] : displaySessions_.get()) {
    coordinator->attachVideoServer(session.videoServer->externalOutlet(), displayID);
  }
  remoteCoordinator_ = coordinator;
  coordinator->startRemoteHost();
}

asio::awaitable<void> HostViewModel::handleStartupFailure(Weak weak, std::uint64_t generation,
                                                          std::optional<LocalServerResources> bundle,
                                                          std::optional<ServerStartupError> error) {
  if (auto self = weak.lock(); self && self->lifecycleGeneration_.get() == generation) {
    if (auto publisher = self->bonjour_.get()) {
      self->bonjour_.set(nullptr);
      publisher->stopPublication();
    }
    self->detachCommandHandler();
    assignAndNotify(self->server_, {});
    assignAndNotify(self->audioServer_, {});
    assignAndNotify(self->fileServer_, {});
    assignAndNotify(self->displaySessions_, {});
    self->activeCaptureDisplayIDs_.set({});
    self->isCaptureActive_.set(false);
    self->captureTransitionInProgress_.set(false);
    self->metrics->isRunning.set(false);
    self->metrics->isCapturing.set(false);
    self->metrics->startTime.set(std::nullopt);
    self->isStarting_.set(false);
    if (error) {
      if (error->kind() == ServerStartupError::Kind::screenCapture && !self->readScreenRecording()) {
        self->hasRequestedScreenRecording_ = true;
        self->showScreenRecordingRecoveryHelp_.set(true);
        self->metrics->screenRecordingStatus.set("missing");
        self->requiresPermissionGate_.set(true);
        self->startPermissionPolling();
      }
      self->metrics->lastError.set(error->errorDescription());
      self->track(AnalyticsEvent::server_start_failed, std::string(error->reasonWord()));
      log(LogCategory::Error, startupErrorText(*error));
    }
  }
  // Also when the start is no longer current: its bundle is closed once, by whoever comes first.
  if (bundle) {
    auto operation = tearDownResources(*bundle);
    co_await std::move(operation);
  }
  if (auto self = weak.lock(); self && self->lifecycleGeneration_.get() == generation) {
    assignAndNotify(self->startupResources_, std::optional<LocalServerResources>());
    if (self->startupTask_.get()) self->startupTask_.set({});
  }
}

}  // namespace veltrano
