#pragma once
// One running program per user: the first instance listens on a local socket named for the user; a later one
// asks it to bring its window forward and then ends.
#include <QLocalServer>
#include <QObject>
#include <QString>

namespace veltrano::app {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `name` defaults to one derived from the user's home folder.
  explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

  // True when this process is now the one instance; false after it asked the running one to show its window.
  bool claim();
  static QString defaultName();

 signals:
  // A later instance asked for the window.
  void activationRequested();

 private:
  bool askRunningInstance();
  void acceptConnections();

  QString name_;
  QLocalServer server_;
};

}  // namespace veltrano::app
