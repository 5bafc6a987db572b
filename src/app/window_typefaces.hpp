#pragma once
// The typefaces the window's pages name. Every text names its family: the generic "monospace", "serif" and
// "sans-serif" would follow whatever fontconfig prefers on the machine.
#include <QObject>
#include <QString>

namespace veltrano::app {

inline constexpr const char* sansFamily = "DejaVu Sans";
inline constexpr const char* monoFamily = "DejaVu Sans Mono";
inline constexpr const char* serifFamily = "DejaVu Serif";

class WindowTypefaces : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString sans READ sans CONSTANT)
  Q_PROPERTY(QString mono READ mono CONSTANT)
  Q_PROPERTY(QString serif READ serif CONSTANT)
  Q_PROPERTY(QString symbols READ symbols CONSTANT)

 public:
  using QObject::QObject;
  QString sans() const { return QString::fromLatin1(sansFamily); }
  QString mono() const { return QString::fromLatin1(monoFamily); }
  QString serif() const { return QString::fromLatin1(serifFamily); }
  QString symbols() const;
  // The symbols font's character for a system symbol name; empty when the name is unknown.
  Q_INVOKABLE QString glyph(const QString& name) const;
};

}  // namespace veltrano::app
