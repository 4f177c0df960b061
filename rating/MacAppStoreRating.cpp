#include "rating/MacAppStoreRating.h"

#include "NumberScanners.h"
#include "rating/JSONValueScanner.h"

#include <QEventLoop>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QThread>
#include <QUrlQuery>

#include <mutex>

namespace {

constexpr const char* kBundleIdentifier = "org.quillpress.Quillpress";
constexpr int kLookupTimeoutMs = 60'000;

}  // namespace

// Lets the owner stop a lookup that is waiting on the network.
struct MacAppStoreRating::LookupControl {
  std::mutex mutex;
  QEventLoop* loop = nullptr;
  bool stopped = false;
};

MacAppStoreRating::MacAppStoreRating(OpenURLFunction openURL, QObject* parent)
    : QObject(parent),
      appStoreCountry_(SystemCountryCode()),
      applicationBundleID_(QString::fromLatin1(kBundleIdentifier)),
      storeAddress_(ConfiguredStoreAddress()),
      openURL_(std::move(openURL)),
      control_(std::make_shared<LookupControl>()) {}

MacAppStoreRating::~MacAppStoreRating() {
  if (lookupThread_ == nullptr) {
    return;
  }
  {
    const std::lock_guard lock(control_->mutex);
    control_->stopped = true;
    if (control_->loop != nullptr) {
      QMetaObject::invokeMethod(control_->loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
  }
  lookupThread_->wait();
  delete lookupThread_;
}

QString MacAppStoreRating::SystemCountryCode() {
  const QString code = QLocale::territoryToCode(QLocale::system().territory());
  // The C locale names no territory; the store's default storefront then.
  return code.size() == 2 ? code : QStringLiteral("US");
}

std::optional<QString> MacAppStoreRating::valueForKey(const QString& key, const QString& json) {
  return ValueForKeyInJSON(key, json);
}

QUrl MacAppStoreRating::ratingsURL() const {
  if (!ratingsURL_.isEmpty()) {
    return ratingsURL_;
  }
  QUrl url;
  url.setScheme(QStringLiteral("macappstore"));
  url.setHost(storeAddress_.host);
  url.setPath(QStringLiteral("/app/id") + QString::number(appStoreID()));
  return url;
}

QUrl MacAppStoreRating::lookupRequestURL() const {
  QUrl url;
  url.setScheme(storeAddress_.scheme);
  url.setHost(storeAddress_.host);
  if (storeAddress_.port > 0) {
    url.setPort(storeAddress_.port);
  }
  url.setPath(QStringLiteral("//lookup"));
  QUrlQuery query;
  query.addQueryItem(QStringLiteral("country"), appStoreCountry_);
  const quint64 identifier = appStoreID();
  if (identifier != 0) {
    query.addQueryItem(QStringLiteral("id"), QString::number(identifier));
  } else {
    query.addQueryItem(QStringLiteral("bundleId"), applicationBundleID_);
  }
  url.setQuery(query);
  return url;
}

void MacAppStoreRating::applicationLaunched() {
  if (lookupThread_ != nullptr) {
    return;
  }
  // The thread works on copies, so the properties stay the main thread's.
  const QUrl request = lookupRequestURL();
  const QString bundleID = applicationBundleID_;
  lookupThread_ = QThread::create([this, request, bundleID] {
    checkForConnectivityInBackground(request, bundleID);
  });
  lookupThread_->setObjectName(QStringLiteral("Store lookup"));
  lookupThread_->start();
}

void MacAppStoreRating::checkForConnectivityInBackground(const QUrl& request, const QString& bundleID) {
  QByteArray data;
  bool fetched = false;
  {
    QNetworkAccessManager network;
    QNetworkRequest networkRequest(request);
    networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                QNetworkRequest::AlwaysNetwork);
    networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    networkRequest.setTransferTimeout(kLookupTimeoutMs);
    QNetworkReply* reply = network.get(networkRequest);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    bool stopped = false;
    {
      const std::lock_guard lock(control_->mutex);
      stopped = control_->stopped;
      control_->loop = stopped ? nullptr : &loop;
    }
    if (!stopped && !reply->isFinished()) {
      loop.exec();
    }
    {
      const std::lock_guard lock(control_->mutex);
      control_->loop = nullptr;
      stopped = control_->stopped;
    }
    if (!stopped && reply->isFinished() && reply->error() == QNetworkReply::NoError) {
      data = reply->readAll();
      fetched = true;
    }
    reply->abort();
    delete reply;
  }
  if (!fetched) {
    Q_EMIT lookupFinished(false);
    return;
  }
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = decoder.decode(data);
  if (decoder.hasError()) {
    Q_EMIT lookupFinished(false);
    return;
  }
  bool found = false;
  const auto replyBundleID = valueForKey(QStringLiteral("bundleId"), text);
  if (replyBundleID && *replyBundleID == bundleID && appStoreID() == 0) {
    const auto trackID = valueForKey(QStringLiteral("trackId"), text);
    const std::int64_t identifier = trackID ? NumberScanners::LeadingInt64(*trackID) : 0;
    // Zero or a negative number identifies no item.
    if (identifier > 0) {
      quint64 expected = 0;
      found = appStoreID_.compare_exchange_strong(expected, static_cast<quint64>(identifier),
                                                  std::memory_order_acq_rel);
    }
  }
  Q_EMIT lookupFinished(found);
}

void MacAppStoreRating::RateApplicationAction() {
  if (appStoreID() == 0) {
    return;
  }
  const QUrl url = ratingsURL();
  if (!url.isValid() || url.isEmpty() || !openURL_) {
    return;
  }
  openURL_(url);
}
