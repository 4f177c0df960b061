#include "platform/LocalizedString.h"

#include <QCoreApplication>

QString LocalizedString(const char* key) {
  if (key == nullptr || *key == '\0') return {};
  // qtTrId answers the id itself when the table has no entry for it.
  const QString text = qtTrId(key);
  if (text == QLatin1String(key)) return {};
  return text;
}

std::string LocalizedText(const char* key, const char* /*english*/) {
  return LocalizedString(key).toStdString();
}
