#pragma once
// Xlib, where a library of the program uses it (Qt's X11 backend does), calls its I/O error handler when its
// connection breaks and then ends the process with exit(1).

namespace veltrano::platform {

// Installs `handler` as that I/O error handler, in the Xlib already loaded; false when none is loaded. `handler`
// must end the process itself: Xlib exits when it returns.
bool setXlibConnectionLossHandler(void (*handler)());

}  // namespace veltrano::platform
