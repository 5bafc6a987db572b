#include "transport/veltrano_identity_error.hpp"

#include "core/localization.hpp"

namespace veltrano {

namespace {
constexpr std::string_view invalidKeyKey = "identity.error.invalid";
constexpr std::string_view storageFormatKey = "identity.error.storage_format";
}  // namespace

VeltranoIdentityError::VeltranoIdentityError(Code code, int errorNumber, const std::string& message)
    : std::runtime_error(message), code_(code), errorNumber_(errorNumber) {}

VeltranoIdentityError VeltranoIdentityError::storage(int errorNumber, const std::string& detail) {
  return VeltranoIdentityError(Code::storage, errorNumber, localizedFormat(storageFormatKey, detail));
}

VeltranoIdentityError VeltranoIdentityError::invalidKey() {
  return VeltranoIdentityError(Code::invalidKey, 0, localized(invalidKeyKey));
}

std::string_view VeltranoIdentityError::localizationKey() const {
  return code_ == Code::invalidKey ? invalidKeyKey : storageFormatKey;
}

}  // namespace veltrano
