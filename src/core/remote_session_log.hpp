#pragma once
// Fixed log lines of remote sessions, written from whichever thread reports them.
#include "core/webrtc_route.hpp"

#include <string_view>

namespace veltrano {

// ERROR "REMOTE: no se pudo crear la sesion WebRTC"
void logRemoteSessionCreationFailed();
// NET "remote session=<session> route=<lan|direct|relay>"
void logRemoteSessionRoute(std::string_view session, WebRTCRoute route);

}  // namespace veltrano
