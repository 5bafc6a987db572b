#include "core/log_category.hpp"

namespace veltrano {

std::string_view name(LogCategory category) {
  switch (category) {
    case LogCategory::HOST: return "HOST";
    case LogCategory::NET: return "NET";
    case LogCategory::PERMISSION: return "PERMISSION";
    case LogCategory::SCREEN: return "SCREEN";
    case LogCategory::CAPTURE: return "CAPTURE";
    case LogCategory::METRICS: return "METRICS";
    case LogCategory::CLIENT: return "CLIENT";
    case LogCategory::INPUT: return "INPUT";
    case LogCategory::Error: return "ERROR";
  }
  return "ERROR";
}

}  // namespace veltrano
