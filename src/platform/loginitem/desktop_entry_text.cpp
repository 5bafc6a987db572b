#include "platform/loginitem/desktop_entry_text.hpp"

namespace veltrano::platform {

namespace {

constexpr std::string_view kEntryGroup = "[Desktop Entry]";
// Characters that a backslash must protect inside a quoted Exec argument.
constexpr std::string_view kQuotedEscapes = "\"`$\\";

std::string escapeString(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\r': escaped += "\\r"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string unescapeString(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    switch (text[++i]) {
      case 's': plain += ' '; break;
      case 'n': plain += '\n'; break;
      case 't': plain += '\t'; break;
      case 'r': plain += '\r'; break;
      case '\\': plain += '\\'; break;
      default: plain += '\\', plain += text[i];
    }
  }
  return plain;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string execValueForProgram(std::string_view program) {
  std::string quoted = "\"";
  for (char c : program) {
    if (kQuotedEscapes.find(c) != std::string_view::npos) quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  return escapeString(quoted);
}

std::optional<std::string> programOfExecValue(std::string_view value) {
  value = trimmed(value);
  if (value.empty()) return std::nullopt;
  std::string program;
  const bool quoted = value.front() == '"';
  for (std::size_t i = quoted ? 1 : 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted && c == '"') return program;
    if (!quoted && (c == ' ' || c == '\t')) return program;
    if (quoted && c == '\\' && i + 1 < value.size() && kQuotedEscapes.find(value[i + 1]) != std::string_view::npos) {
      program += value[++i];
    } else if (c == '%' && i + 1 < value.size() && value[i + 1] == '%') {
      program += value[++i];
    } else {
      program += c;
    }
  }
  if (quoted) return std::nullopt;  // the closing quote is missing
  return program;
}

std::map<std::string, std::string> desktopEntryKeys(std::string_view fileText) {
  std::map<std::string, std::string> keys;
  bool inEntryGroup = false;
  while (!fileText.empty()) {
    const auto end = fileText.find('\n');
    const std::string_view line = trimmed(fileText.substr(0, end));
    fileText = end == std::string_view::npos ? std::string_view{} : fileText.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inEntryGroup = line == kEntryGroup;
      continue;
    }
    const auto equals = line.find('=');
    if (!inEntryGroup || equals == std::string_view::npos) continue;
    keys.emplace(std::string(trimmed(line.substr(0, equals))), unescapeString(trimmed(line.substr(equals + 1))));
  }
  return keys;
}

}  // namespace veltrano::platform
