#include "app/SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kAcknowledgement = 'K';
// A message that claims more is not ours.
constexpr quint32 kMaximumPaths = 1u << 20;

QString DisplayOfSession() {
  QByteArray display = qgetenv("WAYLAND_DISPLAY");
  if (display.isEmpty()) display = qgetenv("DISPLAY");
  if (display.isEmpty()) display = "none";
  QString name;
  for (char c : display) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? QLatin1Char(c) : QLatin1Char('_');
  }
  return name;
}

}  // namespace

QString SingleInstance::DefaultName() {
  const QByteArray overridden = qgetenv("QUILLPRESS_INSTANCE_NAME");
  if (!overridden.isEmpty()) return QString::fromLocal8Bit(overridden);
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.isEmpty() || !QDir::isAbsolutePath(runtime)) {
    // No session folder: the user's own socket name, per display.
    return QStringLiteral("org.quillpress.Quillpress-%1-%2").arg(::getuid()).arg(DisplayOfSession());
  }
  const QString folder = runtime + QStringLiteral("/quillpress");
  ::mkdir(QFile::encodeName(folder).constData(), 0700);
  return folder + QStringLiteral("/instance-") + DisplayOfSession();
}

SingleInstance::Forwarding SingleInstance::ForwardToRunningInstance(const QString& name,
                                                                    const QByteArrayList& paths,
                                                                    int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) {
    // Refused or absent: nobody is running. Anything else (a full backlog,
    // a timeout) means somebody is, but busy.
    const auto error = socket.error();
    return error == QLocalSocket::ServerNotFoundError ||
                   error == QLocalSocket::ConnectionRefusedError
               ? Forwarding::NoneRunning
               : Forwarding::Busy;
  }
  QByteArray message;
  {
    QDataStream stream(&message, QIODevice::WriteOnly);
    stream << static_cast<quint32>(paths.size());
    for (const QByteArray& path : paths) stream << path;
  }
  QByteArray framed;
  {
    QDataStream stream(&framed, QIODevice::WriteOnly);
    stream << message;
  }
  socket.write(framed);
  if (!socket.waitForBytesWritten(timeoutMs)) return Forwarding::Busy;
  while (socket.bytesAvailable() < 1) {
    if (!socket.waitForReadyRead(timeoutMs)) return Forwarding::Busy;
  }
  char answer = 0;
  return socket.getChar(&answer) && answer == kAcknowledgement ? Forwarding::Forwarded
                                                               : Forwarding::Busy;
}

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent), m_name(name) {}

SingleInstance::~SingleInstance() {
  if (m_server != nullptr) m_server->close();
}

bool SingleInstance::Listen() {
  {
    // A live instance keeps its socket: listening with access options would
    // put a new socket file over its one.
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(1000)) return false;
  }
  m_server = new QLocalServer(this);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!m_server->listen(m_name)) {
    // Nobody accepts on it, so the socket file is stale.
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
      QByteArrayList paths;
      if (count <= kMaximumPaths) {
        for (quint32 i = 0; i < count && body.status() == QDataStream::Ok; ++i) {
          QByteArray path;
          body >> path;
          if (body.status() == QDataStream::Ok) paths << path;
        }
      }
      guard->putChar(kAcknowledgement);
      guard->flush();
      if (body.status() == QDataStream::Ok) Q_EMIT filesReceived(paths);
    });
  }
}
