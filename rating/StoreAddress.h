#pragma once

#include <QString>
#include <QUrl>

// Where the application store answers: the scheme, host and port of its
// lookup service. The host also names the store in the rating link.
//
// The application's settings file "Quillpress.conf" in the configuration
// folder ($XDG_CONFIG_HOME/quillpress, ~/.config/quillpress by default) may
// set them in its group "Store" with the keys "Scheme" (http or https),
// "Host" and "Port"; a missing or unusable key keeps its default. The
// environment variable QUILLPRESS_STORE_URL (for example
// http://127.0.0.1:8080) replaces all three when it holds a usable address.
struct StoreAddress {
  QString scheme = QStringLiteral("http");
  QString host = QStringLiteral("store.quillpress.org");
  int port = -1;  // -1: the scheme's own port

  bool operator==(const StoreAddress&) const = default;
};

// The application's settings file, whether it exists or not.
QString ApplicationSettingsFilePath();

// The address that the settings file and the environment give.
StoreAddress ConfiguredStoreAddress();

// The same from an explicit settings file and value of the environment
// variable (empty when unset).
StoreAddress StoreAddressFrom(const QString& settingsFile, const QString& environmentOverride);
