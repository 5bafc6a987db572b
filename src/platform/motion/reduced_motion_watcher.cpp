#include "platform/motion/reduced_motion_watcher.hpp"

#include <gio/gio.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/motion/reduced_motion.hpp"
#include "platform/xdg/user_folders.hpp"

namespace veltrano::platform {

namespace {

constexpr const char* gnomeInterfaceSchema = "org.gnome.desktop.interface";
constexpr const char* gnomeAnimationsKey = "enable-animations";

// GNOME's interface settings, or null where its schema (or the key) is not installed: GSettings would abort on
// an unknown schema.
GSettings* gnomeInterfaceSettings() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return nullptr;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, gnomeInterfaceSchema, TRUE);
  if (!schema) return nullptr;
  GSettings* settings =
      g_settings_schema_has_key(schema, gnomeAnimationsKey) ? g_settings_new_full(schema, nullptr, nullptr) : nullptr;
  g_settings_schema_unref(schema);
  return settings;
}

}  // namespace

struct ReducedMotionWatcher::State {
  std::function<void(bool)> changed;
  std::optional<std::filesystem::path> configFolder;
  GSettings* gnome = nullptr;
  std::vector<GFileMonitor*> monitors;
  bool reduced = false;

  bool ask() const {
    if (gnome && !g_settings_get_boolean(gnome, gnomeAnimationsKey)) return true;
    return configFolder && desktopAsksForReducedMotion(*configFolder);
  }
  void recheck() {
    const bool now = ask();
    if (now == reduced) return;
    reduced = now;
    if (changed) changed(now);
  }
  static void settingChanged(GSettings*, const char*, gpointer self) { static_cast<State*>(self)->recheck(); }
  static void fileChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self) {
    static_cast<State*>(self)->recheck();
  }
  void watchFile(const std::filesystem::path& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    // Files and folders that do not exist yet are watched too: GLib waits for them to appear.
    GFileMonitor* monitor = g_file_monitor_file(file, G_FILE_MONITOR_NONE, nullptr, nullptr);
    g_object_unref(file);
    if (!monitor) return;
    g_signal_connect(monitor, "changed", G_CALLBACK(fileChanged), this);
    monitors.push_back(monitor);
  }
};

ReducedMotionWatcher::ReducedMotionWatcher(std::function<void(bool)> changed,
                                           std::optional<std::filesystem::path> configFolder)
    : state_(std::make_unique<State>()) {
  state_->changed = std::move(changed);
  state_->configFolder = configFolder ? std::move(configFolder) : xdgBaseFolder("XDG_CONFIG_HOME", ".config");
  state_->gnome = gnomeInterfaceSettings();
  // GSettings reports a key's changes only once it has been read with a handler connected.
  if (state_->gnome) {
    g_signal_connect(state_->gnome, (std::string("changed::") + gnomeAnimationsKey).c_str(),
                     G_CALLBACK(State::settingChanged), state_.get());
  }
  if (state_->configFolder) {
    for (const char* file : {"kdeglobals", "gtk-4.0/settings.ini", "gtk-3.0/settings.ini"}) {
      state_->watchFile(*state_->configFolder / file);
    }
  }
  state_->reduced = state_->ask();
}

ReducedMotionWatcher::~ReducedMotionWatcher() {
  for (GFileMonitor* monitor : state_->monitors) {
    g_signal_handlers_disconnect_by_data(monitor, state_.get());
    g_file_monitor_cancel(monitor);
    g_object_unref(monitor);
  }
  if (state_->gnome) {
    g_signal_handlers_disconnect_by_data(state_->gnome, state_.get());
    g_object_unref(state_->gnome);
  }
}

bool ReducedMotionWatcher::reduced() const { return state_->reduced; }

}  // namespace veltrano::platform
