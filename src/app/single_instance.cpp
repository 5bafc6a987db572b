#include "app/single_instance.hpp"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace veltrano::app {

namespace {
constexpr int answerTimeoutMs = 2000;
const QByteArray showWindowRequest = "show\n";
}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
  const auto home = QCryptographicHash::hash(QDir::homePath().toUtf8(), QCryptographicHash::Sha256).toHex();
  return QStringLiteral("veltrano-host-") + QString::fromLatin1(home.left(16));
}

bool SingleInstance::askRunningInstance() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(answerTimeoutMs)) return false;
  socket.write(showWindowRequest);
  const bool sent = socket.waitForBytesWritten(answerTimeoutMs);
  socket.disconnectFromServer();
  return sent;
}

bool SingleInstance::claim() {
  if (askRunningInstance()) return false;
  // Nobody answered: a socket file left by a program that died is stale.
  QLocalServer::removeServer(name_);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(name_)) {
    // Another instance won the race between our question and our listen.
    return !askRunningInstance();
  }
  connect(&server_, &QLocalServer::newConnection, this, [this] { acceptConnections(); });
  return true;
}

void SingleInstance::acceptConnections() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) return;
      if (socket->readLine() == showWindowRequest) emit activationRequested();
      socket->disconnectFromServer();
    });
  }
}

}  // namespace veltrano::app
