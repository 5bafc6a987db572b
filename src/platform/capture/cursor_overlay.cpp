#include "platform/capture/cursor_overlay.hpp"

#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

std::optional<CursorImage> fetchCursorImage(xcb_connection_t* connection) {
  XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
      xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), nullptr));
  if (!reply) return std::nullopt;
  CursorImage cursor;
  cursor.x = reply->x - reply->xhot;
  cursor.y = reply->y - reply->yhot;
  cursor.width = reply->width;
  cursor.height = reply->height;
  cursor.serial = reply->cursor_serial;
  const auto count = static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height);
  const auto available = static_cast<std::size_t>(xcb_xfixes_get_cursor_image_cursor_image_length(reply.get()));
  if (available < count) return std::nullopt;
  const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
  cursor.argb.assign(image, image + count);
  return cursor;
}

void compositeCursor(const CursorImage& cursor, std::uint8_t* pixels, int width, int height, int stride,
                     int originX, int originY) {
  const int left = cursor.x - originX;
  const int top = cursor.y - originY;
  const int x0 = std::max(0, left);
  const int y0 = std::max(0, top);
  const int x1 = std::min(width, left + cursor.width);
  const int y1 = std::min(height, top + cursor.height);
  for (int y = y0; y < y1; ++y) {
    const std::uint32_t* src = cursor.argb.data() + static_cast<std::size_t>(y - top) * cursor.width;
    std::uint8_t* dst = pixels + static_cast<std::size_t>(y) * stride;
    for (int x = x0; x < x1; ++x) {
      const std::uint32_t s = src[x - left];
      const unsigned alpha = s >> 24;
      if (alpha == 0) continue;
      const unsigned inverse = 255 - alpha;
      std::uint8_t* d = dst + static_cast<std::size_t>(x) * 4;
      // Premultiplied "over": dst = src + dst * (1 - alpha). Clamped, since a client may hand X a cursor whose
      // colour exceeds its alpha.
      const unsigned channels[3] = {s & 0xFF, (s >> 8) & 0xFF, (s >> 16) & 0xFF};  // B, G, R
      for (int c = 0; c < 3; ++c) {
        const unsigned blended = channels[c] + (d[c] * inverse + 127) / 255;
        d[c] = static_cast<std::uint8_t>(std::min(255u, blended));
      }
    }
  }
}

}  // namespace veltrano::platform
