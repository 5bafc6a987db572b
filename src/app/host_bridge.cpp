#include "app/host_bridge.hpp"

#include "app/app_localized_strings.hpp"
#include "app/presenters/overview_presenter.hpp"
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

QString HostBridge::statusTitle() const { return hostStatus(HostControls::viewOf(state_)).title; }

QString HostBridge::statusColor() const { return tintColor(hostStatus(HostControls::viewOf(state_)).tint); }

QString HostBridge::sidebarDetail() const { return app::sidebarDetail(HostControls::viewOf(state_)); }

QString HostBridge::text(const QString& key) const { return fromUtf8(localized(key.toStdString())); }

}  // namespace veltrano::app
