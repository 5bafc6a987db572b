#include "app/host_application.hpp"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QTimer>

#include "app/main_coroutine.hpp"
#include "app/main_window.hpp"
#include "app/qt_main_context.hpp"
#include "app/tray_icons.hpp"
#include "app/tray_menu.hpp"
#include "app/window_shell.hpp"
#include "core/localization.hpp"
#include "platform/motion/reduced_motion_watcher.hpp"

namespace veltrano::app {

namespace {
constexpr int failureNoticeMilliseconds = 10000;
}  // namespace

HostApplication::HostApplication(QtMainContext& mainContext, Options options)
    : mainContext_(mainContext), options_(std::move(options)) {
  // Closing the window never ends the program by itself: the quit below does.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  controls_ = options_.makeControls();
  bridge_ = std::make_unique<HostBridge>(*controls_);
  if (!options_.reduceMotion) {
    motion_ = std::make_unique<platform::ReducedMotionWatcher>([this](bool reduced) {
      if (shell_) shell_->setReduceMotion(reduced);
    });
  }
  shell_ = std::make_unique<WindowShell>(
      *bridge_, settings_, WindowShell::Options{options_.track, motion_ ? motion_->reduced() : *options_.reduceMotion});
  window_ = std::make_unique<MainWindow>(*bridge_, *shell_, [this] { requestQuit(); });

  const bool trayAvailable = options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  if (trayAvailable) {
    menu_ = std::make_unique<TrayMenu>(*bridge_, TrayMenu::Actions{[this] { bringWindowForward(); },
                                                                   [this] { requestQuit(); }});
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(QString::fromStdString(localized("common.product_name")));
    // A command chosen in the menu that fails is told where it was chosen.
    connect(menu_.get(), &TrayMenu::failed, tray_.get(), [this](const QString& text) {
      tray_->showMessage(QString::fromStdString(localized("common.product_name")), text, QSystemTrayIcon::Warning,
                         failureNoticeMilliseconds);
    });
    // The notice points at the window, whose overview says more.
    connect(tray_.get(), &QSystemTrayIcon::messageClicked, this, [this] { bringWindowForward(); });
    connect(bridge_.get(), &HostBridge::isCapturingChanged, tray_.get(), [this] { showTrayIcon(); });
    showTrayIcon();
    // A left click pulls the menu down too, as a right click does.
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
    });
    qApp->installEventFilter(this);
    tray_->show();
  } else {
    // Nothing would be left to reopen the window from.
    window_->setClosingQuits(true);
  }
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) shell_->applicationBecameActive();
  });
  window_->bringForward();
  // Launching has finished once the loop runs.
  QTimer::singleShot(0, this, [this] {
    if (options_.track) options_.track(AnalyticsEvent::server_app_open, std::nullopt);
  });
}

HostApplication::~HostApplication() { tearDown(); }

void HostApplication::showTrayIcon() {
  if (tray_) tray_->setIcon(bridge_->isCapturing() ? capturingTrayIcon() : idleTrayIcon());
}

bool HostApplication::eventFilter(QObject* watched, QEvent* event) {
  // The icon's colours follow the desktop's palette.
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) showTrayIcon();
  return QObject::eventFilter(watched, event);
}

int HostApplication::exec() {
  const int code = QApplication::exec();
  tearDown();
  return code;
}

void HostApplication::bringWindowForward() { window_->bringForward(); }

void HostApplication::requestQuit() {
  if (quitting_) return;
  quitting_ = true;
  controls_->stopServer();
  spawnOnMain([](HostApplication* self, HostControls& controls) -> asio::awaitable<void> {
    co_await controls.shutdownFinished();
    // The deadline may have ended the loop already; then this frame is being unwound at teardown.
    self->finishQuit();
  }(this, *controls_));
  QTimer::singleShot(options_.shutdownTimeout, this, [this] { finishQuit(); });
}

void HostApplication::finishQuit() {
  if (quitFinished_) return;
  quitFinished_ = true;
  QCoreApplication::quit();
}

void HostApplication::tearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  tray_.reset();
  menu_.reset();
  window_.reset();
  motion_.reset();
  shell_.reset();
  bridge_.reset();
  if (options_.stopIoThreads) options_.stopIoThreads();
  // What the I/O threads left for the main thread may refer to the host: it must not run now.
  mainContext_.shutdownQueue();
  if (options_.discardIoWork) options_.discardIoWork();
  controls_.reset();
}

}  // namespace veltrano::app
