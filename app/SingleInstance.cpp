#include "app/SingleInstance.h"

#include <QDataStream>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <unistd.h>

namespace {

constexpr char kAcknowledgement = 'K';
// A message that claims more is not ours.
constexpr quint32 kMaximumPaths = 1u << 20;

}  // namespace

QString SingleInstance::DefaultName() {
  const QByteArray overridden = qgetenv("QUILLPRESS_INSTANCE_NAME");
  if (!overridden.isEmpty()) return QString::fromLocal8Bit(overridden);
  return QStringLiteral("org.quillpress.Quillpress-%1").arg(::getuid());
}

bool SingleInstance::ForwardToRunningInstance(const QString& name, const QStringList& paths,
                                              int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  QByteArray message;
  {
    QDataStream stream(&message, QIODevice::WriteOnly);
    stream << static_cast<quint32>(paths.size());
    for (const QString& path : paths) stream << path.toUtf8();
  }
  QByteArray framed;
  {
    QDataStream stream(&framed, QIODevice::WriteOnly);
    stream << message;
  }
  socket.write(framed);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (socket.bytesAvailable() < 1) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  }
  char answer = 0;
  return socket.getChar(&answer) && answer == kAcknowledgement;
}

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent), m_name(name) {}

SingleInstance::~SingleInstance() {
  if (m_server != nullptr) m_server->close();
}

bool SingleInstance::Listen() {
  m_server = new QLocalServer(this);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!m_server->listen(m_name)) {
    // Nobody answered on it a moment ago, so the socket file is stale.
    QLocalServer::removeServer(m_name);
    if (!m_server->listen(m_name)) return false;
  }
  connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::AcceptConnection);
  return true;
}

void SingleInstance::AcceptConnection() {
  while (QLocalSocket* socket = m_server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QPointer<QLocalSocket> guard(socket);
    connect(socket, &QLocalSocket::readyRead, this, [this, guard] {
      if (!guard) return;
      QDataStream stream(guard.data());
      stream.startTransaction();
      QByteArray message;
      stream >> message;
      if (!stream.commitTransaction()) return;
      QDataStream body(message);
      quint32 count = 0;
      body >> count;
      QStringList paths;
      if (count <= kMaximumPaths) {
        for (quint32 i = 0; i < count && body.status() == QDataStream::Ok; ++i) {
          QByteArray path;
          body >> path;
          if (body.status() == QDataStream::Ok) paths << QString::fromUtf8(path);
        }
      }
      guard->putChar(kAcknowledgement);
      guard->flush();
      if (body.status() == QDataStream::Ok) Q_EMIT filesReceived(paths);
    });
  }
}
