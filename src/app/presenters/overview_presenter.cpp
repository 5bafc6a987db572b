#include "app/presenters/overview_presenter.hpp"

#include "app/presenters/value_formats.hpp"

namespace veltrano::app {

namespace {
QString verbatim(const std::string& value) { return QString::fromStdString(value); }
}  // namespace

HostStatus hostStatus(const HostSnapshot& view) {
  if (view.isStarting) return {text("host.status.starting"), Tint::orange};
  if (!view.isRunning) return {text("host.status.stopped"), Tint::secondary};
  if (view.deviceCount() >= 1) return {text("host.status.ipad_connected"), Tint::cyan};
  return {text("host.status.ready"), Tint::green};
}

QString sidebarDetail(const HostSnapshot& view) {
  if (!view.isRunning && view.isStarting) return text("host.status.starting_detail");
  if (!view.isRunning) return text("host.sidebar.no_connections");
  return formatCountText("host.sidebar.port_format", view.port);
}

Hero hero(const HostSnapshot& view) {
  Hero result;
  result.status = hostStatus(view);
  result.buttonStops = view.isHostActive();
  result.buttonSymbol = result.buttonStops ? QStringLiteral("stop.fill") : QStringLiteral("play.fill");
  if (view.isStarting) {
    result.description = text("host.overview.starting_description");
    result.statusDetail = text("host.status.starting_detail");
    result.buttonTitle = text("host.action.cancel_start");
  } else if (view.isRunning) {
    result.description = text("host.overview.running_description");
    const auto count = view.deviceCount();
    result.statusDetail = count < 1    ? text("host.status.waiting_detail")
                          : count == 1 ? text("host.status.one_device_detail")
                                       : formatCountText("host.status.devices_detail_format", count);
    result.buttonTitle = text("host.action.stop");
  } else {
    result.description = text("host.overview.stopped_description");
    result.statusDetail = text("host.status.stopped_detail");
    result.buttonTitle = text("host.action.start");
  }
  return result;
}

std::vector<MetricCard> metricCards(const HostSnapshot& view, const QLocale& locale) {
  const auto devices = view.deviceCount();
  const auto displays = view.availableDisplays;
  QString videoDetail = view.isCapturing ? text("common.fps")
                        : view.isRunning ? text("common.waiting")
                                         : text("common.stopped");
  return {
      {text("host.metric.devices"), formatCount(devices),
       text(devices == 1 ? "host.metric.device_connected_singular" : "host.metric.device_connected_plural"),
       Tint::cyan, QStringLiteral("iphone.gen3")},
      {text("host.metric.displays"), formatCount(displays),
       text(displays == 1 ? "host.metric.available_singular" : "host.metric.available"), Tint::green,
       QStringLiteral("display.2")},
      {text("host.metric.video"), view.isCapturing ? formatDecimal(view.fps, 0, locale) : QStringLiteral("\u2014"),
       videoDetail, Tint::orange, QStringLiteral("waveform.path.ecg")},
  };
}

std::vector<InfoRow> connectionRows(const HostSnapshot& view) {
  return {
      {QStringLiteral("point.3.connected.trianglepath.dotted"), text("host.connection.route"),
       verbatim(view.connectionRouteSummary)},
      {QStringLiteral("dial.medium"), text("host.connection.quality"), verbatim(view.mediaPathDescription)},
      {QStringLiteral("globe"), text("host.connection.remote_access"), verbatim(view.remoteAccessStatus)},
      {QStringLiteral("display"), text("host.connection.active_display"), verbatim(view.displayInfo)},
  };
}

bool shouldShowLastError(const HostSnapshot& view) { return !view.lastError.empty() && view.lastError != "\u2014"; }

}  // namespace veltrano::app
