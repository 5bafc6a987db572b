#pragma once
// The keyboard shortcut that moves to the neighbouring desktop space: the modifier held around one
// arrow key. The one table of the chord; the command's directions map onto it.
#include <array>
#include <chrono>
#include <optional>
#include <string_view>

namespace veltrano {

struct SpaceSwitchDirection {
  std::string_view direction;  // as the client sends it (case-sensitive)
  std::string_view arrowKey;   // key name handed to the injector
};

struct SpaceSwitchChord {
  static constexpr std::string_view modifierKey = "control";
  static constexpr std::array<SpaceSwitchDirection, 4> directions = {{
      {"left", "left"},
      {"right", "right"},
      {"up", "up"},
      {"missionControl", "up"},
  }};
  // Centre the cursor, then: pause, modifier down, pause, arrow down, pause, arrow up, pause, modifier up.
  static constexpr auto pauseAfterCentring = std::chrono::milliseconds(120);
  static constexpr auto pauseBetweenKeys = std::chrono::milliseconds(35);
};

// The arrow key of a direction; nullopt for anything else.
std::optional<std::string_view> spaceSwitchArrowKey(std::string_view direction);

}  // namespace veltrano
