#pragma once
// The text rules of Desktop Entry files that an autostart entry needs: string escapes, and the quoting of a
// program path in an Exec value.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano::platform {

// `program` as one Exec argument, written as the value's text: always quoted, with '"', '`', '$' and '\'
// escaped inside the quotes, '%' doubled, and the result escaped as a string value (so a backslash is four).
std::string execValueForProgram(std::string_view program);

// The program (first argument) of an Exec value as execValueForProgram writes it or as a user may write it
// (bare or quoted); nullopt when the value is empty or its quoting is broken.
std::optional<std::string> programOfExecValue(std::string_view value);

// The keys of the file's "[Desktop Entry]" group with their string escapes undone; other groups, comments and
// blank lines are skipped. A key given twice keeps its first value.
std::map<std::string, std::string> desktopEntryKeys(std::string_view fileText);

}  // namespace veltrano::platform
