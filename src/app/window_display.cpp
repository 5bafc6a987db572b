#include "app/window_display.hpp"

#include <QEvent>
#include <QGuiApplication>

#include <boost/asio/post.hpp>

#include <memory>
#include <utility>

#include "base/executors.hpp"
#include "base/thread_pools.hpp"
#include "platform/x11/window_monitor.hpp"

namespace veltrano::app {

namespace {

// The X round trips of a lookup wait here, never on the main thread.
const ThreadPoolKind kWindowDisplay{"window display lookups", 1};

void lookUp(QWindow& window, std::function<void(std::uint32_t)> report) {
  const auto id = static_cast<std::uint32_t>(window.winId());
  asio::post(ThreadPools::pool(kWindowDisplay).executor(), [id, report = std::move(report)]() mutable {
    // Qt's own connection belongs to the main thread; $DISPLAY is the server Qt and the capture use.
    const auto display = platform::X11Display::open();
    if (!display) return;
    const auto monitor = platform::monitorOfWindow(*display, id);
    if (!monitor) return;
    performOnMainRunLoop([report = std::move(report), displayID = monitor->id] { report(displayID); });
  });
}

// Waits for the window's first expose, then starts the lookup and goes.
class ExposeWatch final : public QObject {
 public:
  ExposeWatch(QWindow& window, std::function<void(std::uint32_t)> report)
      : QObject(&window), report_(std::move(report)) {
    window.installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* window = static_cast<QWindow*>(watched);
    if (event->type() == QEvent::Expose && report_ && window->isExposed()) {
      window->removeEventFilter(this);
      lookUp(*window, std::exchange(report_, nullptr));
      deleteLater();
    }
    return false;
  }

 private:
  std::function<void(std::uint32_t)> report_;
};

}  // namespace

void reportWindowDisplay(QWindow& window, std::function<void(std::uint32_t)> report) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  if (window.isExposed()) {
    lookUp(window, std::move(report));
  } else {
    new ExposeWatch(window, std::move(report));  // a child of the window
  }
}

}  // namespace veltrano::app
