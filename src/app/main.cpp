// veltrano-host: the program a user starts.
#include <QApplication>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <chrono>
#include <memory>
#include <thread>

#include "app/host_application.hpp"
#include "app/main_window.hpp"
#include "app/qt_file_panels.hpp"
#include "app/qt_main_context.hpp"
#include "app/qt_string_defaults.hpp"
#include "app/single_instance.hpp"
#include "app/termination_signals.hpp"
#include "app/unexpected_exit_guard.hpp"
#include "app/window_renderer.hpp"
#include "base/executors.hpp"
#include "base/thread_pools.hpp"
#include "core/product_analytics.hpp"
#include "filetransfer/partial_files_in_progress.hpp"
#include "platform/memory/allocator.hpp"
#include "platform/memory/graphics_driver_lifetime.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "platform/x11/x11_display.hpp"
#include "platform/x11/xlib_connection_loss.hpp"
#include "remote/device_identity.hpp"

namespace {

// Closed to the tray, the program idles for hours: the heaps give back what the window's start-up work left free.
void releaseFreedMemoryWhenHidden(QWindow* window) {
  if (!window) return;
  QObject::connect(window, &QWindow::visibleChanged, window, [window](bool visible) {
    if (visible) return;
    QTimer::singleShot(std::chrono::seconds(5), window, [window] {
      if (!window->isVisible()) veltrano::platform::releaseFreedMemory();
    });
  });
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veltrano;
  platform::returnLargeBlocksToSystem();
  app::WindowRenderer renderer;
  QApplication qtApplication(argc, argv);
  renderer.qtStarted();
  QApplication::setApplicationName(QStringLiteral("veltrano-host"));
  QApplication::setOrganizationName(QStringLiteral("veltrano"));

  app::SingleInstance instance;
  if (!instance.claim()) return 0;
  // Qt ends the program when the X server goes away; the guard makes that end clean (see README).
  const app::UnexpectedExitGuard exitGuard(
      [] {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        return x11 ? platform::connectionError(x11->connection()) : 0;
      },
      [] { removePartialFilesInProgress(); });
  platform::setXlibConnectionLossHandler(&app::UnexpectedExitGuard::connectionLost);

  // Outlives the pools: work they drop at the end may still post here, and is refused once the queue is shut.
  app::QtMainContext mainContext;
  setMainExecutor(mainContext.get_executor(), std::this_thread::get_id());
  int code = 0;
  {
    ThreadPools pools;
    // Remote peers run on the network thread while the program may make them; released after the host stopped.
    const std::shared_ptr<void> networkThread = webrtc::startNetworkThread();
    ProductAnalytics::Options analyticsOptions;
    analyticsOptions.endpoint = ProductAnalytics::configuredEndpoint();
    // Read once here on the main thread: reports name this computer as remote access does.
    app::QtStringDefaults deviceDefaults;
    analyticsOptions.deviceId = [deviceID = hostDeviceID(deviceDefaults)] { return deviceID; };
    ProductAnalytics analytics(std::move(analyticsOptions));
    auto track = [&analytics](AnalyticsEvent event, std::optional<std::string> detail) {
      analytics.track(event, std::move(detail));
    };
    std::unique_ptr<app::TerminationSignals> terminationSignals;
    app::HostApplication::Options options;
    options.track = track;
    auto filePanels = std::make_shared<app::QtFilePanelPresenter>();
    options.makeControls = [track, filePanels] { return app::makeHostViewModelControls({track, filePanels}); };
    options.stopIoThreads = [&terminationSignals] {
      terminationSignals.reset();
      sharedIo().stop();
      sharedIo().join();
    };
    options.discardIoWork = [] { sharedIo().discardQueued(); };
    app::HostApplication application(mainContext, std::move(options));
    filePanels->setMainWindow(application.window().window());
    releaseFreedMemoryWhenHidden(application.window().window());
    QObject::connect(&instance, &app::SingleInstance::activationRequested, &application,
                     [&application] { application.bringWindowForward(); });
    terminationSignals = std::make_unique<app::TerminationSignals>(sharedIo().executor(),
                                                                   [&application] { application.requestQuit(); });
    code = application.exec();
    platform::keepGraphicsDriversLoaded();
  }
  setMainExecutor({}, std::this_thread::get_id());
  return code;
}
