#pragma once

#include "platform/BackgroundWork.h"
#include "rating/StoreAddress.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// Opens the application's page in the application store so that the user
// can rate it. Right after launch it asks the store's lookup service, off the
// main thread, which store item carries the application's bundle
// identifier, and keeps that item's identifier; until then the Rate command
// does nothing.
class MacAppStoreRating : public QObject {
  Q_OBJECT

 public:
  // Hands a link to the desktop (QDesktopServices::openUrl in the window);
  // answers whether it could.
  using OpenURLFunction = std::function<bool(const QUrl&)>;

  // The bundle identifier of the application, the country of the system
  // locale and the store address of the settings; no identifier yet.
  explicit MacAppStoreRating(OpenURLFunction openURL = {}, QObject* parent = nullptr);
  // Stops a lookup still under way.
  ~MacAppStoreRating() override;

  MacAppStoreRating(const MacAppStoreRating&) = delete;
  MacAppStoreRating& operator=(const MacAppStoreRating&) = delete;

  // 0 until the lookup has found the application's item.
  quint64 appStoreID() const { return appStoreID_; }
  void setAppStoreID(quint64 identifier) { appStoreID_ = identifier; }

  // Two letters; selects the country store of the lookup.
  QString appStoreCountry() const { return appStoreCountry_; }
  void setAppStoreCountry(const QString& country) { appStoreCountry_ = country; }

  QString applicationBundleID() const { return applicationBundleID_; }
  void setApplicationBundleID(const QString& bundleID) { applicationBundleID_ = bundleID; }

  StoreAddress storeAddress() const { return storeAddress_; }
  void setStoreAddress(const StoreAddress& address) { storeAddress_ = address; }

  void setOpenURLFunction(OpenURLFunction openURL) { openURL_ = std::move(openURL); }

  // The link set with setRatingsURL, otherwise the store's rating link for
  // appStoreID (macappstore://HOST/app/idN); the built link is not kept.
  QUrl ratingsURL() const;
  void setRatingsURL(const QUrl& url) { ratingsURL_ = url; }
  // The store's web page for the same application, for desktops where no
  // program takes the rating link: by identifier once known, otherwise by
  // bundle identifier.
  QUrl storePageURL() const;

  // The lookup request: by identifier when one is known, otherwise by bundle
  // identifier.
  QUrl lookupRequestURL() const;

  // The country code of the system locale; "US" when it has none.
  static QString SystemCountryCode();

 public Q_SLOTS:
  // Starts the lookup and returns; only the first call of a run does so.
  void applicationLaunched();

  // Opens the rating link once the identifier is known; does nothing before.
  void RateApplicationAction();

 Q_SIGNALS:
  // The lookup has ended, found or not; a found item's identifier is kept
  // unless one was set meanwhile.
  void lookupFinished(bool found);

 private:
  quint64 appStoreID_ = 0;
  bool lookupStarted_ = false;
  QString appStoreCountry_;
  QString applicationBundleID_;
  QUrl ratingsURL_;
  StoreAddress storeAddress_;
  OpenURLFunction openURL_;
  // Last, so that the lookup is stopped before anything its reply uses goes.
  BackgroundTasks lookup_;
};
