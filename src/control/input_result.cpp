#include "control/input_result.hpp"

namespace veltrano {

std::string describe(const InputResult& result) {
  switch (result.kind()) {
    case InputResult::Kind::ok:
      return "ok(\"" + result.text() + "\")";
    case InputResult::Kind::failed:
      return "failed(\"" + result.text() + "\")";
    case InputResult::Kind::ignoredAccessibility:
      break;
  }
  return "ignoredAccessibility";
}

}  // namespace veltrano
