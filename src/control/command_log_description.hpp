#pragma once
// The one-line, localized description of a command for the activity log, the last-command field and the
// system log. Keys and typed text are never described, only their kind and the number of characters; every text
// taken from the command is cut to the logged length.
#include <string>
#include <string_view>

#include "base/json.hpp"

namespace veltrano {

std::string describeCommand(std::string_view type, const json::Json& command);
// The localized name of a pointer or key command; other types come back unchanged.
std::string commandLogKey(std::string_view type);

}  // namespace veltrano
