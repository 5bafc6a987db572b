#pragma once
// Keeps Mesa's DRI driver in the process until it exits. The driver holds some allocations only through its own
// globals; when the display closes at shutdown it is unloaded, and those blocks then read as leaks of an unnamed
// module in the exit-time leak check, which no suppression can name.

namespace veltrano::platform {

// Marks every DRI driver loaded now as never to be unloaded. Call before the GUI application ends; does nothing
// when no driver was loaded.
void keepGraphicsDriversLoaded();

}  // namespace veltrano::platform
