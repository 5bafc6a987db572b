#include "platform/events/keyboard_mapping.hpp"

#include <xcb/xcb.h>

#include <algorithm>

#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

std::optional<KeyboardMapping> KeyboardMapping::read(xcb_connection_t* connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  const std::uint8_t first = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;
  XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
      connection, xcb_get_keyboard_mapping(connection, first, static_cast<std::uint8_t>(count)), nullptr));
  if (!reply) return std::nullopt;
  KeyboardMapping mapping;
  mapping.minKeycode_ = first;
  mapping.keysymsPerKeycode_ = reply->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  mapping.keysyms_.assign(keysyms, keysyms + length);
  return mapping;
}

std::optional<std::uint8_t> KeyboardMapping::keycodeForUnshifted(
    std::uint32_t keysym, const std::function<bool(std::uint8_t)>& skip) const {
  if (keysymsPerKeycode_ == 0 || keysym == 0) return std::nullopt;
  for (std::size_t i = 0; i < keysyms_.size(); i += keysymsPerKeycode_) {
    const auto keycode = static_cast<std::uint8_t>(minKeycode_ + i / keysymsPerKeycode_);
    if (keysyms_[i] == keysym && !skip(keycode)) return keycode;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> KeyboardMapping::keycodesWithoutSymbols() const {
  std::vector<std::uint8_t> result;
  if (keysymsPerKeycode_ == 0) return result;
  for (std::size_t i = 0; i + keysymsPerKeycode_ <= keysyms_.size(); i += keysymsPerKeycode_) {
    const bool empty = std::all_of(keysyms_.begin() + static_cast<std::ptrdiff_t>(i),
                                   keysyms_.begin() + static_cast<std::ptrdiff_t>(i + keysymsPerKeycode_),
                                   [](std::uint32_t k) { return k == 0; });
    if (empty) result.push_back(static_cast<std::uint8_t>(minKeycode_ + i / keysymsPerKeycode_));
  }
  return result;
}

}  // namespace veltrano::platform
