// Space switching: the cursor is centred on the active display, then the desktop's space-switch shortcut
// is posted with short pauses between its key events.
#include "control/main_task.hpp"
#include "control/command_replies.hpp"
#include "control/input_command_handler.hpp"
#include "control/space_switch_chord.hpp"
#include "core/app_logger.hpp"

namespace veltrano {

InputCommandHandler::StepOutcome InputCommandHandler::switchSpace(const Command& command) {
  const std::optional<std::string> direction = json::stringMember(command.object, "direction");
  if (!direction) return {errorReply("switchSpace requires direction"), {}};
  const std::optional<std::string_view> arrowKey = spaceSwitchArrowKey(*direction);
  if (!arrowKey) return {errorReply("switchSpace bad direction: " + *direction), {}};

  Task task = spawnMainTask([weak = weak_from_this(), direction = *direction,
                                           arrow = std::string(*arrowKey)](TaskToken token) -> asio::awaitable<void> {
    const std::shared_ptr<InputCommandHandler> self = weak.lock();
    if (!self) co_return;
    co_await self->postSpaceSwitch(token, direction, arrow);
  });
  registerPhoneCommand(command.phoneKey, task);
  return {{{"type", "switchSpace"}, {"status", "accepted"}, {"direction", *direction}},
          command.phoneKey ? task : Task()};
}

asio::awaitable<void> InputCommandHandler::postSpaceSwitch(TaskToken token, std::string direction,
                                                           std::string arrowKey) {
  const InputResult centred = input_->centerCursor();
  log(LogCategory::INPUT, [&] {
    return "===VL=== switchSpace " + direction + " center=" + describe(centred) +
           " origin=" + describe(input_->displayOrigin()) + " size=" + describe(input_->displaySize());
  });
  const std::string modifier(SpaceSwitchChord::modifierKey);
  co_await pause(token, SpaceSwitchChord::pauseAfterCentring);
  input_->keyDown(modifier);
  co_await pause(token, SpaceSwitchChord::pauseBetweenKeys);
  input_->keyDown(arrowKey);
  co_await pause(token, SpaceSwitchChord::pauseBetweenKeys);
  input_->keyUp(arrowKey);
  co_await pause(token, SpaceSwitchChord::pauseBetweenKeys);
  input_->keyUp(modifier);
  log(LogCategory::INPUT, "===VL=== switchSpace atajo enviado: ^" + arrowKey);
}

asio::awaitable<void> InputCommandHandler::pause(TaskToken token, Clock::Duration duration) {
  // A cancelled switch only loses its pauses: every key that went down still goes up.
  if (token && token->isCancelled()) co_return;
  try {
    co_await clock_.sleepUntil(token, clock_.now() + duration);
  } catch (const CancellationError&) {
  }
}

}  // namespace veltrano
