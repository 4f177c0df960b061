#include "rating/MacAppStoreRating.h"

#include "NumberScanners.h"
#include "rating/JSONValueScanner.h"

#include <QLocale>
#include <QStringDecoder>
#include <QUrlQuery>

#include <curl/curl.h>

#include <cstdint>
#include <mutex>

namespace {

constexpr const char* kBundleIdentifier = "org.quillpress.Quillpress";
constexpr long kLookupTimeoutSeconds = 60;
constexpr qsizetype kLargestReply = 16 * 1024 * 1024;

struct Fetch {
  QByteArray data;
  std::stop_token stop;
};

size_t AppendReceived(char* bytes, size_t size, size_t count, void* context) {
  auto* fetch = static_cast<Fetch*>(context);
  const size_t length = size * count;
  if (length > static_cast<size_t>(kLargestReply - fetch->data.size())) {
    return 0;  // ends the transfer as failed
  }
  fetch->data.append(bytes, static_cast<qsizetype>(length));
  return length;
}

int ProgressCheck(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Fetch*>(context)->stop.stop_requested() ? 1 : 0;
}

// The contents of url, fetched anew (no cache on the way), or nothing when
// they cannot be had: no network, an HTTP error, a bad address, or a stop.
// The path is sent exactly as written, "//lookup" included.
std::optional<QByteArray> FetchUncached(const QUrl& url, std::stop_token stop) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    return std::nullopt;
  }
  Fetch fetch{QByteArray(), std::move(stop)};
  const QByteArray address = url.toEncoded();
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  curl_easy_setopt(curl, CURLOPT_URL, address.constData());
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kLookupTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendReceived);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &fetch);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &ProgressCheck);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &fetch);
  const CURLcode result = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  if (result != CURLE_OK) {
    return std::nullopt;
  }
  return std::move(fetch.data);
}

// The identifier of the store item that the lookup at request names for
// bundleID; 0 when there is none or the lookup failed.
quint64 ItemIdentifierFromLookup(const QUrl& request, const QString& bundleID, std::stop_token stop) {
  const std::optional<QByteArray> data = FetchUncached(request, std::move(stop));
  if (!data) {
    return 0;
  }
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = decoder.decode(*data);
  if (decoder.hasError()) {
    return 0;
  }
  const auto replyBundleID = ValueForKeyInJSON(QStringLiteral("bundleId"), text);
  if (!replyBundleID || *replyBundleID != bundleID) {
    return 0;
  }
  const auto trackID = ValueForKeyInJSON(QStringLiteral("trackId"), text);
  const std::int64_t identifier = trackID ? NumberScanners::LeadingInt64(*trackID) : 0;
  // Zero or a negative number identifies no item.
  return identifier > 0 ? static_cast<quint64>(identifier) : 0;
}

}  // namespace

MacAppStoreRating::MacAppStoreRating(OpenURLFunction openURL, QObject* parent)
    : QObject(parent),
      appStoreCountry_(SystemCountryCode()),
      applicationBundleID_(QString::fromLatin1(kBundleIdentifier)),
      storeAddress_(ConfiguredStoreAddress()),
      openURL_(std::move(openURL)) {}

MacAppStoreRating::~MacAppStoreRating() = default;

QString MacAppStoreRating::SystemCountryCode() {
  const QString code = QLocale::territoryToCode(QLocale::system().territory());
  // The C locale names no territory; the store's default storefront then.
  return code.size() == 2 ? code : QStringLiteral("US");
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

QUrl MacAppStoreRating::storePageURL() const {
  QUrl url;
  url.setScheme(storeAddress_.scheme);
  url.setHost(storeAddress_.host);
  if (storeAddress_.port > 0) {
    url.setPort(storeAddress_.port);
  }
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
  if (lookupStarted_) {
    return;
  }
  lookupStarted_ = true;
  // The lookup works on copies, so the properties stay the main thread's.
  lookup_.Run([request = lookupRequestURL(), bundleID = applicationBundleID_](
                  std::stop_token stop) { return ItemIdentifierFromLookup(request, bundleID, std::move(stop)); },
              [this](quint64 identifier) {
                // An identifier set meanwhile is kept.
                const bool found = identifier != 0 && appStoreID_ == 0;
                if (found) {
                  appStoreID_ = identifier;
                }
                Q_EMIT lookupFinished(found);
              });
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
