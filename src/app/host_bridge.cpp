#include "app/host_bridge.hpp"

#include "app/app_localized_strings.hpp"
#include "core/localization.hpp"

namespace veltrano::app {

namespace {
QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }
}  // namespace

HostBridge::HostBridge(HostControls& controls, QObject* parent)
    : QObject(parent), controls_(controls), state_(controls.state()) {
  registerAppLocalizedStrings();
  subscription_ = controls_.observe([this] { refresh(); });
}

void HostBridge::refresh() {
  const HostState previous = state_;
  state_ = controls_.state();
  if (state_ == previous) return;
  if (state_.isCapturing != previous.isCapturing) emit isCapturingChanged();
  if (state_.hasAllPermissions != previous.hasAllPermissions) emit hasAllPermissionsChanged();
  emit stateChanged();
}

QString HostBridge::statusTitle() const {
  if (state_.isStarting) return fromUtf8(localized("host.status.starting"));
  if (!state_.isRunning) return fromUtf8(localized("host.status.stopped"));
  if (state_.connectedDevices >= 1) return fromUtf8(localized("host.status.ipad_connected"));
  return fromUtf8(localized("host.status.ready"));
}

QString HostBridge::statusColor() const {
  if (state_.isStarting) return QStringLiteral("orange");
  if (!state_.isRunning) return QStringLiteral("#8c8c8c");
  if (state_.connectedDevices >= 1) return QStringLiteral("cyan");
  return QStringLiteral("#32d74b");
}

QString HostBridge::sidebarDetail() const {
  if (!state_.isRunning && state_.isStarting) return fromUtf8(localized("host.status.starting_detail"));
  if (!state_.isRunning) return fromUtf8(localized("host.sidebar.no_connections"));
  return fromUtf8(localizedFormat("host.sidebar.port_format", state_.port));
}

QString HostBridge::text(const QString& key) const { return fromUtf8(localized(key.toStdString())); }

}  // namespace veltrano::app
