#include "platform/x11/window_monitor.hpp"

#include <xcb/xcb.h>

#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

std::optional<X11Monitor> monitorOfWindow(const X11Display& display, std::uint32_t window) {
  xcb_connection_t* c = display.connection();
  const auto attributesCookie = xcb_get_window_attributes(c, window);
  const auto geometryCookie = xcb_get_geometry(c, window);
  XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
  XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
  if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return std::nullopt;
  // Through the root: a window manager may have reparented the window into its frame.
  XcbReply<xcb_translate_coordinates_reply_t> centre(xcb_translate_coordinates_reply(
      c,
      xcb_translate_coordinates(c, window, display.rootWindow(), static_cast<std::int16_t>(geometry->width / 2),
                                static_cast<std::int16_t>(geometry->height / 2)),
      nullptr));
  if (!centre) return std::nullopt;
  for (const X11Monitor& monitor : display.monitors()) {
    const Rect& r = monitor.bounds;
    if (centre->dst_x >= r.x && centre->dst_x < r.x + r.width && centre->dst_y >= r.y && centre->dst_y < r.y + r.height) {
      return monitor;
    }
  }
  return std::nullopt;
}

}  // namespace veltrano::platform
