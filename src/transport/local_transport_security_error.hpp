#pragma once
#include <stdexcept>
#include <string_view>

namespace veltrano {

class LocalTransportSecurityError : public std::runtime_error {
 public:
  enum class Code {
    identityUnavailable,
    invalidHandshake,
    authenticationFailed,
    handshakeTimedOut,
    connectionClosed,
    invalidRecord,
    recordTooLarge,
    unexpectedSequence,
  };

  explicit LocalTransportSecurityError(Code code);

  Code code() const { return code_; }
  // "local.transport.error.<case in snake_case>"; what() is its text in the application's string tables.
  std::string_view localizationKey() const;

 private:
  Code code_;
};

std::string_view localizationKey(LocalTransportSecurityError::Code code);

}  // namespace veltrano
