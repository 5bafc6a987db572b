#include "platform/permissions/x11_permission_probe.hpp"

#include "platform/events/event_posting_access.hpp"
#include "platform/x11/x11_display.hpp"
#include "platform/x11/xcb_reply.hpp"

#include <xcb/xcb.h>

namespace veltrano::platform {

X11PermissionProbe::X11PermissionProbe(std::string displayName) : displayName_(std::move(displayName)) {}

X11PermissionProbe::~X11PermissionProbe() = default;

std::shared_ptr<X11Display> X11PermissionProbe::connectionLocked() {
  if (display_ && display_->hasError()) display_.reset();
  if (!display_) display_ = X11Display::open(displayName_.empty() ? nullptr : displayName_.c_str());
  return display_;
}

bool X11PermissionProbe::canPostEvents() {
  std::lock_guard lock(mutex_);
  auto display = connectionLocked();
  return display && eventPostingAvailable(*display);
}

bool X11PermissionProbe::canCaptureScreen() {
  std::lock_guard lock(mutex_);
  auto display = connectionLocked();
  if (!display) return false;
  auto* c = display->connection();
  auto cookie = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, display->rootWindow(), 0, 0, 1, 1, ~0u);
  xcb_generic_error_t* error = nullptr;
  XcbReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(c, cookie, &error));
  XcbReply<xcb_generic_error_t> ownedError(error);
  return reply != nullptr && error == nullptr;
}

std::shared_ptr<X11PermissionProbe> sharedX11PermissionProbe() {
  static auto probe = std::make_shared<X11PermissionProbe>();
  return probe;
}

}  // namespace veltrano::platform
