#include "platform/capture/damage_monitor.hpp"

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

DamageMonitor::DamageMonitor(xcb_connection_t* connection, std::uint32_t root, Rect area)
    : connection_(connection), area_(area) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_damage_id);
  if (!extension || !extension->present) return;
  XcbReply<xcb_damage_query_version_reply_t> version(
      xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1), nullptr));
  if (!version) return;
  firstEvent_ = extension->first_event;
  const std::uint32_t damage = xcb_generate_id(connection);
  // Delta rectangles: each report names only area not yet in the server's record, so a change inside our area can
  // never hide behind an earlier report elsewhere (as it could with a bounding box).
  xcb_generic_error_t* error = xcb_request_check(
      connection, xcb_damage_create_checked(connection, damage, root, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES));
  if (error) {
    std::free(error);
    return;
  }
  damage_ = damage;
}

DamageMonitor::~DamageMonitor() {
  if (damage_ && !xcb_connection_has_error(connection_)) {
    xcb_damage_destroy(connection_, damage_);
    xcb_flush(connection_);
  }
}

bool DamageMonitor::handle(const xcb_generic_event_t* event) {
  if (!damage_ || (event->response_type & 0x7F) != firstEvent_ + XCB_DAMAGE_NOTIFY) return false;
  const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
  if (notify->damage != damage_) return false;
  reported_ = true;
  const auto& r = notify->area;
  if (r.x < area_.x + area_.width && area_.x < r.x + r.width && r.y < area_.y + area_.height &&
      area_.y < r.y + r.height) {
    changed_ = true;
  }
  return true;
}

bool DamageMonitor::takeChanged() {
  if (!damage_) return true;
  if (reported_) {
    // Empties the server's record so that new drawing is reported again; sent before the grab that follows.
    xcb_damage_subtract(connection_, damage_, XCB_NONE, XCB_NONE);
    reported_ = false;
  }
  const bool changed = changed_;
  changed_ = false;
  return changed;
}

}  // namespace veltrano::platform
