#include "app/qt_string_defaults.hpp"

#include <QSettings>
#include <QString>
#include <QVariant>

namespace veltrano::app {

std::optional<std::string> QtStringDefaults::string(const std::string& key) const {
  const QVariant value = QSettings().value(QString::fromStdString(key));
  if (!value.isValid()) return std::nullopt;
  return value.toString().toStdString();
}

void QtStringDefaults::setString(const std::string& key, const std::string& value) {
  QSettings settings;
  settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
  settings.sync();
}

}  // namespace veltrano::app
