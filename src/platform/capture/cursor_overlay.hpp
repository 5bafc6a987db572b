#pragma once
// The pointer drawn into grabbed frames: the X server leaves the cursor out of screen grabs.
#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace veltrano::platform {

struct CursorImage {
  int x = 0;  // top-left corner in root coordinates (pointer position minus hotspot)
  int y = 0;
  int width = 0;
  int height = 0;
  std::uint32_t serial = 0;          // changes when the cursor's shape changes
  std::vector<std::uint32_t> argb;   // premultiplied alpha, row-major, width * height
};

// Asks XFixes for the current cursor. The caller has negotiated the XFixes version on this connection.
// nullopt when the request fails.
std::optional<CursorImage> fetchCursorImage(xcb_connection_t* connection);

// Blends the cursor onto a BGRX picture whose top-left pixel sits at (originX, originY) in root coordinates.
// Parts outside the picture are clipped.
void compositeCursor(const CursorImage& cursor, std::uint8_t* pixels, int width, int height, int stride,
                     int originX, int originY);

}  // namespace veltrano::platform
