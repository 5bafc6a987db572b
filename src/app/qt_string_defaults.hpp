#pragma once
// The user defaults that remote access keeps (the device identifier), in the application's QSettings.
#include <optional>
#include <string>

#include "remote/device_identity.hpp"

namespace veltrano::app {

class QtStringDefaults final : public StringDefaults {
 public:
  std::optional<std::string> string(const std::string& key) const override;
  void setString(const std::string& key, const std::string& value) override;
};

}  // namespace veltrano::app
