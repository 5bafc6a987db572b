#pragma once
// Which display a window is shown on: the RandR monitor that holds its centre.
#include <cstdint>
#include <optional>

#include "platform/x11/x11_display.hpp"

namespace veltrano::platform {

// The monitor holding the centre of `window` while it is mapped, as monitors() lists it; nullopt when the window
// is unmapped or gone, its centre lies on no monitor, or the server does not answer. Blocks for round trips.
std::optional<X11Monitor> monitorOfWindow(const X11Display& display, std::uint32_t window);

}  // namespace veltrano::platform
