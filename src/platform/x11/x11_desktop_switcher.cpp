#include <xcb/xcb.h>

#include <algorithm>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/x11/desktop_switcher.hpp"
#include "platform/x11/x11_display.hpp"
#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

namespace {

xcb_atom_t internAtom(xcb_connection_t* c, std::string_view name) {
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, /*only_if_exists=*/0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The 32-bit items of a root-window property of `type`; empty when it is missing or of another type.
std::vector<std::uint32_t> rootProperty(const X11Display& display, xcb_atom_t property, xcb_atom_t type) {
  xcb_connection_t* c = display.connection();
  // 4096 items: far more than any window manager lists in _NET_SUPPORTED.
  XcbReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, display.rootWindow(), property, type, 0, 4096), nullptr));
  if (!reply || reply->type != type || reply->format != 32) return {};
  const auto* items = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  return {items, items + xcb_get_property_value_length(reply.get()) / 4};
}

struct Desktops {
  std::uint32_t count = 0;
  std::uint32_t current = 0;
};

class X11DesktopSwitcher final : public DesktopSwitcher {
 public:
  explicit X11DesktopSwitcher(std::shared_ptr<X11Display> display) : display_(std::move(display)) {
    xcb_connection_t* c = display_->connection();
    supported_ = internAtom(c, "_NET_SUPPORTED");
    currentDesktop_ = internAtom(c, "_NET_CURRENT_DESKTOP");
    numberOfDesktops_ = internAtom(c, "_NET_NUMBER_OF_DESKTOPS");
    timestampProperty_ = internAtom(c, "_VELTRANO_TIMESTAMP");
    // An unmapped window of our own whose property changes tell us the server's time.
    clock_ = xcb_generate_id(c);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, clock_, display_->rootWindow(), 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
  }

  std::optional<std::string> unsupportedReason() override {
    const auto state = readDesktops();
    if (const std::string* reason = std::get_if<std::string>(&state)) return *reason;
    return std::nullopt;
  }

  DesktopSwitchResult step(DesktopStep step) override {
    const auto state = readDesktops();
    if (const std::string* reason = std::get_if<std::string>(&state)) {
      return {DesktopSwitchResult::Status::unsupported, 0, *reason};
    }
    const Desktops desktops = std::get<Desktops>(state);
    // No wrap-around: a swipe past the last desktop that lands on the first loses the user's place.
    const bool atEnd = step == DesktopStep::next ? desktops.current + 1 >= desktops.count : desktops.current == 0;
    if (atEnd) return {DesktopSwitchResult::Status::atEnd, desktops.current, {}};
    const std::uint32_t target = step == DesktopStep::next ? desktops.current + 1 : desktops.current - 1;
    if (!requestDesktop(target)) {
      return {DesktopSwitchResult::Status::unsupported, 0, "the X server refused the desktop request"};
    }
    return {DesktopSwitchResult::Status::requested, target, {}};
  }

 private:
  std::variant<Desktops, std::string> readDesktops() const {
    if (display_->hasError()) return std::string("the connection to the X server is lost");
    const std::vector<std::uint32_t> supported = rootProperty(*display_, supported_, XCB_ATOM_ATOM);
    if (std::find(supported.begin(), supported.end(), currentDesktop_) == supported.end()) {
      return std::string("no window manager lists _NET_CURRENT_DESKTOP in _NET_SUPPORTED");
    }
    const std::vector<std::uint32_t> count = rootProperty(*display_, numberOfDesktops_, XCB_ATOM_CARDINAL);
    const std::vector<std::uint32_t> current = rootProperty(*display_, currentDesktop_, XCB_ATOM_CARDINAL);
    if (count.empty() || count[0] == 0 || current.empty() || current[0] >= count[0]) {
      return std::string("the window manager names no current desktop");
    }
    return Desktops{count[0], current[0]};
  }

  bool requestDesktop(std::uint32_t desktop) {
    xcb_connection_t* c = display_->connection();
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = display_->rootWindow();
    message.type = currentDesktop_;
    message.data.data32[0] = desktop;
    message.data.data32[1] = serverTime();
    XcbReply<xcb_generic_error_t> error(xcb_request_check(
        c, xcb_send_event_checked(c, 0, display_->rootWindow(),
                                  XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                                  reinterpret_cast<const char*>(&message))));
    return !error && !display_->hasError();
  }

  // The server's current time: window managers drop requests that carry no real timestamp (focus stealing
  // prevention), so append nothing to a property of our window and read the time of its PropertyNotify.
  xcb_timestamp_t serverTime() {
    xcb_connection_t* c = display_->connection();
    xcb_change_property(c, XCB_PROP_MODE_APPEND, clock_, timestampProperty_, XCB_ATOM_STRING, 8, 0, nullptr);
    xcb_flush(c);
    while (XcbReply<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
      if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) continue;
      const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
      if (notify->window == clock_ && notify->atom == timestampProperty_) return notify->time;
    }
    return XCB_CURRENT_TIME;  // the server went away
  }

  std::shared_ptr<X11Display> display_;
  xcb_atom_t supported_ = XCB_ATOM_NONE;
  xcb_atom_t currentDesktop_ = XCB_ATOM_NONE;
  xcb_atom_t numberOfDesktops_ = XCB_ATOM_NONE;
  xcb_atom_t timestampProperty_ = XCB_ATOM_NONE;
  xcb_window_t clock_ = XCB_NONE;
};

}  // namespace

std::unique_ptr<DesktopSwitcher> createX11DesktopSwitcher(const char* displayName) {
  std::shared_ptr<X11Display> display = X11Display::open(displayName);
  if (!display) return nullptr;
  return std::make_unique<X11DesktopSwitcher>(std::move(display));
}

}  // namespace veltrano::platform
