#pragma once
// On which display a top-level Qt window appeared, asked of the X server away from the main thread.
#include <QWindow>

#include <cstdint>
#include <functional>

namespace veltrano::app {

// Once `window` is exposed (already, or when the X server has mapped it), looks up the display that holds its
// centre on a thread of its own and passes its identifier to `report`, queued on the main thread. Nothing is
// reported for a window that never shows or is gone first, one off every display, or a platform other than X.
void reportWindowDisplay(QWindow& window, std::function<void(std::uint32_t)> report);

}  // namespace veltrano::app
