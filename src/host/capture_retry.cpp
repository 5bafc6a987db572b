// The retry of one display's capture: attempts on a growing schedule until one succeeds, the host stops,
// capture is no longer wanted or a permission is missing; a start that is no longer wanted is undone.
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/server_startup_error.hpp"

namespace veltrano {

void HostViewModel::scheduleCaptureRetry(const DisplaySession& session, std::uint64_t generation) {
  assertOnMainThread();
  const std::uint32_t displayID = session.displayID;
  if (captureRetryTasks_.get().contains(displayID)) return;
  if (lifecycleGeneration_.get() != generation || !metrics->isRunning.get() || !wantsCapture_.get() ||
      !hasAllPermissions()) {
    return;
  }
  // A transition may have started it meanwhile: a second start would restart a running capture.
  if (activeCaptureDisplayIDs_.get().contains(displayID)) return;
  Weak weak = weak_from_this();
  Clock* clock = &clock_;
  const TaskHandle retry{spawnOnMain([weak, session, generation, clock](TaskToken token) {
    return runCaptureRetry(weak, session, generation, clock, std::move(token));
  })};
  captureRetryTasks_.mutate([&](auto& retries) { retries[displayID] = retry; });
}

bool HostViewModel::retryMayStart(const DisplaySession& session, std::uint64_t generation,
                                  const TaskToken& token) const {
  assertOnMainThread();
  return !token->isCancelled() && lifecycleGeneration_.get() == generation && metrics->isRunning.get() &&
         wantsCapture_.get() && hasAllPermissions() && holdsCapture(session.displayID, session.capture) &&
         !activeCaptureDisplayIDs_.get().contains(session.displayID);
}

void HostViewModel::forgetCaptureRetry(std::uint32_t displayID, const TaskToken& token) {
  assertOnMainThread();
  auto found = captureRetryTasks_.get().find(displayID);
  if (found == captureRetryTasks_.get().end() || found->second.task.token() != token) return;
  captureRetryTasks_.mutate([displayID](auto& retries) { retries.erase(displayID); });
}

asio::awaitable<void> HostViewModel::runCaptureRetry(Weak weak, DisplaySession session, std::uint64_t generation,
                                                     Clock* clock, TaskToken token) {
  const std::uint32_t displayID = session.displayID;
  for (int attempt = 0;; ++attempt) {
    const auto delay = captureRetryDelays[static_cast<std::size_t>(std::min(attempt, 5))];
    try {
      co_await sleepFor(token, *clock, delay);
    } catch (const CancellationError&) {
      co_return;
    }
    {
      auto self = weak.lock();
      if (!self) co_return;
      if (!self->retryMayStart(session, generation, token)) {
        if (self->lifecycleGeneration_.get() == generation) self->forgetCaptureRetry(displayID, token);
        co_return;
      }
    }
    std::exception_ptr error;
    try {
      co_await session.capture->startCapture(displayID);
    } catch (...) {
      error = std::current_exception();
    }
    auto self = weak.lock();
    if (error) {
      if (self) {
        const std::string description = localizedDescription(error);
        log(LogCategory::Error,
            fmt::format("capture retry {} failed for display {}: {}", attempt + 1, displayID, description));
        self->recordCaptureFailure(displayID, description);
      }
      if (token->isCancelled()) co_return;
      continue;
    }
    if (!self || token->isCancelled() || self->lifecycleGeneration_.get() != generation ||
        !self->metrics->isRunning.get() || !self->wantsCapture_.get()) {
      self.reset();
      auto undo = undoCaptureStart(weak, session, generation, token);
      co_await std::move(undo);
      co_return;
    }
    session.encoder->requestKeyframe();
    auto active = self->activeCaptureDisplayIDs_.get();
    active.insert(displayID);
    self->setActiveCaptureDisplays(std::move(active));
    self->forgetCaptureRetry(displayID, token);
    if (displayID == self->metrics->activeDisplayID.get()) {
      self.reset();
      auto refresh = refreshDisplayInfo(weak, displayID, session.capture, generation);
      co_await std::move(refresh);
    }
    log(LogCategory::CAPTURE, fmt::format("Captura recuperada display={} intento={}", displayID, attempt + 1));
    co_return;
  }
}

asio::awaitable<void> HostViewModel::undoCaptureStart(Weak weak, DisplaySession session, std::uint64_t generation,
                                                      TaskToken token) {
  co_await session.capture->stopCapture();
  co_await session.encoder->stopSession();
  co_await session.videoServer->resetStream();
  auto self = weak.lock();
  if (self && self->lifecycleGeneration_.get() == generation) self->forgetCaptureRetry(session.displayID, token);
}

}  // namespace veltrano
