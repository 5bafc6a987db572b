// Frame time of the program's window while the host's metrics change, beside a minimal Qt Quick window of the same
// size whose one line of text changes as often. A frame's time runs from the scene's synchronisation to its swap,
// on the X server of $DISPLAY (software renderer, the basic render loop: every frame on the GUI thread, for both
// alike). The metrics change UPDATES_PER_SECOND times a second (default 20, the host's own rate is 1) for
// DURATION_SECONDS (default 10) on each page of ours and on the minimal window, in turn, ROUNDS times (default 2).
//
//   DISPLAY=... build/bench/veltrano_bench_window_frame
#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/main_window.hpp"
#include "app/qt_main_context.hpp"
#include "app/window_shell.hpp"
#include "base/executors.hpp"

namespace {

using namespace veltrano;
using Clock = std::chrono::steady_clock;

int setting(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value ? std::max(1, std::atoi(value)) : fallback;
}

struct Frames {
  std::vector<double> ms;
  int updates = 0;
  double percentile(double p) {
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[std::min(ms.size() - 1, static_cast<std::size_t>(p * static_cast<double>(ms.size())))];
  }
};

// Records every frame of `window` while `update` runs on a timer, for `seconds`.
Frames measure(QQuickWindow* window, const std::function<void(int)>& update, int seconds, int perSecond) {
  Frames frames;
  Clock::time_point began;
  auto start = QObject::connect(window, &QQuickWindow::beforeSynchronizing, window, [&] { began = Clock::now(); },
                                Qt::DirectConnection);
  auto end = QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] {
    frames.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
  }, Qt::DirectConnection);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { update(++frames.updates); });
  tick.start(1000 / perSecond);
  QEventLoop loop;
  QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
  loop.exec();
  tick.stop();
  QObject::disconnect(start);
  QObject::disconnect(end);
  return frames;
}

void settle() {
  QEventLoop loop;
  QTimer::singleShot(1000, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "needs an X server ($DISPLAY)\n");
    return 2;
  }
  setenv("QSG_RENDER_LOOP", "basic", 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  QApplication application(argc, argv);
  app::QtMainContext context;
  setMainExecutor(context.get_executor(), std::this_thread::get_id());
  const int seconds = setting("DURATION_SECONDS", 10), perSecond = setting("UPDATES_PER_SECOND", 20), rounds = setting("ROUNDS", 2);

  // Ours: the console over a running host with a tablet watching, its metrics and log moving.
  testing::FakeHostControls host;
  app::HostSnapshot state;
  state.screenRecordingStatus = state.accessibilityStatus = "granted";
  state.hasResolvedPermissions = state.hasAllPermissions = true;
  state.isRunning = state.isCapturing = true;
  state.localControlClients = 1;
  host.current = state;
  QTemporaryDir folder;
  QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
  settings.setValue(app::WindowShell::onboardingFlagKey, true);
  app::HostBridge bridge(host);
  app::WindowShell shell(bridge, settings, {{}, true});
  app::MainWindow ours(bridge, shell, {});
  ours.bringForward();
  auto moveMetrics = [&](int n) {
    app::HostSnapshot view = host.current;
    view.localIP = "192.168.1.20";
    view.availableDisplays = 1;
    view.displayInfo = "Display 1 1920x1080 (Local network)";
    view.fps = 29 + (n % 10) / 10.0;
    view.capturedFrames = view.encodedFrames = 30 * n;
    view.keyframes = n / 10;
    view.encodeMs = 4 + (n % 7) / 10.0;
    view.videoBytesSent = view.bytesSent = 250000LL * n;
    view.audioFrames = 50 * n;
    view.audioBytesSent = 19200LL * n;
    view.bytesReceived = 1200LL * n;
    view.averagePingMs = 2 + (n % 5) / 10.0;
    host.current = view;
    host.set(host.current);
    if (n % 5 == 0) host.metrics.logEvent(LogCategory::METRICS, "FPS: " + std::to_string(view.fps));
  };

  // The peer: the smallest Qt Quick window of the same size, one text changing as often.
  QQmlApplicationEngine engine;
  engine.loadData(R"(
import QtQuick
Window {
    id: root
    width: 960; height: 650; visible: true
    color: "#090b0f"
    property string line: ""
    Text { anchors.centerIn: parent; text: root.line; color: "white"; font.pixelSize: 18 }
}
)");
  auto* peer = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
  if (!peer || !ours.window()) return 1;
  auto moveLine = [&](int n) { peer->setProperty("line", QStringLiteral("FPS: %1 | Frames: %2").arg(29 + n % 10).arg(30 * n)); };
  settle();

  std::printf("load %.2f; %d s per side, %d updates/s, %d rounds; frame time in ms, median / p95 (frames)\n",
              [] {
                double load = 0;
                if (FILE* f = std::fopen("/proc/loadavg", "r")) {
                  if (std::fscanf(f, "%lf", &load) != 1) load = 0;
                  std::fclose(f);
                }
                return load;
              }(),
              seconds, perSecond, rounds);
  for (int round = 1; round <= rounds; ++round) {
    std::vector<double> medians;
    for (const char* page : {"overview", "advanced"}) {
      shell.setPage(page);
      settle();
      Frames frames = measure(ours.window(), moveMetrics, seconds, perSecond);
      const double median = frames.percentile(0.5);
      medians.push_back(median);
      std::printf("round %d  ours %-8s %6.2f / %6.2f (%zu)\n", round, page, median, frames.percentile(0.95),
                  frames.ms.size());
    }
    Frames frames = measure(peer, moveLine, seconds, perSecond);
    const double median = frames.percentile(0.5);
    std::printf("round %d  minimal         %6.2f / %6.2f (%zu)   ours/minimal: overview %.2f, advanced %.2f\n", round,
                median, frames.percentile(0.95), frames.ms.size(), median > 0 ? medians[0] / median : 0,
                median > 0 ? medians[1] / median : 0);
  }
  setMainExecutor({}, std::this_thread::get_id());
  return 0;
}
