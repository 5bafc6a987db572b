#pragma once
// The application: the one host, its tray icon and menu, the main window, and the ordered quit.
//
// Quit: stop the host, wait for its shutdown for a bounded time, end Qt's loop; then take the window and the
// tray down, stop and join the I/O threads, drop what is still queued for the main thread, destroy what is
// still queued on the I/O context (suspended main coroutines unwind now, while their I/O services exist), and
// destroy the host on the main thread.
#include <QObject>
#include <QSettings>
#include <QSystemTrayIcon>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/host_bridge.hpp"
#include "app/host_controls.hpp"
#include "core/analytics_event.hpp"

namespace veltrano::platform {
class ReducedMotionWatcher;
}  // namespace veltrano::platform

namespace veltrano::app {

class MainWindow;
class QtMainContext;
class TrayMenu;
class WindowShell;

class HostApplication : public QObject {
  Q_OBJECT
 public:
  struct Options {
    std::function<std::unique_ptr<HostControls>()> makeControls;
    AnalyticsTracker track;
    std::function<void()> stopIoThreads;  // stops the shared I/O threads and joins them
    std::function<void()> discardIoWork;  // destroys what is still queued on the stopped I/O context
    std::chrono::milliseconds shutdownTimeout{5000};
    std::optional<bool> trayAvailable;  // none: ask the desktop
    std::optional<bool> reduceMotion;   // none: follow the desktop
  };

  // On the GUI thread, with QApplication and `mainContext` (the installed main executor) in place.
  HostApplication(QtMainContext& mainContext, Options options);
  ~HostApplication() override;

  // Runs Qt's loop until the program quits, then tears everything down in order; returns the exit code.
  int exec();
  // The menu's quit: idempotent.
  void requestQuit();
  void bringWindowForward();

  HostBridge& host() { return *bridge_; }
  TrayMenu* trayMenu() const { return menu_.get(); }
  MainWindow& window() { return *window_; }
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void showTrayIcon();
  void finishQuit();
  void tearDown();

  QtMainContext& mainContext_;
  Options options_;
  QSettings settings_;
  std::unique_ptr<HostControls> controls_;
  std::unique_ptr<HostBridge> bridge_;
  std::unique_ptr<WindowShell> shell_;
  std::unique_ptr<platform::ReducedMotionWatcher> motion_;  // when the desktop decides
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<TrayMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  bool quitting_ = false;
  bool quitFinished_ = false;
  bool tornDown_ = false;
};

}  // namespace veltrano::app
