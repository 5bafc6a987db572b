#pragma once
// How the pages write values: counts, byte counts, rates, durations, times and permission states. Every text
// comes from the localization table; numbers follow `locale` except counts, which never group digits.
#include <QLocale>
#include <QString>

#include <chrono>
#include <cstdint>
#include <string_view>

namespace veltrano::app {

// The localized text of `key`.
QString text(std::string_view key);
// Plain decimal digits, "-" for negatives, no grouping.
QString formatCount(std::int64_t count);
// The localized format `key` filled with a count.
QString formatCountText(std::string_view key, std::int64_t count);
// A file-size style byte count in decimal units ("0 bytes", "1.5 kB", "2.3 GB").
QString formatBytes(std::int64_t bytes, const QLocale& locale = QLocale());
// `value` with `decimals` digits after the locale's decimal separator.
QString formatDecimal(double value, int decimals, const QLocale& locale = QLocale());
// The localized format `key` with its "%.Nf" filled with `value` in the locale.
QString formatDecimalText(std::string_view key, double value, const QLocale& locale = QLocale());
// The time of day with seconds in the locale's style, without date or time zone.
QString formatTimeOfDay(std::chrono::system_clock::time_point time, const QLocale& locale = QLocale());
// "granted" and "missing" as their localized words; anything else reads as unknown.
QString formatPermissionStatus(const std::string& status);

}  // namespace veltrano::app
