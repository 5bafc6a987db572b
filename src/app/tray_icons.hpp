#pragma once
// The tray icon's two images: a small display with signal arcs, and the same with a green dot while the
// screen is being captured. Each is drawn on first use in the application palette's colours and drawn again
// once the palette has changed (a light or dark desktop theme), so it never stays dark on a dark panel.
#include <QIcon>

namespace veltrano::app {

const QIcon& idleTrayIcon();
const QIcon& capturingTrayIcon();

// Draws the icon into an 18 x 18 unit canvas (top-left origin) scaled to `pixels` square.
QImage drawTrayIcon(bool capturing, int pixels);

}  // namespace veltrano::app
