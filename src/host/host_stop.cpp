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
  if (!keepAutostart) pendingAutomaticStart_ = false;
  if (!metrics->isRunning.get() && !startupTask_.get() && !startupResources_.get()) return;
  const bool wasRunning = metrics->isRunning.get();

  const std::uint64_t generation = lifecycleGeneration_.get() + 1;
  lifecycleGeneration_.set(generation);
  log(LogCategory::HOST, fmt::format("Stopping Quorvantile (next generation {})", generation));

  if (auto startup = startupTask_.get()) {
    startupTask_.set({});
    startup.task.cancel();
  }
  isStarting_.set(false);

  metricsTask_.get().task.cancel();
  metricsTask_.set({});
  idleCaptureStopTask_.get().task.cancel();
  idleCaptureStopTask_.set({});
  Task transition = captureTransitionTask_.get().task;
  transition.cancel();
  captureTransitionTask_.set({});
  std::vector<Task> retries;
  for (const auto& [displayID, retry] : captureRetryTasks_.get()) {
    retry.task.cancel();
    retries.push_back(retry.task);
  }
  captureRetryTasks_.set({});
  Task mediaProfile = mediaProfileTask_.get().task;
  mediaProfile.cancel();
  mediaProfileTask_.set({});

  std::optional<LocalServerResources> bundle =
      startupResources_.get() ? startupResources_.get() : currentLocalServerResources();
  assignAndNotify(startupResources_, std::optional<LocalServerResources>());

  Task remoteStop = stopRemoteAccess();
  if (auto publisher = bonjour_.get()) {
    bonjour_.set(nullptr);
    publisher->stopPublication();
  }
  detachCommandHandler();
  assignAndNotify(server_, {});
  assignAndNotify(audioServer_, {});
  assignAndNotify(fileServer_, {});
  assignAndNotify(displaySessions_, {});

  localControlClientCount_.set(0);
  remoteConnectedClientCount_.set(0);
  wantsCapture_.set(false);
  activeCaptureDisplayIDs_.set({});
  isCaptureActive_.set(false);
  captureTransitionInProgress_.set(false);
  remoteConnectionRoutes_.set({});
  remoteAccessStatus_.set(localized("host.remote.stopped"));
  metrics->isCapturing.set(false);
  metrics->isRunning.set(false);
  metrics->startTime.set(std::nullopt);

  if (bundle) {
    Task previous = shutdownTask_.get().task;
    shutdownTask_.set(
        {spawnOnMain([previous, transition, retries, mediaProfile, remoteStop, bundle = *bundle](TaskToken) {
          return runShutdown(previous, transition, retries, mediaProfile, remoteStop, bundle);
        })});
  }
  if (wasRunning) track(AnalyticsEvent::server_stopped);
}

Task HostViewModel::stopRemoteAccess() {
  const std::shared_ptr<RemoteHostCoordinator> coordinator = std::move(remoteCoordinator_);
  remoteCoordinator_.reset();
  if (!coordinator) return {};
  coordinator->onStatusChanged = nullptr;
  coordinator->onRoutesChanged = nullptr;
  coordinator->onConnectedClientCountChanged = nullptr;
  coordinator->stopRemoteHost();
  return coordinator->stopTask();
}

std::optional<LocalServerResources> HostViewModel::currentLocalServerResources() const {
  assertOnMainThread();
  if (!server_.get() || !audioServer_.get() || !fileServer_.get() || displaySessions_.get().empty()) {
    return std::nullopt;
  }
  LocalServerResources bundle;
  bundle.generation = lifecycleGeneration_.get();
  bundle.server = server_.get();
  bundle.audioServer = audioServer_.get();
  bundle.fileServer = fileServer_.get();
  bundle.displaySessions = displaySessions_.get();
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
