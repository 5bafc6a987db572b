#pragma once
// Tells whether a rectangle of the screen changed, through the DAMAGE extension on the root window.
#include <xcb/xcb.h>

#include <cstdint>

#include "platform/x11/x11_display.hpp"


namespace veltrano::platform {

class DamageMonitor {
 public:
  // Negotiates DAMAGE on this connection and starts watching the root window. available() is false when the server
  // lacks the extension; then everything counts as changed.
  DamageMonitor(xcb_connection_t* connection, std::uint32_t root, Rect area);
  ~DamageMonitor();
  DamageMonitor(const DamageMonitor&) = delete;
  DamageMonitor& operator=(const DamageMonitor&) = delete;

  bool available() const { return damage_ != 0; }
  // Feeds one event from the connection; returns true when it was a damage report.
  bool handle(const xcb_generic_event_t* event);
  // Whether the area changed since the last call (always true without DAMAGE). Clears the server's record first,
  // so that a change made during the grab that follows is reported again.
  bool takeChanged();
  // Whether a change waits for takeChanged(), without clearing it (always true without DAMAGE).
  bool hasChange() const { return !damage_ || changed_; }

 private:
  xcb_connection_t* connection_;
  Rect area_;
  std::uint32_t damage_ = 0;
  std::uint8_t firstEvent_ = 0;
  bool reported_ = false;  // any report since the last subtract, even outside the area
  bool changed_ = true;    // the first frame is always wanted
};

}  // namespace veltrano::platform
