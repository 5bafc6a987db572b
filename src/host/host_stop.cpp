// Stopping the host: the model becomes idle at once; the servers and captures close afterwards in the shutdown
// task, in a fixed order, which the next start waits for.
#include <fmt/format.h>

#include <utility>

#include "base/thread_checks.hpp"
#include "control/input_command_handler.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"

namespace veltrano {

void HostViewModel::stopServer(bool keepAutostart) {
  assertOnMainThread();
  if (!keepAutostart) pendingAutomaticStart = false;
  if (!metrics->isRunning.get() && !startupTask.get() && !startupResources.get()) return;
  const bool wasRunning = metrics->isRunning.get();

  const std::uint64_t generation = lifecycleGeneration.get() + 1;
  lifecycleGeneration.set(generation);
  log(LogCategory::HOST, fmt::format("Stopping Quorvantile (next generation {})", generation));

  if (auto startup = startupTask.get()) {
    startupTask.set({});
    startup.task.cancel();
  }
  isStarting.set(false);

  metricsTask.get().task.cancel();
  metricsTask.set({});
  idleCaptureStopTask.get().task.cancel();
  idleCaptureStopTask.set({});
  Task transition = captureTransitionTask.get().task;
  transition.cancel();
  captureTransitionTask.set({});
  std::vector<Task> retries;
  for (const auto& [displayID, retry] : captureRetryTasks.get()) {
    retry.task.cancel();
    retries.push_back(retry.task);
  }
  captureRetryTasks.set({});
  Task mediaProfile = mediaProfileTask.get().task;
  mediaProfile.cancel();
  mediaProfileTask.set({});

  std::optional<LocalServerResources> bundle =
      startupResources.get() ? startupResources.get() : currentLocalServerResources();
  assignAndNotify(startupResources, std::optional<LocalServerResources>());

  Task remoteStop = stopRemoteAccess();
  if (auto publisher = bonjour.get()) {
    bonjour.set(nullptr);
    publisher->stopPublication();
  }
  detachCommandHandler();
  assignAndNotify(server, {});
  assignAndNotify(audioServer, {});
  assignAndNotify(fileServer, {});
  assignAndNotify(displaySessions, {});

  localControlClientCount.set(0);
  remoteConnectedClientCount.set(0);
  wantsCapture.set(false);
  activeCaptureDisplayIDs.set({});
  isCaptureActive.set(false);
  captureTransitionInProgress.set(false);
  remoteConnectionRoutes.set({});
  remoteAccessStatus.set(localized("host.remote.stopped"));
  metrics->isCapturing.set(false);
  metrics->isRunning.set(false);
  metrics->startTime.set(std::nullopt);

  if (bundle) {
    Task previous = shutdownTask.get().task;
    shutdownTask.set({spawnOnMain([previous, transition, retries, mediaProfile, remoteStop, bundle = *bundle](TaskToken) {
      return runShutdown(previous, transition, retries, mediaProfile, remoteStop, bundle);
    })});
  }
  if (wasRunning) track(AnalyticsEvent::server_stopped);
}

Task HostViewModel::stopRemoteAccess() {
  const std::shared_ptr<RemoteHostCoordinator> coordinator = std::move(remoteCoordinator);
  remoteCoordinator.reset();
  if (!coordinator) return {};
  coordinator->onStatusChanged = nullptr;
  coordinator->onDevicesChanged = nullptr;
  coordinator->onRoutesChanged = nullptr;
  coordinator->onConnectedClientCountChanged = nullptr;
  coordinator->stopRemoteHost();
  return coordinator->stopTask();
}

std::optional<LocalServerResources> HostViewModel::currentLocalServerResources() const {
  assertOnMainThread();
  if (!server.get() || !audioServer.get() || !fileServer.get() || displaySessions.get().empty()) return std::nullopt;
  LocalServerResources bundle;
  bundle.generation = lifecycleGeneration.get();
  bundle.server = server.get();
  bundle.audioServer = audioServer.get();
  bundle.fileServer = fileServer.get();
  bundle.displaySessions = displaySessions.get();
  return bundle;
}

// Holds no reference to the model.
asio::awaitable<void> HostViewModel::runShutdown(Task previousShutdown, Task transition, std::vector<Task> retries,
                                                 Task mediaProfile, Task remoteStop, LocalServerResources bundle) {
  co_await previousShutdown.join();
  // The servers are handed back to the media only once remote access let go of them.
  co_await remoteStop.join();
  co_await transition.join();
  for (const auto& retry : retries) co_await retry.join();
  co_await mediaProfile.join();
  auto operation = tearDownResources(std::move(bundle));
  co_await std::move(operation);
}

asio::awaitable<void> HostViewModel::tearDownResources(LocalServerResources bundle) {
  auto teardown = bundle.teardown;
  // Named before the wait: GCC 12 mishandles a lambda converted inside a co_await expression.
  std::function<asio::awaitable<void>()> close = [bundle = std::move(bundle)] { return closeResources(bundle); };
  auto operation = teardown->run(std::move(close));
  co_await std::move(operation);
}

asio::awaitable<void> HostViewModel::closeResources(LocalServerResources bundle) {
  co_await bundle.server->stop();
  co_await bundle.fileServer->stop();
  // Every capture stops before any encoder, so no frame reaches an encoder that is closing.
  for (const auto& [displayID, session] : bundle.displaySessions) {
    HostCaptureService::StopHandler noHandler;
    auto operation = session.capture->setUnexpectedStopHandler(std::move(noHandler));
    co_await std::move(operation);
    co_await session.capture->stopCapture();
  }
  for (const auto& [displayID, session] : bundle.displaySessions) {
    co_await session.encoder->stopSession();
    co_await session.videoServer->resetStream();
    co_await session.videoServer->stop();
  }
  co_await bundle.audioServer->stop();
  log(LogCategory::HOST, fmt::format("Resources closed (generation {})", bundle.generation));
}

}  // namespace veltrano
