#include "app/presenters/value_formats.hpp"

#include <QDateTime>
#include <QRegularExpression>

#include "app/app_localized_strings.hpp"
#include "core/localization.hpp"

namespace veltrano::app {

QString text(std::string_view key) {
  registerAppLocalizedStrings();
  return QString::fromStdString(localized(key));
}

QString formatCount(std::int64_t count) { return QString::number(count); }

QString formatCountText(std::string_view key, std::int64_t count) {
  registerAppLocalizedStrings();
  return QString::fromStdString(localizedFormat(key, count));
}

QString formatBytes(std::int64_t bytes, const QLocale& locale) {
  return locale.formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString formatDecimal(double value, int decimals, const QLocale& locale) {
  return locale.toString(value, 'f', decimals);
}

QString formatDecimalText(std::string_view key, double value, const QLocale& locale) {
  // printf would ignore the locale's decimal separator, so the placeholder is filled here.
  static const QRegularExpression placeholder(QStringLiteral("%\\.(\\d)f"));
  QString format = text(key);
  const auto match = placeholder.match(format);
  if (!match.hasMatch()) return format;
  return format.replace(match.capturedStart(), match.capturedLength(),
                        formatDecimal(value, match.captured(1).toInt(), locale));
}

QString formatTimeOfDay(std::chrono::system_clock::time_point time, const QLocale& locale) {
  // The long time format is the one with seconds; its time zone is dropped.
  static const QRegularExpression zone(QStringLiteral("\\s*(?<![A-Za-z'])t+(?![A-Za-z'])\\s*"));
  const QString format = locale.timeFormat(QLocale::LongFormat).replace(zone, QStringLiteral(" ")).trimmed();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  return locale.toString(QDateTime::fromMSecsSinceEpoch(ms).time(), format);
}

QString formatPermissionStatus(const std::string& status) {
  if (status == "granted") return text("host.permission.status_granted");
  if (status == "missing") return text("host.permission.status_missing");
  return text("host.permission.status_unknown");
}

}  // namespace veltrano::app
