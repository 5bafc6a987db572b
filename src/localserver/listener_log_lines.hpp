#pragma once
// The lines a listening server writes as its listener and connections change state. Each server has its own
// texts; a line left empty is not written.
#include <optional>
#include <string>

#include "core/log_category.hpp"

namespace veltrano {

struct ListenerLogLine {
  LogCategory category;
  std::string text;
};

struct ListenerLogLines {
  std::optional<ListenerLogLine> listening;          // followed by the port in decimal
  std::optional<ListenerLogLine> listenerFailed;     // followed by the error's description
  std::optional<ListenerLogLine> listenerCancelled;
  std::optional<ListenerLogLine> connectionFailed;   // followed by the error's description
  std::optional<ListenerLogLine> connectionClosed;
};

}  // namespace veltrano
