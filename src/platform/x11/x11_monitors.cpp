#include <xcb/randr.h>
#include <xcb/xcb.h>

#include "platform/x11/x11_display.hpp"
#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

std::vector<X11Monitor> X11Display::monitors() const {
  std::vector<X11Monitor> result;
  if (!hasRandrMonitors_ || hasError()) return result;

  XcbReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
      connection_, xcb_randr_get_monitors(connection_, root_, /*get_active=*/1), nullptr));
  if (!reply) return result;

  // Send every name request before reading any answer: one round trip for all monitors.
  std::vector<xcb_get_atom_name_cookie_t> nameCookies;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* info = it.data;
    X11Monitor monitor;
    monitor.id = info->name;
    monitor.bounds = Rect{info->x, info->y, info->width, info->height};
    monitor.primary = info->primary != 0;
    result.push_back(monitor);
    nameCookies.push_back(xcb_get_atom_name(connection_, info->name));
  }
  for (std::size_t i = 0; i < result.size(); ++i) {
    XcbReply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(connection_, nameCookies[i], nullptr));
    if (name) {
      result[i].name.assign(xcb_get_atom_name_name(name.get()),
                            static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())));
    }
  }
  // A server that vanished half-way leaves a partial answer; report none rather than a wrong list.
  if (hasError()) result.clear();
  return result;
}

std::optional<X11Monitor> X11Display::mainMonitor(const std::vector<X11Monitor>& monitors) {
  for (const X11Monitor& m : monitors) {
    if (m.primary) return m;
  }
  for (const X11Monitor& m : monitors) {
    if (m.bounds.x == 0 && m.bounds.y == 0) return m;
  }
  if (monitors.empty()) return std::nullopt;
  return monitors.front();
}

}  // namespace veltrano::platform
