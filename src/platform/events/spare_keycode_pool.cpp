#include "platform/events/spare_keycode_pool.hpp"

#include <algorithm>

namespace veltrano::platform {

SpareKeycodePool::SpareKeycodePool(std::vector<std::uint8_t> keycodes) {
  std::sort(keycodes.begin(), keycodes.end());
  keycodes.erase(std::unique(keycodes.begin(), keycodes.end()), keycodes.end());
  for (std::uint8_t keycode : keycodes) entries_.push_back(Entry{keycode, std::nullopt, false});
}

std::list<SpareKeycodePool::Entry>::iterator SpareKeycodePool::find(std::uint8_t keycode) {
  return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.keycode == keycode; });
}

bool SpareKeycodePool::contains(std::uint8_t keycode) const {
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.keycode == keycode; });
}

std::optional<std::uint8_t> SpareKeycodePool::keycodeFor(std::uint32_t keysym) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.keysym == keysym; });
  if (it == entries_.end()) return std::nullopt;
  entries_.splice(entries_.end(), entries_, it);
  return it->keycode;
}

std::optional<std::uint8_t> SpareKeycodePool::nextToAssign() const {
  auto unassigned = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.keysym; });
  if (unassigned != entries_.end()) return unassigned->keycode;
  auto idle = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.held; });
  if (idle != entries_.end()) return idle->keycode;
  return std::nullopt;
}

void SpareKeycodePool::assign(std::uint8_t keycode, std::uint32_t keysym) {
  auto it = find(keycode);
  if (it == entries_.end()) return;
  it->keysym = keysym;
  entries_.splice(entries_.end(), entries_, it);
}

void SpareKeycodePool::setHeld(std::uint8_t keycode, bool held) {
  auto it = find(keycode);
  if (it != entries_.end()) it->held = held;
}

std::vector<std::uint8_t> SpareKeycodePool::assignedKeycodes() const {
  std::vector<std::uint8_t> result;
  for (const Entry& e : entries_) {
    if (e.keysym) result.push_back(e.keycode);
  }
  return result;
}

}  // namespace veltrano::platform
