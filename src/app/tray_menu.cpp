#include "app/tray_menu.hpp"

#include <QAction>
#include <QIcon>
#include <QKeySequence>

#include "core/localization.hpp"

namespace veltrano::app {

namespace {
QString text(const char* key) { return QString::fromStdString(localized(key)); }
}  // namespace

const char* menuStatusKey(const HostState& state) {
  if (state.isStarting) return "host.status.starting";
  if (state.isCapturing) return "host.menu.status_sharing";
  if (state.isRunning) return "host.menu.status_waiting";
  return "host.status.stopped";
}

TrayMenu::TrayMenu(HostBridge& host, Actions actions, QWidget* parent)
    : QMenu(parent), host_(host), actions_(std::move(actions)) {
  status_ = addAction(QString());
  addSeparator();
  show_ = addAction(QIcon::fromTheme("window-new"), text("host.menu.show"));
  show_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  start_ = addAction(QIcon::fromTheme("media-playback-start"), text("host.menu.start"));
  stop_ = addAction(QIcon::fromTheme("media-playback-stop"), text("host.menu.stop"));
  addSeparator();
  launchAtLogin_ = addAction(text("host.menu.auto_start"));
  launchAtLogin_->setCheckable(true);
  addSeparator();
  quit_ = addAction(QIcon::fromTheme("system-shutdown"), text("host.menu.quit"));
  quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  connect(show_, &QAction::triggered, this, [this] { actions_.bringWindowForward(); });
  connect(start_, &QAction::triggered, this, [this] { startHost(); });
  connect(stop_, &QAction::triggered, this, [this] { host_.controls().stopServer(); });
  connect(launchAtLogin_, &QAction::triggered, this, [this] { toggleLaunchAtLogin(); });
  connect(quit_, &QAction::triggered, this, [this] { actions_.quit(); });
  connect(&host_, &HostBridge::stateChanged, this, [this] { update(); });
  update();
}

void TrayMenu::update() {
  const HostState& state = host_.state();
  const bool active = state.isRunning || state.isStarting;
  status_->setText(text(menuStatusKey(state)));
  start_->setEnabled(!active);
  stop_->setEnabled(active);
  // A check mark when on, an empty box when off: the menu never keeps the value, the host does.
  launchAtLogin_->setChecked(state.launchAtLogin);
}

void TrayMenu::startHost() {
  // The window leads the user through granting what is missing; the host refuses the start by itself.
  if (!host_.controls().state().hasAllPermissions) actions_.bringWindowForward();
  host_.controls().startServer();
}

void TrayMenu::toggleLaunchAtLogin() {
  auto& controls = host_.controls();
  const bool wasOn = controls.state().launchAtLogin;
  controls.setLaunchAtLogin(!wasOn);
  // A refused change announces nothing, and the item must not keep the check it gave itself.
  update();
  if (wasOn) return;
  const HostState now = controls.state();
  if (now.launchAtLogin && !now.hasAllPermissions) actions_.bringWindowForward();
}

}  // namespace veltrano::app
