#pragma once
// The tray icon's menu: a status line and the commands that control the host without the window (show the
// window, start, stop, launch at login, quit). Rebuilt from the host's state whenever it changes; the items'
// symbols come from the bundled symbol font, in the menu's text colour, drawn again when the palette changes. A
// start or a launch-at-login change chosen here that fails is announced through failed(), for the tray to show.
#include <QMenu>

#include <functional>

#include "app/host_bridge.hpp"
#include "app/tray_failure_notices.hpp"

class QAction;

namespace veltrano::app {

class TrayMenu : public QMenu {
  Q_OBJECT
 public:
  struct Actions {
    std::function<void()> bringWindowForward;
    std::function<void()> quit;  // stops the host and ends the program
  };
  TrayMenu(HostBridge& host, Actions actions, QWidget* parent = nullptr);

  QAction* statusLine() const { return status_; }
  QAction* showWindow() const { return show_; }
  QAction* start() const { return start_; }
  QAction* stop() const { return stop_; }
  QAction* launchAtLogin() const { return launchAtLogin_; }
  QAction* quit() const { return quit_; }

 signals:
  void failed(const QString& text);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void update();
  void drawIcons();
  void startHost();
  void toggleLaunchAtLogin();

  HostBridge& host_;
  Actions actions_;
  TrayFailureNotices notices_;
  QAction* status_;
  QAction* show_;
  QAction* start_;
  QAction* stop_;
  QAction* launchAtLogin_;
  QAction* quit_;
};

// The status line's key for `state`.
const char* menuStatusKey(const HostSnapshot& state);

}  // namespace veltrano::app
