#pragma once
// The overview and advanced pages' view of the host: the presenters' texts as Qt properties, the activity log
// as a list model, and the pages' commands. Changes arrive in bursts (a busy log writes many events a second),
// so they are gathered and shown together a short while after the first one.
#include <QObject>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include "app/event_log_model.hpp"
#include "app/host_controls.hpp"

namespace veltrano::app {

class ConsolePages : public QObject {
  Q_OBJECT
  Q_PROPERTY(QVariantMap hero READ hero NOTIFY changed)
  Q_PROPERTY(QVariantList cards READ cards NOTIFY changed)
  Q_PROPERTY(QVariantList connectionRows READ connectionRows NOTIFY changed)
  Q_PROPERTY(bool isRunning READ isRunning NOTIFY changed)
  Q_PROPERTY(QString localIP READ localIP NOTIFY changed)
  Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY changed)
  Q_PROPERTY(bool showLastError READ showLastError NOTIFY changed)
  Q_PROPERTY(QString lastError READ lastError NOTIFY changed)
  Q_PROPERTY(QString errorPlace READ errorPlace NOTIFY changed)
  Q_PROPERTY(QVariantList permissions READ permissions NOTIFY changed)
  // Where the permission of the button last pressed comes from: this desktop has no settings to open.
  Q_PROPERTY(QString permissionHelp READ permissionHelp NOTIFY permissionHelpChanged)
  Q_PROPERTY(QVariantList metricRows READ metricRows NOTIFY changed)
  Q_PROPERTY(int metricRowCount READ metricRowCount CONSTANT)
  Q_PROPERTY(QString eventCount READ eventCount NOTIFY eventCountChanged)
  Q_PROPERTY(QObject* eventLog READ eventLog CONSTANT)
  Q_PROPERTY(QVariantList links READ links CONSTANT)

 public:
  explicit ConsolePages(HostControls& controls, QObject* parent = nullptr);

  QVariantMap hero() const { return hero_; }
  QVariantList cards() const { return cards_; }
  QVariantList connectionRows() const { return connectionRows_; }
  bool isRunning() const { return view_.isRunning; }
  QString localIP() const { return QString::fromStdString(view_.localIP); }
  bool launchAtLogin() const { return view_.launchAtLogin; }
  bool showLastError() const;
  QString lastError() const { return QString::fromStdString(view_.lastError); }
  // Where the error shows, once: "hero" beside the start button for a start that failed, "row" under the
  // launch-at-login switch for a change of it that failed and for what goes wrong while the host runs.
  QString errorPlace() const { return errorPlace_; }
  QVariantList permissions() const { return permissions_; }
  QString permissionHelp() const { return permissionHelp_; }
  QVariantList metricRows() const { return metricRows_; }
  // The grid's cells stay in place while their values change, so a selection in one survives other updates.
  int metricRowCount() const;
  QString eventCount() const;
  QObject* eventLog() { return &eventLog_; }
  QVariantList links() const;

  // The hero's button: stops an active host (also one still starting), else starts it.
  Q_INVOKABLE void startOrStop();
  Q_INVOKABLE void setLaunchAtLogin(bool on);
  // Opens the privacy pane of the permission button at `index`.
  Q_INVOKABLE void openPermissionSettings(int index);

 signals:
  void changed();
  void eventCountChanged();
  void permissionHelpChanged();

 private:
  void refresh();
  // The lists the pages read, made once per change rather than at each of the pages' many reads.
  void present();

  HostControls& controls_;
  HostSnapshot view_;
  QString errorPlace_ = QStringLiteral("row");
  QString pendingErrorPlace_;
  QVariantMap hero_;
  QVariantList cards_;
  QVariantList connectionRows_;
  QVariantList permissions_;
  QVariantList metricRows_;
  QString permissionHelp_;  // where the next new error belongs: the place of the command just sent
  EventLogModel eventLog_;
  QTimer batch_;
  Subscription subscription_;
};

}  // namespace veltrano::app
