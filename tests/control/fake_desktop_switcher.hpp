#pragma once
// A window manager's desktops for handler tests: it moves between `count` desktops and records each request.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/desktop_switcher.hpp"

namespace veltrano::test {

class FakeDesktopSwitcher final : public platform::DesktopSwitcher {
 public:
  std::optional<std::string> unsupportedReason() override { return unsupported; }

  platform::DesktopSwitchResult step(platform::DesktopStep step) override {
    using Status = platform::DesktopSwitchResult::Status;
    if (unsupported) return {Status::unsupported, 0, *unsupported};
    const bool next = step == platform::DesktopStep::next;
    if (next ? current + 1 >= count : current == 0) return {Status::atEnd, current, {}};
    current = next ? current + 1 : current - 1;
    requested.push_back(current);
    if (onRequest) onRequest();
    return {Status::requested, current, {}};
  }

  std::uint32_t count = 4;
  std::uint32_t current = 1;
  std::optional<std::string> unsupported;  // while set, every request is refused with it
  std::vector<std::uint32_t> requested;    // the desktops asked for, in order
  std::function<void()> onRequest;
};

}  // namespace veltrano::test
