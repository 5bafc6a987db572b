// The end of a phone pointer session.
#include "control/input_command_handler.hpp"
#include "base/thread_checks.hpp"

namespace veltrano {

void InputCommandHandler::endPhonePointerSession(const std::string& session) {
  assertOnMainThread();
  phonePointerSequenceGate_.forget(session);
  // The colon keeps session "s1" from reaching the commands of "s10".
  const std::string prefix = session + ":";
  for (auto entry = phoneCommandCompletions_.lower_bound(prefix);
       entry != phoneCommandCompletions_.end() && entry->first.starts_with(prefix);) {
    entry->second.cancel();
    entry = phoneCommandCompletions_.erase(entry);
  }
  if (activePhoneDragSessionID_ == session) {
    // The session went away with the button held: release it where the cursor is.
    input_->mouseUp(std::nullopt, std::nullopt);
    activePhoneDragSessionID_.reset();
  }
}

}  // namespace veltrano
