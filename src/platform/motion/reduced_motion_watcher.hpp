#pragma once
// Follows the desktop's wish for less motion while the program runs: GNOME's setting (GSettings
// "org.gnome.desktop.interface", key "enable-animations" false), and KDE's and GTK's settings files as
// desktopAsksForReducedMotion reads them. Any one of them asking is enough.
//
// Changes arrive through GLib's default main context, which Qt's event loop runs on the GUI thread: make, use and
// destroy the watcher there. A desktop without GNOME's schema is followed through its files alone.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace veltrano::platform {

class ReducedMotionWatcher {
 public:
  // `changed` gets each new answer. `configFolder` is the XDG config folder; none: this user's.
  explicit ReducedMotionWatcher(std::function<void(bool reduced)> changed,
                                std::optional<std::filesystem::path> configFolder = std::nullopt);
  ~ReducedMotionWatcher();
  ReducedMotionWatcher(const ReducedMotionWatcher&) = delete;
  ReducedMotionWatcher& operator=(const ReducedMotionWatcher&) = delete;

  bool reduced() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace veltrano::platform
