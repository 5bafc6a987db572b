// Capture on demand: whether capture is wanted, the start and stop transitions over every display (one at a
// time), the delayed stop after the last client left, and what happens when a capture stops by itself.
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "base/main_thread_call.hpp"
#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/server_startup_error.hpp"

namespace veltrano {

void HostViewModel::updateCaptureDemand() {
  assertOnMainThread();
  const bool wanted =
      metrics->isRunning.get() && (localControlClientCount_.get() >= 1 || remoteConnectedClientCount_.get() > 0);
  wantsCapture_.set(wanted);
  if (!wanted) {
    if (!isCaptureActive_.get() || captureTransitionInProgress_.get() || idleCaptureStopTask_.get()) return;
    Weak weak = weak_from_this();
    Clock* clock = &clock_;
    const std::uint64_t generation = lifecycleGeneration_.get();
    idleCaptureStopTask_.set({spawnOnMain([weak, generation, clock](TaskToken token) {
      return runIdleCaptureStop(weak, generation, clock, std::move(token));
    })});
    return;
  }
  if (auto idle = idleCaptureStopTask_.get()) {
    idle.task.cancel();
    idleCaptureStopTask_.set({});
  }
  if (captureTransitionInProgress_.get() || displaySessions_.get().empty()) return;
  if (!isCaptureActive_.get() && captureRetryTasks_.get().empty()) {
    beginCaptureTransition(true);
    return;
  }
  // A display whose retry ended during a short gap in demand would otherwise wait until all capture stops.
  const DisplaySessions sessions = displaySessions_.get();
  for (const auto& [displayID, session] : sessions) {
    if (!activeCaptureDisplayIDs_.get().contains(displayID) && !captureRetryTasks_.get().contains(displayID)) {
      scheduleCaptureRetry(session, lifecycleGeneration_.get());
    }
  }
}

asio::awaitable<void> HostViewModel::runIdleCaptureStop(Weak weak, std::uint64_t generation, Clock* clock,
                                                        TaskToken token) {
  try {
    co_await sleepFor(token, *clock, idleCaptureStopDelay);
  } catch (const CancellationError&) {
    // Checked below.
  }
  auto self = weak.lock();
  if (!self || token->isCancelled() || self->lifecycleGeneration_.get() != generation) co_return;
  self->idleCaptureStopTask_.set({});
  if (!self->wantsCapture_.get() && self->isCaptureActive_.get() && !self->captureTransitionInProgress_.get()) {
    self->beginCaptureTransition(false);
  }
}

void HostViewModel::beginCaptureTransition(bool start) {
  assertOnMainThread();
  captureTransitionInProgress_.set(true);
  stoppedDuringTransition_.clear();
  const std::uint64_t generation = lifecycleGeneration_.get();
  std::vector<DisplaySession> sessions;
  for (const auto& [displayID, session] : displaySessions_.get()) sessions.push_back(session);
  const std::uint32_t activeDisplayID = metrics->activeDisplayID.get();
  captureTransitionTask_.get().task.cancel();
  Weak weak = weak_from_this();
  captureTransitionTask_.set({spawnOnMain([weak, start, generation, sessions, activeDisplayID](TaskToken token) {
    return runCaptureTransition(weak, start, generation, sessions, activeDisplayID, std::move(token));
  })});
}

asio::awaitable<void> HostViewModel::runCaptureTransition(Weak weak, bool start, std::uint64_t generation,
                                                          std::vector<DisplaySession> sessions,
                                                          std::uint32_t activeDisplayID, TaskToken token) {
  const auto current = [&weak, &token, generation] {
    auto self = weak.lock();
    return self && !token->isCancelled() && self->lifecycleGeneration_.get() == generation ? self : nullptr;
  };
  std::set<std::uint32_t> started;
  std::vector<std::pair<DisplaySession, std::string>> failures;
  for (const auto& session : sessions) {
    if (!current()) co_return;
    if (!start) {
      co_await session.capture->stopCapture();
      co_await session.encoder->stopSession();
      co_await session.videoServer->resetStream();
      continue;
    }
    std::exception_ptr error;
    try {
      co_await session.capture->startCapture(session.displayID);
    } catch (...) {
      error = std::current_exception();
    }
    auto self = weak.lock();
    if (!error) {
      started.insert(session.displayID);
      // A stop reported before this start no longer counts.
      if (self) self->stoppedDuringTransition_.erase(session.displayID);
      continue;
    }
    const std::string description = localizedDescription(error);
    if (self) {
      self->track(AnalyticsEvent::server_start_failed, "capture");
      log(LogCategory::Error, fmt::format("capture start failed for display {}: {}", session.displayID, description));
    }
    failures.emplace_back(session, description);
  }
  if (auto self = current()) self->recordCaptureTransition(start, generation, std::move(started), activeDisplayID, failures);
}

void HostViewModel::recordCaptureTransition(bool start, std::uint64_t generation, std::set<std::uint32_t> started,
                                            std::uint32_t activeDisplayID,
                                            const std::vector<std::pair<DisplaySession, std::string>>& failures) {
  assertOnMainThread();
  captureTransitionTask_.set({});
  captureTransitionInProgress_.set(false);
  const std::size_t startedCount = started.size();
  // A display whose capture stopped while the transition visited the others is not capturing.
  if (start) {
    for (const auto displayID : stoppedDuringTransition_) started.erase(displayID);
  } else {
    started.clear();
  }
  stoppedDuringTransition_.clear();
  setActiveCaptureDisplays(std::move(started));

  auto active = displaySession(activeDisplayID);
  if (isCaptureActive_.get() && active) {
    Weak weak = weak_from_this();
    auto capture = active->capture;
    spawnOnMain([weak, activeDisplayID, capture, generation](TaskToken) {
      return refreshDisplayInfo(weak, activeDisplayID, capture, generation);
    });
    log(LogCategory::CAPTURE, fmt::format("Captura activada bajo demanda ({} monitores)", startedCount));
  } else if (!start) {
    metrics->fps.set(0);
    metrics->displayInfo.set(captureWaitingDisplayText());
    log(LogCategory::CAPTURE, "Captura en pausa: sin dispositivos conectados");
  }
  for (const auto& [session, description] : failures) {
    recordCaptureFailure(session.displayID, description);
    scheduleCaptureRetry(session, generation);
  }
  updateCaptureDemand();
}

void HostViewModel::setActiveCaptureDisplays(std::set<std::uint32_t> displayIDs) {
  assertOnMainThread();
  const bool active = !displayIDs.empty();
  activeCaptureDisplayIDs_.set(std::move(displayIDs));
  isCaptureActive_.set(active);
  metrics->isCapturing.set(active);
}

void HostViewModel::recordCaptureFailure(std::uint32_t displayID, const std::string& description) {
  assertOnMainThread();
  metrics->lastError.set(localizedFormat("host.error.capture_format", std::int64_t{displayID}, description));
}

bool HostViewModel::holdsCapture(std::uint32_t displayID, const std::shared_ptr<HostCaptureService>& capture) const {
  assertOnMainThread();
  auto session = displaySession(displayID);
  return session && session->capture == capture;
}

std::string HostViewModel::captureWaitingDisplayText() const {
  assertOnMainThread();
  for (const auto& display : metrics->availableDisplays.get()) {
    if (display.id == metrics->activeDisplayID.get()) {
      return localizedFormat("host.display.waiting_format", display.name, std::int64_t{display.width},
                             std::int64_t{display.height});
    }
  }
  return localized("common.waiting");
}

asio::awaitable<void> HostViewModel::refreshDisplayInfo(Weak weak, std::uint32_t displayID,
                                                        std::shared_ptr<HostCaptureService> capture,
                                                        std::uint64_t generation) {
  const CaptureGeometry geometry = co_await capture->geometry();
  auto self = weak.lock();
  if (!self || self->lifecycleGeneration_.get() != generation || !self->holdsCapture(displayID, capture)) co_return;
  const DisplayFrame bounds = self->services_->displayBounds(displayID);
  const std::int64_t width = geometry.width >= 1 ? geometry.width : static_cast<std::int64_t>(bounds.width);
  const std::int64_t height = geometry.height >= 1 ? geometry.height : static_cast<std::int64_t>(bounds.height);
  self->metrics->hostWidth.set(width);
  self->metrics->hostHeight.set(height);
  self->metrics->displayInfo.set(
      localizedFormat("host.display.name_size_format", self->displayName(displayID), width, height));
  const bool boundsKnown = bounds.width > 0 && bounds.height > 0;
  self->pointInputAt(boundsKnown ? bounds : geometry.displayFrame);
}

HostCaptureService::StopHandler HostViewModel::captureStopHandler(const DisplaySession& session,
                                                                 std::uint64_t generation) {
  assertOnMainThread();
  // The capture service keeps the handler: it holds the service weakly.
  std::weak_ptr<HostCaptureService> weakCapture = session.capture;
  return [weak = weak_from_this(), weakCapture, generation](ScreenCaptureFailure failure) {
    return onMainThread(handleCaptureStopped(weak, std::move(failure), weakCapture.lock(), generation));
  };
}

asio::awaitable<void> HostViewModel::handleCaptureStopped(Weak weak, ScreenCaptureFailure failure,
                                                          std::shared_ptr<HostCaptureService> capture,
                                                          std::uint64_t generation) {
  const std::uint32_t displayID = failure.displayID;
  const auto current = [&weak, generation] {
    auto self = weak.lock();
    return self && self->lifecycleGeneration_.get() == generation && self->metrics->isRunning.get() ? self : nullptr;
  };
  Clock* clock = nullptr;
  bool granted = false;
  {
    auto self = current();
    if (!self || !self->holdsCapture(displayID, capture)) co_return;
    auto active = self->activeCaptureDisplayIDs_.get();
    active.erase(displayID);
    self->setActiveCaptureDisplays(std::move(active));
    self->stoppedDuringTransition_.insert(displayID);
    self->recordCaptureFailure(displayID, failure.message);
    self->track(AnalyticsEvent::server_start_failed, "capture_unexpected_stop");
    granted = self->quietPermissionCheck();
    clock = &self->clock_;
  }
  // Only a permission that reads as missing gets time to settle before the refresh decides.
  const TaskToken token = std::make_shared<TaskContext>();
  for (int waits = 0; !granted && waits < permissionSettleWaits; ++waits) {
    co_await sleepFor(token, *clock, permissionSettleWait);
    auto self = current();
    if (!self) co_return;
    granted = self->quietPermissionCheck();
  }
  auto self = weak.lock();
  if (!self) co_return;
  self->applyPermissionRefresh();
  if (!current() || !self->wantsCapture_.get() || !self->hasAllPermissions()) co_return;
  if (auto session = self->displaySession(displayID)) self->scheduleCaptureRetry(*session, generation);
}

bool HostViewModel::quietPermissionCheck() {
  assertOnMainThread();
  return readScreenRecording() && readAccessibility();
}

}  // namespace veltrano
