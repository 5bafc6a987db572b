#pragma once
// Reply objects of the command handler. Every reply has a "type".
#include <string>
#include <string_view>

#include "base/json.hpp"
#include "control/input_result.hpp"

namespace veltrano {

// {"type": "error", "message": message}
json::Json errorReply(std::string message);
// {"type": type, "status": "dropped", "reason": reason} ("stale" or "superseded")
json::Json droppedReply(std::string_view type, std::string_view reason);
// {"type": type, "status": "ok", "action": ...}, {"type": type, "status": "error", "message": ...} or
// {"type": type, "status": "ignored", "reason": "accessibility-missing"}
json::Json makeCommandReply(std::string_view type, const InputResult& result);

}  // namespace veltrano
