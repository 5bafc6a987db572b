#pragma once
// What the advanced page says: the permission buttons, the grid of every metric, the activity log's rows and
// count, and the links.
#include <QLocale>
#include <QString>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/presenters/host_snapshot.hpp"
#include "app/presenters/tint.hpp"

namespace veltrano::app {

struct PermissionButton {
  QString title;
  QString symbol;
  bool granted;  // the status is exactly "granted"
  Tint tint;
  QString statusSymbol;
  QString accessibleValue;
  std::string_view anchor;  // the privacy pane the button opens
};

struct MetricRow {
  QString label;
  QString value;
};

struct EventTag {
  QString label;
  Tint tint;
};

struct Link {
  QString title;
  QString url;
};

// Screen recording, then accessibility.
std::vector<PermissionButton> permissionButtons(const HostSnapshot& view);
// The 29 rows of the metrics grid, in order.
std::vector<MetricRow> metricRows(const HostSnapshot& view, const QLocale& locale = QLocale());
EventTag eventTag(const std::string& tag);
QString eventCountText(std::size_t count);
// Privacy policy, then support.
std::vector<Link> links();

}  // namespace veltrano::app
