#include "watch/DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

bool ShowDesktopNotification(const QString& title, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << QStringLiteral("Quillpress") << 0u << QStringLiteral("org.quillpress.Quillpress") << title << body
       << QStringList() << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("org.quillpress.Quillpress")}}
       << -1;
  // Not waited for: the window never stalls on the desktop.
  return bus.send(call);
}
