#include "app/tray_menu.hpp"

#include <QAction>
#include <QEvent>
#include <QIcon>
#include <QKeySequence>

#include "app/symbol_font.hpp"
#include "core/localization.hpp"

namespace veltrano::app {

namespace {
QString text(const char* key) { return QString::fromStdString(localized(key)); }
}  // namespace

const char* menuStatusKey(const HostSnapshot& state) {
  if (state.isStarting) return "host.status.starting";
  if (state.isCapturing) return "host.menu.status_sharing";
  if (state.isRunning) return "host.menu.status_waiting";
  return "host.status.stopped";
}

TrayMenu::TrayMenu(HostBridge& host, Actions actions, QWidget* parent)
    : QMenu(parent), host_(host), actions_(std::move(actions)), notices_(host.controls()) {
  // Text to read, not a command: greyed like every item that does nothing.
  status_ = addAction(QString());
  status_->setEnabled(false);
  addSeparator();
  show_ = addAction(text("host.menu.show"));
  show_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  start_ = addAction(text("host.menu.start"));
  stop_ = addAction(text("host.menu.stop"));
  addSeparator();
  launchAtLogin_ = addAction(text("host.menu.auto_start"));
  launchAtLogin_->setCheckable(true);
  addSeparator();
  quit_ = addAction(text("host.menu.quit"));
  quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  connect(show_, &QAction::triggered, this, [this] { actions_.bringWindowForward(); });
  connect(start_, &QAction::triggered, this, [this] { startHost(); });
  connect(stop_, &QAction::triggered, this, [this] { notices_.stop(); });
  connect(launchAtLogin_, &QAction::triggered, this, [this] { toggleLaunchAtLogin(); });
  connect(quit_, &QAction::triggered, this, [this] { actions_.quit(); });
  connect(&host_, &HostBridge::stateChanged, this, [this] { update(); });
  connect(&notices_, &TrayFailureNotices::failed, this, &TrayMenu::failed);
  drawIcons();
  update();
}

void TrayMenu::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange) drawIcons();
  QMenu::changeEvent(event);
}

void TrayMenu::drawIcons() {
  const QColor color = palette().color(QPalette::Text);
  show_->setIcon(symbolIcon("macwindow", color));
  start_->setIcon(symbolIcon("play.fill", color));
  stop_->setIcon(symbolIcon("stop.fill", color));
  launchAtLogin_->setIcon(symbolIcon(host_.snapshot().launchAtLogin ? "checkmark" : "circle", color));
  quit_->setIcon(symbolIcon("power", color));
}

void TrayMenu::update() {
  const HostSnapshot& state = host_.snapshot();
  const bool active = state.isRunning || state.isStarting;
  status_->setText(text(menuStatusKey(state)));
  start_->setEnabled(!active);
  stop_->setEnabled(active);
  // A check mark when on, an empty box when off: the menu never keeps the value, the host does.
  launchAtLogin_->setChecked(state.launchAtLogin);
  launchAtLogin_->setIcon(symbolIcon(state.launchAtLogin ? "checkmark" : "circle", palette().color(QPalette::Text)));
}

void TrayMenu::startHost() {
  // The window leads the user through granting what is missing; the host refuses the start by itself.
  if (!host_.controls().snapshot().hasAllPermissions) actions_.bringWindowForward();
  notices_.start();
}

void TrayMenu::toggleLaunchAtLogin() {
  auto& controls = host_.controls();
  const bool wasOn = controls.snapshot().launchAtLogin;
  notices_.setLaunchAtLogin(!wasOn);
  // A refused change announces nothing, and the item must not keep the check it gave itself.
  update();
  if (wasOn) return;
  const HostSnapshot now = controls.snapshot();
  if (now.launchAtLogin && !now.hasAllPermissions) actions_.bringWindowForward();
}

}  // namespace veltrano::app
