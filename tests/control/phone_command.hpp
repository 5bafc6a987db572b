#pragma once
// A command of a phone pointer session, as the tablet sends it.
#include <cstdint>
#include <string>

#include "base/json.hpp"

namespace veltrano::test {

inline json::Json phone(const std::string& type, const std::string& session, std::int64_t sequence,
                        json::Json extra = json::Json::object()) {
  json::Json command = {{"type", type}, {"phonePointer", true}, {"pointerSession", session}, {"pointerSequence", sequence}};
  command.update(extra);
  return command;
}

}  // namespace veltrano::test
