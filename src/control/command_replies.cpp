#include "control/command_replies.hpp"

namespace veltrano {

json::Json errorReply(std::string message) { return {{"type", "error"}, {"message", std::move(message)}}; }

json::Json droppedReply(std::string_view type, std::string_view reason) {
  return {{"type", type}, {"status", "dropped"}, {"reason", reason}};
}

json::Json makeCommandReply(std::string_view type, const InputResult& result) {
  switch (result.kind()) {
    case InputResult::Kind::ok:
      return {{"type", type}, {"status", "ok"}, {"action", result.text()}};
    case InputResult::Kind::failed:
      return {{"type", type}, {"status", "error"}, {"message", result.text()}};
    case InputResult::Kind::ignoredAccessibility:
      break;
  }
  return {{"type", type}, {"status", "ignored"}, {"reason", "accessibility-missing"}};
}

}  // namespace veltrano
