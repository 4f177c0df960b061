#include "platform/Workspace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFile>
#include <QStringList>

QUrl FileUrlForPath(const std::filesystem::path& path) {
  // Percent-encode the raw bytes so that names which are not valid UTF-8
  // still address the very same file.
  const QByteArray bytes = QByteArray::fromStdString(path.native());
  QUrl url;
  url.setScheme(QStringLiteral("file"));
  url.setPath(QString::fromLatin1(bytes.toPercentEncoding("/")), QUrl::TolerantMode);
  return url;
}

bool DesktopWorkspace::OpenURL(const QUrl& url) {
  if (!url.isValid()) return false;
  return QDesktopServices::openUrl(url);
}

bool DesktopWorkspace::SelectFile(const std::filesystem::path& file) {
  const QUrl url = FileUrlForPath(file);
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString service = QStringLiteral("org.freedesktop.FileManager1");
  if (bus.isConnected() && bus.interface() != nullptr) {
    const auto registered = bus.interface()->isServiceRegistered(service);
    const bool activatable =
        bus.interface()->activatableServiceNames().value().contains(service);
    if ((registered.isValid() && registered.value()) || activatable) {
      QDBusMessage call = QDBusMessage::createMethodCall(
          service, QStringLiteral("/org/freedesktop/FileManager1"), service,
          QStringLiteral("ShowItems"));
      call << QStringList{url.toString(QUrl::FullyEncoded)} << QString();
      // Without waiting: a file manager that starts slowly must not freeze
      // the window.
      if (bus.send(call)) return true;
    }
  }
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = "/";
  return OpenURL(FileUrlForPath(folder));
}

DesktopWorkspace& DesktopWorkspace::Shared() {
  static DesktopWorkspace workspace;
  return workspace;
}
