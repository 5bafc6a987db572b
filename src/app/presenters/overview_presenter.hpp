#pragma once
// What the sidebar footer and the overview page say about the host: status, hero, metric cards, connection
// panel and the error row.
#include <QLocale>
#include <QString>

#include <vector>

#include "app/presenters/host_snapshot.hpp"
#include "app/presenters/tint.hpp"

namespace veltrano::app {

struct HostStatus {
  QString title;
  Tint tint = Tint::secondary;
};

struct Hero {
  QString description;
  HostStatus status;
  QString statusDetail;
  QString buttonTitle;
  QString buttonSymbol;  // "play.fill" or "stop.fill"
  bool buttonStops = false;  // a stop (also of a start in progress) rather than a start
};

struct MetricCard {
  QString title;
  QString value;
  QString detail;
  Tint accent;
  QString symbol;
};

struct InfoRow {
  QString symbol;
  QString title;
  QString value;  // verbatim
};

HostStatus hostStatus(const HostSnapshot& view);
QString sidebarDetail(const HostSnapshot& view);
Hero hero(const HostSnapshot& view);
// Devices, displays, video.
std::vector<MetricCard> metricCards(const HostSnapshot& view, const QLocale& locale = QLocale());
// Route and quality (left column), remote access and active display (right column).
std::vector<InfoRow> connectionRows(const HostSnapshot& view);
// The last error row shows unless the error is empty or the placeholder.
bool shouldShowLastError(const HostSnapshot& view);

}  // namespace veltrano::app
