#include "platform/hostname/computer_name.hpp"

#include <unistd.h>

#include <array>
#include <climits>
#include <fstream>
#include <optional>
#include <string_view>

namespace veltrano::platform {

namespace {

// One value of an environment-style file: shell quoting with double quotes (backslash escapes), single quotes
// (literal) or none (backslash escapes).
std::string unquotedValue(std::string_view raw) {
  std::string value;
  char quote = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (quote == '\'') {
      if (c == '\'') quote = 0;
      else value += c;
    } else if (c == '\\' && i + 1 < raw.size()) {
      value += raw[++i];
    } else if (quote == '"') {
      if (c == '"') quote = 0;
      else value += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else {
      value += c;
    }
  }
  return value;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::optional<std::string> prettyHostName(const std::filesystem::path& machineInfo) {
  std::ifstream file(machineInfo);
  std::optional<std::string> found;
  std::string line;
  constexpr std::string_view key = "PRETTY_HOSTNAME=";
  while (std::getline(file, line)) {
    const std::string_view entry = trimmed(line);
    if (entry.starts_with(key)) found = unquotedValue(trimmed(entry.substr(key.size())));  // the last one counts
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

std::string systemHostName() {
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

}  // namespace

std::string computerName(const std::filesystem::path& machineInfo) {
  if (auto pretty = prettyHostName(machineInfo)) return *pretty;
  return systemHostName();
}

}  // namespace veltrano::platform
