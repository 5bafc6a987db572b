#pragma once
// Whether this process may post input events: the X display opens and has the XTEST extension.
// The injector and the permission service ask the same question, so both use this.
#include "platform/x11/x11_display.hpp"

namespace veltrano::platform {

bool eventPostingAvailable(const X11Display& display);
// Opens a connection to ask (displayName nullptr = $DISPLAY); false when no server is reachable.
bool eventPostingAvailable(const char* displayName = nullptr);

}  // namespace veltrano::platform
