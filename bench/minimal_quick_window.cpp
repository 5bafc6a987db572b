// The peer of the program's window benchmarks: the smallest Qt Quick window of the same size with a line of text,
// on the same Qt, renderer (chosen as the program chooses it) and X server. "--hidden" makes the window without showing it, as the program's window
// is once closed to the tray.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstring>

#include "app/window_renderer.hpp"

int main(int argc, char** argv) {
  veltrano::app::WindowRenderer renderer;
  QGuiApplication application(argc, argv);
  renderer.qtStarted();
  const bool hidden = argc > 1 && std::strcmp(argv[1], "--hidden") == 0;
  QQmlApplicationEngine engine;
  engine.loadData(R"(
import QtQuick
Window {
    width: 960; height: 650
    title: "Minimal Qt Quick window"
    color: "#090b0f"
    Text { anchors.centerIn: parent; text: "Minimal Qt Quick window"; color: "white"; font.pixelSize: 18 }
}
)");
  if (engine.rootObjects().isEmpty()) return 1;
  auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().first());
  if (!hidden) window->show();
  return QGuiApplication::exec();
}
