#include "remote/remote_media_control.hpp"

#include <cmath>
#include <limits>
#include <optional>

namespace veltrano {

namespace {

constexpr double largestDisplayID = std::numeric_limits<std::uint32_t>::max();

// An integer's value when it is a display identifier; nullopt when it is an integer of another range; and false
// in `isInteger` when it is no integer at all.
std::optional<std::uint32_t> displayIDOf(const json::Json& value, bool& isInteger) {
  isInteger = true;
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number <= std::numeric_limits<std::uint32_t>::max()) return static_cast<std::uint32_t>(number);
    return std::nullopt;
  }
  if (value.is_number_integer()) return std::nullopt;  // negative
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number) {
      if (number >= 0 && number <= largestDisplayID) return static_cast<std::uint32_t>(number);
      return std::nullopt;
    }
  }
  isInteger = false;
  return std::nullopt;
}

}  // namespace

bool parseMediaControl(const json::Json& message) {
  const auto type = json::stringMember(message, "type");
  return type == "setAudioStreaming" || type == "setVideoSubscriptions";
}

bool requestedAudioStreaming(const json::Json& message) {
  return json::boolMember(message, "enabled").value_or(false);
}

std::set<std::uint32_t> requestedDisplayIDs(const json::Json& message) {
  const json::Json* list = json::findMember(message, "displayIDs");
  if (!list || !list->is_array()) return {};
  std::set<std::uint32_t> displayIDs;
  for (const json::Json& element : *list) {
    bool isInteger = false;
    const auto displayID = displayIDOf(element, isInteger);
    if (!isInteger) return {};
    if (displayID) displayIDs.insert(*displayID);
  }
  return displayIDs;
}

}  // namespace veltrano
