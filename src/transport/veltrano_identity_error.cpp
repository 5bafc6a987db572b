#include "transport/veltrano_identity_error.hpp"

namespace veltrano {

VeltranoIdentityError::VeltranoIdentityError(Code code, int errorNumber, const std::string& message)
    : std::runtime_error(message), code_(code), errorNumber_(errorNumber) {}

VeltranoIdentityError VeltranoIdentityError::storage(int errorNumber, const std::string& detail) {
  return VeltranoIdentityError(Code::storage, errorNumber, "account key storage: " + detail);
}

VeltranoIdentityError VeltranoIdentityError::invalidKey() {
  return VeltranoIdentityError(Code::invalidKey, 0, "the stored account key is invalid");
}

std::string_view VeltranoIdentityError::localizationKey() const {
  return code_ == Code::invalidKey ? "identity.error.invalid" : "identity.error.storage_format";
}

}  // namespace veltrano
