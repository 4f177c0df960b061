#include "rating/StoreAddress.h"

#include "BMTUtil.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <optional>

namespace {

constexpr const char* kStoreUrlVariable = "QUILLPRESS_STORE_URL";

bool IsUsableScheme(const QString& scheme) {
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool IsUsablePort(int port) { return port >= 1 && port <= 65535; }

std::optional<StoreAddress> AddressFromUrl(const QString& text) {
  const QUrl url(text.trimmed(), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || !IsUsableScheme(scheme) || url.host().isEmpty()) {
    return std::nullopt;
  }
  StoreAddress address;
  address.scheme = scheme;
  address.host = url.host();
  address.port = IsUsablePort(url.port()) ? url.port() : -1;
  return address;
}

}  // namespace

QString ApplicationSettingsFilePath() {
  const auto file = BMTUtil::ApplicationFolder(BMTUtil::UserFolder::Config) / "Quillpress.conf";
  return QFile::decodeName(file.c_str());
}

StoreAddress StoreAddressFrom(const QString& settingsFile, const QString& environmentOverride) {
  if (!environmentOverride.isEmpty()) {
    if (auto address = AddressFromUrl(environmentOverride)) {
      return *address;
    }
  }
  StoreAddress address;
  if (settingsFile.isEmpty() || !QFileInfo::exists(settingsFile)) {
    return address;
  }
  const QSettings settings(settingsFile, QSettings::IniFormat);
  const QString scheme = settings.value(QStringLiteral("Store/Scheme")).toString().trimmed().toLower();
  if (IsUsableScheme(scheme)) {
    address.scheme = scheme;
  }
  const QString host = settings.value(QStringLiteral("Store/Host")).toString().trimmed();
  // Only a bare host name or address: anything that would change the path
  // or the authority is not a host.
  if (!host.isEmpty()) {
    QUrl probe;
    probe.setHost(host, QUrl::StrictMode);
    if (probe.isValid() && !probe.host().isEmpty()) {
      address.host = probe.host();
    }
  }
  bool portOk = false;
  const int port = settings.value(QStringLiteral("Store/Port")).toString().trimmed().toInt(&portOk);
  if (portOk && IsUsablePort(port)) {
    address.port = port;
  }
  return address;
}

StoreAddress ConfiguredStoreAddress() {
  return StoreAddressFrom(ApplicationSettingsFilePath(), qEnvironmentVariable(kStoreUrlVariable));
}
