#pragma once
// A copy of the server's core keyboard mapping (keycode -> keysyms per level).
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace veltrano::platform {

class KeyboardMapping {
 public:
  // nullopt when the server does not answer.
  static std::optional<KeyboardMapping> read(xcb_connection_t* connection);

  // The first keycode that gives keysym without any modifier (level 1), skipping `skip` keycodes.
  std::optional<std::uint8_t> keycodeForUnshifted(std::uint32_t keysym,
                                                  const std::function<bool(std::uint8_t)>& skip) const;
  // Keycodes that carry no keysym at all.
  std::vector<std::uint8_t> keycodesWithoutSymbols() const;

 private:
  std::uint8_t minKeycode_ = 0;
  std::uint8_t keysymsPerKeycode_ = 0;
  std::vector<std::uint32_t> keysyms_;  // keysymsPerKeycode_ entries per keycode from minKeycode_
};

}  // namespace veltrano::platform
