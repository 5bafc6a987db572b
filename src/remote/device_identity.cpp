#include "remote/device_identity.hpp"

#include "base/uuid.hpp"

namespace veltrano {

std::string persistentDeviceID(StringDefaults& defaults, std::string_view prefix) {
  const std::string key = "veltrano.deviceID." + std::string(prefix);
  if (auto stored = defaults.string(key); stored && !stored->empty()) return *stored;
  std::string identifier = std::string(prefix) + "-" + Uuid::random().text();
  defaults.setString(key, identifier);
  return identifier;
}

std::string hostDeviceID(StringDefaults& defaults) { return persistentDeviceID(defaults, hostSignalingRole); }

std::string signalingDeviceName(std::string_view name) {
  std::size_t characters = 0;
  std::size_t end = 0;
  while (end < name.size()) {
    // Continuation bytes belong to the character before them.
    std::size_t next = end + 1;
    while (next < name.size() && (static_cast<unsigned char>(name[next]) & 0xC0) == 0x80) ++next;
    if (++characters > maximumDeviceNameLength) break;
    end = next;
  }
  return std::string(name.substr(0, end));
}

}  // namespace veltrano
