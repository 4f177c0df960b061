#pragma once

#include <QString>

// Shows a notification on the desktop (org.freedesktop.Notifications over
// the session bus). Answers whether a notification service took it.
bool ShowDesktopNotification(const QString& title, const QString& body);
