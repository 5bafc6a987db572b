#include "app/tray_failure_notices.hpp"

#include "app/presenters/overview_presenter.hpp"

namespace veltrano::app {

namespace {
std::optional<Uuid> newestEvent(const HostControls& controls) {
  const auto events = controls.events();
  if (events.empty()) return std::nullopt;
  return events.back().id;
}
}  // namespace

TrayFailureNotices::TrayFailureNotices(HostControls& controls, QObject* parent) : QObject(parent), controls_(controls) {
  settle_.setSingleShot(true);
  settle_.setInterval(0);
  connect(&settle_, &QTimer::timeout, this, &TrayFailureNotices::settleStart);
  subscription_ = controls_.observe([this] {
    if (awaitingStart_) settle_.start();
  });
}

void TrayFailureNotices::start() {
  errorBefore_ = controls_.snapshot().lastError;
  lastEventBefore_ = newestEvent(controls_);
  awaitingStart_ = true;
  controls_.startServer();
  // A refused start changes nothing that is watched when the refusal repeats the last error.
  settle_.start();
}

void TrayFailureNotices::setLaunchAtLogin(bool on) {
  controls_.setLaunchAtLogin(on);
  // The host answers at once.
  const HostSnapshot view = controls_.snapshot();
  if (view.launchAtLogin != on && shouldShowLastError(view)) emit failed(QString::fromStdString(view.lastError));
}

void TrayFailureNotices::stop() {
  awaitingStart_ = false;
  controls_.stopServer();
}

void TrayFailureNotices::settleStart() {
  if (!awaitingStart_) return;
  const HostSnapshot view = controls_.snapshot();
  if (view.isRunning) {
    awaitingStart_ = false;
    return;
  }
  if (view.isHostActive()) return;
  awaitingStart_ = false;
  // An error shown before the start is news only when the start failed the same way again.
  if (shouldShowLastError(view) && (view.lastError != errorBefore_ || errorLoggedSinceRequest())) {
    emit failed(QString::fromStdString(view.lastError));
  }
}

bool TrayFailureNotices::errorLoggedSinceRequest() const {
  const auto events = controls_.events();
  for (auto event = events.rbegin(); event != events.rend(); ++event) {
    if (lastEventBefore_ && event->id == *lastEventBefore_) return false;
    if (event->tag == "ERROR") return true;
  }
  return false;
}

}  // namespace veltrano::app
