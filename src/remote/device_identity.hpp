#pragma once
// How this computer names itself to the signaling service: a device identifier kept in the user defaults, and the
// computer's name cut to what the service accepts.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// The user defaults' strings, as far as remote access needs them; the application backs it with its settings.
class StringDefaults {
 public:
  virtual ~StringDefaults() = default;
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
};

inline constexpr std::size_t maximumDeviceNameLength = 64;
// The role this computer signs in with; its identifier is kept under the same word.
inline constexpr std::string_view hostSignalingRole = "mac";

// The stored "veltrano.deviceID.<prefix>", or a new "<prefix>-<lowercase UUID>" stored there first. A stored empty
// string counts as absent.
std::string persistentDeviceID(StringDefaults& defaults, std::string_view prefix);

// This computer's identifier: the one remote access signs in with, kept in `defaults`.
std::string hostDeviceID(StringDefaults& defaults);

// The first 64 characters of `name`, never cutting a UTF-8 sequence.
std::string signalingDeviceName(std::string_view name);

}  // namespace veltrano
