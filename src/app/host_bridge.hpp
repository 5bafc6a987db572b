#pragma once
// The host as QML and the tray menu see it: HostControls' snapshot as Qt properties with change signals, and its
// commands as invokable methods. Holds no host state of its own beyond the last snapshot it announced.
#include <QObject>
#include <QString>

#include "app/host_controls.hpp"

namespace veltrano::app {

class HostBridge : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool isRunning READ isRunning NOTIFY stateChanged)
  Q_PROPERTY(bool isStarting READ isStarting NOTIFY stateChanged)
  Q_PROPERTY(bool isCapturing READ isCapturing NOTIFY isCapturingChanged)
  Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY stateChanged)
  Q_PROPERTY(bool hasResolvedPermissions READ hasResolvedPermissions NOTIFY stateChanged)
  Q_PROPERTY(bool requiresPermissionGate READ requiresPermissionGate NOTIFY stateChanged)
  Q_PROPERTY(bool hasAllPermissions READ hasAllPermissions NOTIFY hasAllPermissionsChanged)
  Q_PROPERTY(QString statusTitle READ statusTitle NOTIFY stateChanged)
  Q_PROPERTY(QString statusColor READ statusColor NOTIFY stateChanged)
  Q_PROPERTY(QString sidebarDetail READ sidebarDetail NOTIFY stateChanged)

 public:
  explicit HostBridge(HostControls& controls, QObject* parent = nullptr);

  HostControls& controls() { return controls_; }
  const HostSnapshot& snapshot() const { return snapshot_; }
  bool isRunning() const { return snapshot_.isRunning; }
  bool isStarting() const { return snapshot_.isStarting; }
  bool isCapturing() const { return snapshot_.isCapturing; }
  bool launchAtLogin() const { return snapshot_.launchAtLogin; }
  bool hasResolvedPermissions() const { return snapshot_.hasResolvedPermissions; }
  bool requiresPermissionGate() const { return snapshot_.requiresPermissionGate; }
  bool hasAllPermissions() const { return snapshot_.hasAllPermissions; }
  QString statusTitle() const;
  QString statusColor() const;
  QString sidebarDetail() const;

  // The localized text of `key` (the key itself when no table knows it).
  Q_INVOKABLE QString text(const QString& key) const;

 signals:
  void stateChanged();
  void isCapturingChanged();
  void hasAllPermissionsChanged();

 private:
  void refresh();

  HostControls& controls_;
  HostSnapshot snapshot_;
  Subscription subscription_;
};

}  // namespace veltrano::app
