#pragma once
// The directions of "switchSpace" and what each asks of the window manager. The one table of them.
#include <array>
#include <optional>
#include <string_view>

#include "platform/x11/desktop_switcher.hpp"

namespace veltrano {

struct SpaceSwitchDirection {
  std::string_view direction;  // as the client sends it (case-sensitive)
  std::string_view arrowKey;   // the arrow the direction stands for, as the log names it
  // The neighbouring desktop it asks for; nullopt for the overview, which X window managers do not offer.
  std::optional<platform::DesktopStep> step;
};

inline constexpr std::array<SpaceSwitchDirection, 4> spaceSwitchDirections = {{
    {"left", "left", platform::DesktopStep::previous},
    {"right", "right", platform::DesktopStep::next},
    {"up", "up", std::nullopt},
    {"missionControl", "up", std::nullopt},
}};

// The entry of a direction; nullptr for anything else.
const SpaceSwitchDirection* findSpaceSwitchDirection(std::string_view direction);

}  // namespace veltrano
