// Display selection ("setDisplay"): makes another listed display the active one for input and for the
// window, then tells every local control client.
#include <fmt/format.h>

#include <algorithm>

#include "control/main_task.hpp"
#include "control/command_replies.hpp"
#include "control/input_command_handler.hpp"
#include "core/app_logger.hpp"

namespace veltrano {

InputCommandHandler::StepOutcome InputCommandHandler::setDisplay(const Command& command) {
  // A present but malformed identifier was refused before the command was logged.
  if (!command.displayID) return {errorReply("setDisplay requires displayID"), {}};
  const std::uint32_t displayID = *command.displayID;
  const std::vector<DisplayInfo>& displays = metrics_->availableDisplays.get();
  auto display = std::find_if(displays.begin(), displays.end(),
                              [&](const DisplayInfo& candidate) { return candidate.id == displayID; });
  if (display == displays.end()) return {errorReply("setDisplay references an unavailable display"), {}};

  const bool isPhoneCommand = command.phoneKey.has_value();
  Task task = spawnMainTask([weak = weak_from_this(), info = *display, displayID, isPhoneCommand,
                                           broadcaster = broadcaster_](TaskToken) -> asio::awaitable<void> {
    co_await applyDisplayChange(weak, info, displayID, isPhoneCommand, broadcaster);
  });
  registerPhoneCommand(command.phoneKey, task);
  return {{{"type", "setDisplay"}, {"status", "accepted"}}, isPhoneCommand ? task : Task()};
}

asio::awaitable<void> InputCommandHandler::applyDisplayChange(std::weak_ptr<InputCommandHandler> weak,
                                                              DisplayInfo display, std::uint32_t displayID,
                                                              bool isPhoneCommand,
                                                              std::weak_ptr<ControlClientBroadcaster> server) {
  json::Json message;
  {
    const std::shared_ptr<InputCommandHandler> self = weak.lock();
    if (!self) co_return;
    const platform::Rect bounds = self->input_->displayBounds(displayID);
    const std::int64_t width = bounds.width > 0 ? bounds.width : display.width;
    const std::int64_t height = bounds.height > 0 ? bounds.height : display.height;
    MetricsStore& metrics = *self->metrics_;
    metrics.hostWidth.set(width);
    metrics.hostHeight.set(height);
    metrics.activeDisplayID.set(displayID);
    metrics.displayInfo.set(fmt::format("{} {}x{}", display.name, width, height));
    if (display.videoPort != 0) metrics.videoPort.set(display.videoPort);
    if (bounds.width > 0 && bounds.height > 0) {
      self->input_->setDisplayFrame(Point{double(bounds.x), double(bounds.y)},
                                    Size{double(bounds.width), double(bounds.height)});
    }
    if (self->hostCallbacks_ && self->hostCallbacks_->displayChange) self->hostCallbacks_->displayChange(displayID);
    self->commandLogThrottle_.write("setDisplay", LogCategory::INPUT, [&] {
      return fmt::format("setDisplay \u2192 id={} {}x{} port={} origin={} size={}", displayID, width, height,
                         display.videoPort, describe(self->input_->displayOrigin()),
                         describe(self->input_->displaySize()));
    });
    message = {{"type", "displayChanged"}, {"displayID", displayID}, {"width", width},
               {"height", height},         {"name", display.name},   {"videoPort", display.videoPort}};
  }
  const std::shared_ptr<ControlClientBroadcaster> broadcaster = server.lock();
  if (!broadcaster) co_return;
  if (isPhoneCommand) {
    // The phone's reply waits for the change, not for the broadcast.
    spawnMainTask([broadcaster, message](TaskToken) -> asio::awaitable<void> {
      co_await broadcaster->broadcast(message);
    });
  } else {
    co_await broadcaster->broadcast(std::move(message));
  }
}

}  // namespace veltrano
