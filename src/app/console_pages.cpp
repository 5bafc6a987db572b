#include "app/console_pages.hpp"

#include <string>

#include "app/presenters/advanced_presenter.hpp"
#include "app/presenters/overview_presenter.hpp"
#include "app/presenters/value_formats.hpp"
#include "core/permission_manager.hpp"

namespace veltrano::app {

namespace {
// Long enough to gather a burst of log events into one redraw, short enough to feel immediate.
constexpr int batchMilliseconds = 100;
}  // namespace

ConsolePages::ConsolePages(HostControls& controls, QObject* parent)
    : QObject(parent), controls_(controls), view_(controls.snapshot()) {
  eventLog_.update(controls_.events());
  present();
  if (view_.isHostActive()) errorPlace_ = QStringLiteral("row");
  else errorPlace_ = QStringLiteral("hero");
  batch_.setSingleShot(true);
  batch_.setInterval(batchMilliseconds);
  connect(&batch_, &QTimer::timeout, this, &ConsolePages::refresh);
  subscription_ = controls_.observe([this] {
    if (!batch_.isActive()) batch_.start();
  });
}

void ConsolePages::refresh() {
  const int events = eventLog_.count();
  eventLog_.update(controls_.events());
  if (events != eventLog_.count()) emit eventCountChanged();
  HostSnapshot view = controls_.snapshot();
  if (view == view_) return;
  if (view.lastError != view_.lastError && shouldShowLastError(view)) {
    errorPlace_ = !pendingErrorPlace_.isEmpty() ? pendingErrorPlace_
                  : view.isHostActive()         ? QStringLiteral("row")
                                                : QStringLiteral("hero");
    pendingErrorPlace_.clear();
  } else if (pendingErrorPlace_ == QStringLiteral("row") || view.isRunning) {
    // The switch answers at once, and a start that reached running has nothing left to report.
    pendingErrorPlace_.clear();
  }
  view_ = std::move(view);
  present();
  emit changed();
}

void ConsolePages::present() {
  const Hero h = app::hero(view_);
  hero_ = {{"description", h.description},   {"statusTitle", h.status.title},
           {"statusColor", tintColor(h.status.tint)}, {"statusDetail", h.statusDetail},
           {"buttonTitle", h.buttonTitle},   {"buttonSymbol", h.buttonSymbol},
           {"buttonStops", h.buttonStops}};

  cards_.clear();
  for (const auto& card : metricCards(view_)) {
    cards_.append(QVariantMap{{"title", card.title}, {"value", card.value}, {"detail", card.detail},
                            {"accent", tintColor(card.accent)}, {"symbol", card.symbol}});
  }

  connectionRows_.clear();
  for (const auto& row : app::connectionRows(view_)) {
    connectionRows_.append(QVariantMap{{"symbol", row.symbol}, {"title", row.title}, {"value", row.value}});
  }

  permissions_.clear();
  for (const auto& button : permissionButtons(view_)) {
    permissions_.append(QVariantMap{{"title", button.title},
                                    {"symbol", button.symbol},
                                    {"granted", button.granted},
                                    {"color", tintColor(button.tint)},
                                    {"statusSymbol", button.statusSymbol},
                                    {"accessibleValue", button.accessibleValue}});
  }

  metricRows_.clear();
  for (const auto& row : app::metricRows(view_)) metricRows_.append(QVariantMap{{"label", row.label}, {"value", row.value}});
}

bool ConsolePages::showLastError() const { return shouldShowLastError(view_); }

int ConsolePages::metricRowCount() const { return static_cast<int>(app::metricRows(HostSnapshot{}).size()); }

QString ConsolePages::eventCount() const { return eventCountText(static_cast<std::size_t>(eventLog_.count())); }

QVariantList ConsolePages::links() const {
  QVariantList list;
  for (const auto& link : app::links()) list.append(QVariantMap{{"title", link.title}, {"url", link.url}});
  return list;
}

void ConsolePages::startOrStop() {
  if (view_.isHostActive()) {
    controls_.stopServer();
  } else {
    pendingErrorPlace_ = QStringLiteral("hero");
    controls_.startServer();
  }
}

void ConsolePages::setLaunchAtLogin(bool on) {
  pendingErrorPlace_ = QStringLiteral("row");
  controls_.setLaunchAtLogin(on);
}

void ConsolePages::openPermissionSettings(int index) {
  const auto buttons = permissionButtons(view_);
  if (index < 0 || index >= static_cast<int>(buttons.size())) return;
  PermissionManager::openPrivacySettings(buttons[static_cast<std::size_t>(index)].anchor);
  permissionHelp_ = text(index == 0 ? "host.permission.screen_recording.help" : "host.permission.accessibility.help");
  emit permissionHelpChanged();
}

}  // namespace veltrano::app
