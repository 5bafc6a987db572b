#pragma once
// Whether the desktop asks applications to keep motion to a minimum, from the settings files the desktops
// write: KDE's kdeglobals (an animation speed factor of 0) and GTK's settings.ini (animations disabled).
#include <filesystem>

namespace veltrano::platform {

// Reads the files under `configFolder` (the XDG config folder); false when none says so or none can be read.
bool desktopAsksForReducedMotion(const std::filesystem::path& configFolder);

}  // namespace veltrano::platform
