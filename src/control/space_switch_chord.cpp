#include "control/space_switch_chord.hpp"

namespace veltrano {

std::optional<std::string_view> spaceSwitchArrowKey(std::string_view direction) {
  for (const SpaceSwitchDirection& entry : SpaceSwitchChord::directions) {
    if (entry.direction == direction) return entry.arrowKey;
  }
  return std::nullopt;
}

}  // namespace veltrano
