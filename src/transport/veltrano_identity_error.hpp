#pragma once
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrano {

class VeltranoIdentityError : public std::runtime_error {
 public:
  enum class Code {
    storage,     // the key store could not be read or written; errorNumber() says why
    invalidKey,  // the stored key does not parse
  };

  static VeltranoIdentityError storage(int errorNumber, const std::string& detail);
  static VeltranoIdentityError invalidKey();

  Code code() const { return code_; }
  int errorNumber() const { return errorNumber_; }
  // "identity.error.invalid", or "identity.error.storage_format" (a format that takes the detail); what() is
  // its text in the application's string tables.
  std::string_view localizationKey() const;

 private:
  VeltranoIdentityError(Code code, int errorNumber, const std::string& message);

  Code code_;
  int errorNumber_;
};

}  // namespace veltrano
