#include "app/host_bridge.hpp"

#include <tuple>
#include <utility>

#include "app/app_localized_strings.hpp"
#include "app/presenters/overview_presenter.hpp"
#include "core/localization.hpp"

namespace veltrano::app {

namespace {
QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

// What the window and the menu follow: a new frame count, byte count or log line announces nothing to them.
auto followedValues(const HostSnapshot& s) {
  return std::make_tuple(s.isRunning, s.isStarting, s.isCapturing, s.launchAtLogin, s.hasResolvedPermissions,
                         s.requiresPermissionGate, s.hasAllPermissions, s.screenRecordingStatus, s.accessibilityStatus,
                         s.showScreenRecordingRecoveryHelp, s.port, s.deviceCount());
}
}  // namespace

HostBridge::HostBridge(HostControls& controls, QObject* parent)
    : QObject(parent), controls_(controls), snapshot_(controls.snapshot()) {
  registerAppLocalizedStrings();
  subscription_ = controls_.observe([this] { refresh(); });
}

void HostBridge::refresh() {
  const HostSnapshot previous = std::exchange(snapshot_, controls_.snapshot());
  if (followedValues(snapshot_) == followedValues(previous)) return;
  if (snapshot_.isCapturing != previous.isCapturing) emit isCapturingChanged();
  if (snapshot_.hasAllPermissions != previous.hasAllPermissions) emit hasAllPermissionsChanged();
  emit stateChanged();
}

QString HostBridge::statusTitle() const { return hostStatus(snapshot_).title; }

QString HostBridge::statusColor() const { return tintColor(hostStatus(snapshot_).tint); }

QString HostBridge::sidebarDetail() const { return app::sidebarDetail(snapshot_); }

QString HostBridge::text(const QString& key) const { return fromUtf8(localized(key.toStdString())); }

}  // namespace veltrano::app
