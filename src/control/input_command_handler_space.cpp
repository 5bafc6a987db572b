// Space switching: the cursor is centred on the active display, then the window manager is asked for the
// neighbouring desktop. Control+arrow is not used: on X desktops it moves the caret of the focused application.
#include "control/command_replies.hpp"
#include "control/input_command_handler.hpp"
#include "control/main_task.hpp"
#include "control/space_switch_direction.hpp"
#include "core/app_logger.hpp"

namespace veltrano {

namespace {
// Why no window manager can do this direction; nullopt when it can now.
std::optional<std::string> unavailableReason(const SpaceSwitchDirection& entry, platform::DesktopSwitcher* desktops) {
  if (!entry.step) return "X window managers have no overview of the desktops to open";
  if (desktops == nullptr) return "no X server to ask for another desktop";
  return desktops->unsupportedReason();
}
}  // namespace

InputCommandHandler::StepOutcome InputCommandHandler::switchSpace(const Command& command) {
  const std::optional<std::string> direction = json::stringMember(command.object, "direction");
  if (!direction) return {errorReply("switchSpace requires direction"), {}};
  const SpaceSwitchDirection* entry = findSpaceSwitchDirection(*direction);
  if (entry == nullptr) return {errorReply("switchSpace bad direction: " + *direction), {}};
  if (const std::optional<std::string> reason = unavailableReason(*entry, desktops_.get())) {
    return {errorReply("switchSpace unavailable: " + *reason), {}};
  }

  Task task = spawnMainTask([weak = weak_from_this(), direction = *direction, arrow = std::string(entry->arrowKey),
                             step = *entry->step](TaskToken) -> asio::awaitable<void> {
    const std::shared_ptr<InputCommandHandler> self = weak.lock();
    if (self) self->requestSpaceSwitch(direction, arrow, step);
    co_return;
  });
  registerPhoneCommand(command.phoneKey, task);
  return {{{"type", "switchSpace"}, {"status", "accepted"}, {"direction", *direction}},
          command.phoneKey ? task : Task()};
}

void InputCommandHandler::requestSpaceSwitch(const std::string& direction, const std::string& arrowKey,
                                             platform::DesktopStep step) {
  const InputResult centred = input_->centerCursor();
  commandLogThrottle_.write("switchSpace", LogCategory::INPUT, [&] {
    return "===VL=== switchSpace " + direction + " center=" + describe(centred) +
           " origin=" + describe(input_->displayOrigin()) + " size=" + describe(input_->displaySize());
  });
  const platform::DesktopSwitchResult result = desktops_->step(step);
  switch (result.status) {
    case platform::DesktopSwitchResult::Status::requested:
      commandLogThrottle_.write("switchSpace", LogCategory::INPUT,
                                [&] { return "===VL=== switchSpace atajo enviado: ^" + arrowKey; });
      break;
    case platform::DesktopSwitchResult::Status::atEnd:
      commandLogThrottle_.write("switchSpace", LogCategory::INPUT, [&] {
        return "===VL=== switchSpace " + direction + ": already on the " +
               (step == platform::DesktopStep::next ? "last" : "first") + " desktop";
      });
      break;
    case platform::DesktopSwitchResult::Status::unsupported:
      commandLogThrottle_.write("switchSpace", LogCategory::Error,
                                [&] { return "===VL=== switchSpace " + direction + " failed: " + result.reason; });
      break;
  }
}

}  // namespace veltrano
