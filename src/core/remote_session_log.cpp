#include "core/remote_session_log.hpp"

#include "core/app_logger.hpp"

#include <string>

namespace veltrano {

void logRemoteSessionCreationFailed() { log(LogCategory::Error, "REMOTE: no se pudo crear la sesion WebRTC"); }

void logRemoteSessionRoute(std::string_view session, WebRTCRoute route) {
  log(LogCategory::NET, [&] {
    std::string line = "remote session=";
    line += session;
    line += " route=";
    line += routeName(route);
    return line;
  });
}

}  // namespace veltrano
