#pragma once
// The main window ("server-window"): a QML window over the host bridge and the window shell. Closing it hides
// it; the program keeps running unless `closingQuits` is set (no tray to reopen it from).
#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <functional>
#include <optional>

#include "app/console_pages.hpp"
#include "app/host_bridge.hpp"
#include "app/window_shell.hpp"
#include "app/window_typefaces.hpp"

namespace veltrano::app {

class MainWindow : public QObject {
  Q_OBJECT
 public:
  // `onClosedToQuit` runs when the user closes the window and closing should end the program.
  MainWindow(HostBridge& host, WindowShell& shell, std::function<void()> onClosedToQuit, QObject* parent = nullptr);
  ~MainWindow() override;

  // Opens the window if it is closed, else brings it to the front, and activates the application.
  void bringForward();
  void setClosingQuits(bool quits) { closingQuits_ = quits; }
  QQuickWindow* window() const { return window_; }

 private:
  ConsolePages pages_;
  WindowTypefaces typefaces_;
  QQmlApplicationEngine engine_;
  QPointer<QQuickWindow> window_;
  WindowShell& shell_;
  std::function<void()> onClosedToQuit_;
  bool closingQuits_ = false;
  std::optional<QPoint> shownAt_;  // where the window was when it was last hidden
};

}  // namespace veltrano::app
