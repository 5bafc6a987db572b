#pragma once
// The media profile that the routes of the connected remote peers choose for the whole host.
#include <vector>

#include "core/webrtc_route.hpp"
#include "host/host_services.hpp"

namespace veltrano {

// A relay route anywhere: mono 24 kHz and at most 1920 x 1080; else a direct route: stereo 32 kHz and the same
// cap; else (LAN routes only, or none): stereo 48 kHz and no cap.
MediaProfile mediaProfileFor(const std::vector<WebRTCRoute>& routes);

}  // namespace veltrano
