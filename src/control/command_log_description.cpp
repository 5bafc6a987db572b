#include "control/command_log_description.hpp"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/log_text.hpp"
#include "control/unicode_text.hpp"
#include "core/localization.hpp"

namespace veltrano {

namespace {

// A member's JSON value as text for the log: a number as its decimal text, a string as its own characters, cut
// to the logged length like any other value of the peer's.
std::optional<std::string> textForm(const json::Json& command, std::string_view key) {
  if (!command.is_object()) return std::nullopt;
  auto it = command.find(key);
  if (it == command.end()) return std::nullopt;
  const json::Json& value = *it;
  if (value.is_string()) return loggedText(value.get_ref<const std::string&>());
  if (value.is_number_integer()) return value.dump();
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 1e15) {
      return fmt::format("{:.0f}", number);
    }
    return fmt::format("{}", number);
  }
  return json::loggedDump(value);
}

std::string textOr(const json::Json& command, std::string_view key, std::string_view fallback) {
  return textForm(command, key).value_or(std::string(fallback));
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 9> logKeys = {{
    {"mouseMove", "host.log.command.pointer_move"},
    {"mouseMoveRel", "host.log.command.pointer_move_relative"},
    {"leftClick", "host.log.command.left_click"},
    {"rightClick", "host.log.command.right_click"},
    {"mouseDown", "host.log.command.pointer_down"},
    {"mouseDrag", "host.log.command.pointer_drag"},
    {"mouseUp", "host.log.command.pointer_up"},
    {"keyDown", "host.log.command.key_down"},
    {"keyUp", "host.log.command.key_up"},
}};

bool isPointerType(std::string_view type) {
  return type == "mouseMove" || type == "leftClick" || type == "rightClick" || type == "mouseDown" ||
         type == "mouseDrag" || type == "mouseUp";
}

}  // namespace

std::string commandLogKey(std::string_view type) {
  for (const auto& [name, key] : logKeys) {
    if (name == type) return localized(key);
  }
  return std::string(type);
}

std::string describeCommand(std::string_view type, const json::Json& command) {
  if (type == "ping") return localizedFormat("host.log.command.ping_format", textOr(command, "timestamp", "?"));
  if (isPointerType(type)) {
    return localizedFormat("host.log.command.pointer_format", commandLogKey(type), textOr(command, "x", "?"),
                           textOr(command, "y", "?"));
  }
  if (type == "mouseMoveRel") {
    return localizedFormat("host.log.command.relative_pointer_format", commandLogKey(type),
                           textOr(command, "dx", "0"), textOr(command, "dy", "0"));
  }
  if (type == "scroll") {
    return localizedFormat("host.log.command.scroll_format", textOr(command, "deltaX", "0"),
                           textOr(command, "deltaY", "0"));
  }
  if (type == "keyDown" || type == "keyUp") return commandLogKey(type);
  if (type == "text") {
    std::int64_t count = 0;
    if (auto it = command.find("value"); it != command.end() && it->is_string()) {
      count = static_cast<std::int64_t>(characterCount(it->get_ref<const std::string&>()));
    }
    return localizedFormat("host.log.command.text_format", count);
  }
  if (type == "setDisplay") return localizedFormat("host.log.command.display_format", textOr(command, "displayID", "?"));
  if (type == "switchSpace") return localizedFormat("host.log.command.space_format", textOr(command, "direction", "?"));
  return loggedText(type);
}

}  // namespace veltrano
