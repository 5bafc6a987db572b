#pragma once
#include <stdexcept>
#include <string>

namespace veltrano::platform {

class KeyFileError : public std::runtime_error {
 public:
  enum class Kind {
    storage,    // the file or its folder could not be read, written or created (errorNumber says why)
    malformed,  // the file exists but does not hold a base64url 32-byte seed
  };

  KeyFileError(Kind kind, int errorNumber, const std::string& message)
      : std::runtime_error(message), kind_(kind), errorNumber_(errorNumber) {}

  Kind kind() const { return kind_; }
  int errorNumber() const { return errorNumber_; }

 private:
  Kind kind_;
  int errorNumber_;
};

}  // namespace veltrano::platform
