#pragma once
// What went wrong with a command chosen in the tray menu, told at the tray, where the user acted: a start that
// ended without the host running, a change of launch at login that did not take. Each failure once, in the
// host's own words; the window's overview shows the same error.
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

#include "app/host_controls.hpp"
#include "base/uuid.hpp"

namespace veltrano::app {

class TrayFailureNotices : public QObject {
  Q_OBJECT
 public:
  explicit TrayFailureNotices(HostControls& controls, QObject* parent = nullptr);

  // Each runs the command and watches its outcome.
  void start();
  void setLaunchAtLogin(bool on);
  // A stop ends the wait for a start: what follows is not its failure.
  void stop();

 signals:
  void failed(const QString& text);

 private:
  void settleStart();
  bool errorLoggedSinceRequest() const;

  HostControls& controls_;
  bool awaitingStart_ = false;
  std::string errorBefore_;
  std::optional<Uuid> lastEventBefore_;
  // The host ends a start in several steps on one turn; its outcome is read once they are all done.
  QTimer settle_;
  Subscription subscription_;
};

}  // namespace veltrano::app
