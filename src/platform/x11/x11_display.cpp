#include "platform/x11/x11_display.hpp"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

namespace {

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
  return data != nullptr && data->present;
}

// RandR answers requests of a version the client has announced; announce 1.5 (GetMonitors) and learn
// whether the server has it.
bool negotiateRandrMonitors(xcb_connection_t* c) {
  if (!extensionPresent(c, &xcb_randr_id)) return false;
  XcbReply<xcb_randr_query_version_reply_t> reply(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!reply) return false;
  return reply->major_version > 1 || (reply->major_version == 1 && reply->minor_version >= 5);
}

}  // namespace

std::shared_ptr<X11Display> X11Display::open(const char* displayName) {
  int screen = 0;
  xcb_connection_t* c = xcb_connect(displayName, &screen);
  // xcb_connect never returns null; a failed connection is an error object that must still be freed.
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return nullptr;
  }
  std::shared_ptr<X11Display> display(new X11Display(c, screen));
  if (display->root_ == 0 || display->hasError()) return nullptr;
  return display;
}

X11Display::X11Display(xcb_connection_t* c, int screen) : connection_(c) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem > 0 && i < screen; ++i) xcb_screen_next(&it);
  if (it.rem > 0) {
    root_ = it.data->root;
    screenWidth_ = it.data->width_in_pixels;
    screenHeight_ = it.data->height_in_pixels;
  }
  // Ask for all extensions in one round trip, then read the cached answers.
  xcb_prefetch_extension_data(c, &xcb_test_id);
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_damage_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  xcb_prefetch_extension_data(c, &xcb_randr_id);
  hasXTest_ = extensionPresent(c, &xcb_test_id);
  hasShm_ = extensionPresent(c, &xcb_shm_id);
  hasDamage_ = extensionPresent(c, &xcb_damage_id);
  hasXFixes_ = extensionPresent(c, &xcb_xfixes_id);
  hasRandrMonitors_ = negotiateRandrMonitors(c);
}

X11Display::~X11Display() { xcb_disconnect(connection_); }

int connectionError(xcb_connection_t* connection) {
  return connection ? xcb_connection_has_error(connection) : 0;
}

bool X11Display::hasError() const { return connectionError(connection_) != 0; }

bool X11Display::hasXTest() const { return hasXTest_ && !hasError(); }
bool X11Display::hasShm() const { return hasShm_ && !hasError(); }
bool X11Display::hasDamage() const { return hasDamage_ && !hasError(); }
bool X11Display::hasXFixes() const { return hasXFixes_ && !hasError(); }

}  // namespace veltrano::platform
