#include "platform/motion/reduced_motion.hpp"

#include <fstream>
#include <optional>
#include <string>

namespace veltrano::platform {

namespace {

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The value of `key` in `[group]` of an INI-style file.
std::optional<std::string> iniValue(const std::filesystem::path& file, const std::string& group, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  bool inGroup = false;
  while (std::getline(in, line)) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      inGroup = line == "[" + group + "]";
      continue;
    }
    const auto equals = line.find('=');
    if (inGroup && equals != std::string::npos && trimmed(line.substr(0, equals)) == key) {
      return trimmed(line.substr(equals + 1));
    }
  }
  return std::nullopt;
}

}  // namespace

bool desktopAsksForReducedMotion(const std::filesystem::path& configFolder) {
  if (auto factor = iniValue(configFolder / "kdeglobals", "KDE", "AnimationDurationFactor")) {
    try {
      if (std::stod(*factor) == 0.0) return true;
    } catch (const std::exception&) {
    }
  }
  for (const char* gtk : {"gtk-4.0", "gtk-3.0"}) {
    auto enabled = iniValue(configFolder / gtk / "settings.ini", "Settings", "gtk-enable-animations");
    if (enabled && (*enabled == "false" || *enabled == "0")) return true;
  }
  return false;
}

}  // namespace veltrano::platform
