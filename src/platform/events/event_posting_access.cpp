#include "platform/events/event_posting_access.hpp"

namespace veltrano::platform {

bool eventPostingAvailable(const X11Display& display) { return !display.hasError() && display.hasXTest(); }

bool eventPostingAvailable(const char* displayName) {
  const std::shared_ptr<X11Display> display = X11Display::open(displayName);
  return display != nullptr && eventPostingAvailable(*display);
}

}  // namespace veltrano::platform
