#pragma once
#include <stdexcept>
#include <string>

namespace veltrano::platform {

// Why a WebSocket operation failed. Every failure ends the connection except `cancelled` sends.
class WebSocketError : public std::runtime_error {
 public:
  enum class Kind {
    resolveFailed,
    connectFailed,
    tlsFailed,       // includes an untrusted certificate or a host name that does not match
    upgradeFailed,   // the HTTP upgrade was refused
    timedOut,        // connecting or one send took longer than the request time-out
    closed,          // the peer closed, or this side closed the connection
    messageTooLarge, // an inbound message over the limit
    failed,          // any other transport error
  };

  WebSocketError(Kind kind, const std::string& detail);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

const char* webSocketErrorKindName(WebSocketError::Kind kind);

}  // namespace veltrano::platform
