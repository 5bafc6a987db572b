#include "platform/dnssd/network_service.hpp"

namespace veltrano::platform {

std::string describe(const ServiceErrorDictionary& errors) {
  std::string text = "{";
  for (const auto& [key, value] : errors) {
    if (text.size() > 1) text += "; ";
    text += key + " = " + std::to_string(value);
  }
  return text + "}";
}

}  // namespace veltrano::platform
