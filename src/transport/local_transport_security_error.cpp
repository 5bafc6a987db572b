#include "transport/local_transport_security_error.hpp"

#include <string>

#include "core/localization.hpp"

namespace veltrano {

std::string_view localizationKey(LocalTransportSecurityError::Code code) {
  using Code = LocalTransportSecurityError::Code;
  switch (code) {
    case Code::identityUnavailable:
      return "local.transport.error.identity_unavailable";
    case Code::invalidHandshake:
      return "local.transport.error.invalid_handshake";
    case Code::authenticationFailed:
      return "local.transport.error.authentication_failed";
    case Code::handshakeTimedOut:
      return "local.transport.error.handshake_timed_out";
    case Code::connectionClosed:
      return "local.transport.error.connection_closed";
    case Code::invalidRecord:
      return "local.transport.error.invalid_record";
    case Code::recordTooLarge:
      return "local.transport.error.record_too_large";
    case Code::unexpectedSequence:
      return "local.transport.error.unexpected_sequence";
  }
  return "local.transport.error.unknown";
}

LocalTransportSecurityError::LocalTransportSecurityError(Code code)
    : std::runtime_error(localized(veltrano::localizationKey(code))), code_(code) {}

std::string_view LocalTransportSecurityError::localizationKey() const { return veltrano::localizationKey(code_); }

}  // namespace veltrano
