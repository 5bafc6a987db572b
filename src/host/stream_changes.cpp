// What the command handler's quality, keyframe and display commands do to the display sessions: the quality
// goes to every encoder and capture, a keyframe is forced on every encoder, and a display change rebinds the
// handler, points input at the display and forces a keyframe once the capture's output size is known.
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "base/thread_checks.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/app_logger.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"

namespace veltrano {

InputCommandHandler::HostCallbacks HostViewModel::commandHandlerCallbacks() {
  // Installed once; they act only for the start-up that wired the handler, while it is the current one.
  const auto running = [weak = weak_from_this()]() -> std::shared_ptr<HostViewModel> {
    auto self = weak.lock();
    const bool current = self && self->commandHandlerGeneration_ == self->lifecycleGeneration_.get();
    return current ? self : nullptr;
  };
  InputCommandHandler::HostCallbacks callbacks;
  callbacks.qualityChange = [running](std::int64_t bitRate, std::int32_t frameRate) {
    if (auto self = running()) self->applyQualityToAllEncoders(bitRate, frameRate);
  };
  callbacks.keyframeRequest = [running] {
    if (auto self = running()) self->requestKeyframeOnAllEncoders();
  };
  callbacks.displayChange = [running](std::uint32_t displayID) {
    if (auto self = running()) self->handleDisplayChange(displayID);
  };
  return callbacks;
}

void HostViewModel::applyQualityToAllEncoders(std::int64_t bitRate, std::int32_t frameRate) {
  assertOnMainThread();
  for (const auto& [displayID, session] : displaySessions_.get()) {
    auto& queue = qualityQueues_[displayID];
    if (!queue) queue = std::make_shared<AsyncMutex>();
    spawnOnMain([session, queue = queue, requestLog = requestLog_, bitRate, frameRate](TaskToken) {
      return applyQuality(session, queue, requestLog, bitRate, frameRate);
    });
  }
  requestLog_->write("quality", LogCategory::HOST, [&] {
    return fmt::format("Calidad aplicada globalmente: {}kbps @ {}fps", bitRate / 1000, frameRate);
  });
}

asio::awaitable<void> HostViewModel::applyQuality(DisplaySession session, std::shared_ptr<AsyncMutex> queue,
                                                  std::shared_ptr<LogThrottle> requestLog,
                                                  std::int64_t bitRate, std::int32_t frameRate) {
  // The tasks take the queue in the order they were spawned, which is the order of the requests.
  const auto turn = co_await queue->lock();
  co_await session.encoder->setBitRate(bitRate);
  co_await session.encoder->setFrameRate(frameRate);
  const std::int32_t pace = std::clamp<std::int32_t>(frameRate, 10, 60);
  co_await session.capture->setPacing(pace);
  requestLog->write("pacing", LogCategory::SCREEN,
                    [&] { return fmt::format("Capture desired fps ajustado a {} (pacing por PTS)", pace); });
}

void HostViewModel::requestKeyframeOnAllEncoders() {
  assertOnMainThread();
  for (const auto& [displayID, session] : displaySessions_.get()) session.encoder->requestKeyframe();
}

void HostViewModel::handleDisplayChange(std::uint32_t displayID) {
  assertOnMainThread();
  auto session = displaySession(displayID);
  if (!session) {
    requestLog_->write("display", LogCategory::HOST,
                       [&] { return fmt::format("onDisplayChange: no hay sesión para id={}", displayID); });
    return;
  }
  commandHandler()->setActiveEncoder(session->encoder->keyframeTarget());
  metrics->videoPort.set(session->videoPort);
  const DisplayFrame bounds = services_->displayBounds(displayID);
  pointInputAt(bounds);
  if (bounds.width > 0) metrics->hostWidth.set(static_cast<std::int64_t>(bounds.width));
  if (bounds.height > 0) metrics->hostHeight.set(static_cast<std::int64_t>(bounds.height));
  const InputResult centered = inputController->centerCursor();
  requestLog_->write("display", LogCategory::HOST, [&] {
    return fmt::format("Display activo \u2192 id={} port={} origin={} size={} center={}", displayID,
                       session->videoPort, describe(Point{bounds.x, bounds.y}),
                       describe(Size{bounds.width, bounds.height}), describe(centered));
  });
  Weak weak = weak_from_this();
  const std::uint64_t generation = lifecycleGeneration_.get();
  spawnOnMain([weak, session = *session, generation](TaskToken) {
    return followDisplayChange(weak, session, generation);
  });
}

asio::awaitable<void> HostViewModel::followDisplayChange(Weak weak, DisplaySession session,
                                                         std::uint64_t generation) {
  const CaptureGeometry geometry = co_await session.capture->geometry();
  auto self = weak.lock();
  if (!self || self->lifecycleGeneration_.get() != generation ||
      !self->holdsCapture(session.displayID, session.capture)) {
    co_return;
  }
  if (geometry.width >= 1 && geometry.height >= 1) {
    // Output pixels: the size the client sees, not the frame that input maps into.
    self->metrics->hostWidth.set(geometry.width);
    self->metrics->hostHeight.set(geometry.height);
  } else {
    self->pointInputAt(geometry.displayFrame);
  }
  session.encoder->requestKeyframe();
}

}  // namespace veltrano
