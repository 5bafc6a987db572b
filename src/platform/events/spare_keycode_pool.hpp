#pragma once
// Keycodes that have no symbols of their own, lent out to type characters the keyboard map lacks.
// A keycode keeps its character after use, so typing it again needs no new mapping; when all are
// taken, the least recently used one that is not held down is given a new character. A held key
// is never remapped: its release must reach the same character.
#include <cstdint>
#include <list>
#include <optional>
#include <vector>

namespace veltrano::platform {

class SpareKeycodePool {
 public:
  explicit SpareKeycodePool(std::vector<std::uint8_t> keycodes);

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  bool contains(std::uint8_t keycode) const;

  // The keycode that carries this keysym now (and marks it most recently used), if any.
  std::optional<std::uint8_t> keycodeFor(std::uint32_t keysym);
  // The keycode to remap next: unassigned first, then the least recently used one not held.
  // nullopt when every keycode is held.
  std::optional<std::uint8_t> nextToAssign() const;
  // Records that the keycode now carries keysym (after the server accepted the mapping).
  void assign(std::uint8_t keycode, std::uint32_t keysym);

  void setHeld(std::uint8_t keycode, bool held);
  // Keycodes given a character so far, to hand back empty when done.
  std::vector<std::uint8_t> assignedKeycodes() const;

 private:
  struct Entry {
    std::uint8_t keycode = 0;
    std::optional<std::uint32_t> keysym;
    bool held = false;
  };
  std::list<Entry>::iterator find(std::uint8_t keycode);
  // Front = least recently used.
  std::list<Entry> entries_;
};

}  // namespace veltrano::platform
