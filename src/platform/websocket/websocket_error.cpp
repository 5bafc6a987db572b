#include "platform/websocket/websocket_error.hpp"

namespace veltrano::platform {

const char* webSocketErrorKindName(WebSocketError::Kind kind) {
  switch (kind) {
    case WebSocketError::Kind::resolveFailed: return "could not resolve the host";
    case WebSocketError::Kind::connectFailed: return "could not connect to the server";
    case WebSocketError::Kind::tlsFailed: return "secure connection failed";
    case WebSocketError::Kind::upgradeFailed: return "WebSocket upgrade refused";
    case WebSocketError::Kind::timedOut: return "the request timed out";
    case WebSocketError::Kind::closed: return "the connection was closed";
    case WebSocketError::Kind::messageTooLarge: return "message too large";
    case WebSocketError::Kind::failed: return "the network connection failed";
  }
  return "the network connection failed";
}

WebSocketError::WebSocketError(Kind kind, const std::string& detail)
    : std::runtime_error(detail.empty() ? std::string(webSocketErrorKindName(kind))
                                        : std::string(webSocketErrorKindName(kind)) + ": " + detail),
      kind_(kind) {}

}  // namespace veltrano::platform
