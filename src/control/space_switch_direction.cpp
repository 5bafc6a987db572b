#include "control/space_switch_direction.hpp"

namespace veltrano {

const SpaceSwitchDirection* findSpaceSwitchDirection(std::string_view direction) {
  for (const SpaceSwitchDirection& entry : spaceSwitchDirections) {
    if (entry.direction == direction) return &entry;
  }
  return nullptr;
}

}  // namespace veltrano
