#pragma once
// Moving the session to the neighbouring virtual desktop the way X window managers take it (EWMH): a
// _NET_CURRENT_DESKTOP request sent to the root window, honoured when the window manager lists that atom in
// _NET_SUPPORTED. The command handler uses it through this interface.
//
// Threads: one thread at a time (the handler's main thread).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace veltrano::platform {

enum class DesktopStep { previous, next };

struct DesktopSwitchResult {
  enum class Status { requested, atEnd, unsupported };
  Status status = Status::unsupported;
  std::uint32_t desktop = 0;  // requested: the desktop asked for; atEnd: the current one
  std::string reason;         // unsupported: why nothing was sent
};

class DesktopSwitcher {
 public:
  virtual ~DesktopSwitcher() = default;
  // Why no switch can be asked for now; nullopt when the window manager takes the request. Asks anew each call.
  virtual std::optional<std::string> unsupportedReason() = 0;
  // Asks the window manager to show the previous or next desktop. Sends nothing past the first or the last.
  virtual DesktopSwitchResult step(DesktopStep step) = 0;
};

// The window manager of the X server on `displayName` ($DISPLAY when null); nullptr when no X server answers.
std::unique_ptr<DesktopSwitcher> createX11DesktopSwitcher(const char* displayName = nullptr);

}  // namespace veltrano::platform
