#include "StoreLookupServer.h"
#include "rating/MacAppStoreRating.h"
#include "rating/StoreAddress.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

constexpr int kDeadlineMs = 30'000;

QByteArray LookupReply(const QByteArray& bundleID, const QByteArray& trackID = "123456789") {
  return "\n\n\n{\n \"resultCount\":1,\n \"results\": [\n{\"kind\":\"mac-software\", \"trackId\":" +
         trackID + ", \"bundleId\":\"" + bundleID +
         "\", \"trackName\":\"Quillpress\", \"price\":0.00, \"currency\":\"USD\"}]\n}\n\n\n";
}

}  // namespace

class StoreRatingTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();

  void startsWithoutIdentifier();
  void findsItsItemAfterLaunch();
  void lookupRunsOnItsOwnThread();
  void looksUpOncePerRun();
  void leavesIdentifierAlone_data();
  void leavesIdentifierAlone();
  void unreachableStoreLeavesIdentifierAlone();
  void destroyingDuringLookupStopsIt();
  void asksByIdentifierOnceKnown();
  void explicitRatingsLinkWins();
  void identifierWrittenOnlyOnce();
  void settingsGiveStoreAddress();
  void environmentReplacesSettings();
  void settingsFileFollowsConfigurationFolder();

 private:
  std::unique_ptr<MacAppStoreRating> MakeRating();

  std::unique_ptr<StoreLookupServer> server_;
  QList<QUrl> opened_;
};

void StoreRatingTest::init() {
  server_ = std::make_unique<StoreLookupServer>();
  QVERIFY(server_->Start());
  qputenv("QUILLPRESS_STORE_URL", server_->BaseUrl());
  opened_.clear();
}

void StoreRatingTest::cleanup() {
  qunsetenv("QUILLPRESS_STORE_URL");
  server_.reset();
}

std::unique_ptr<MacAppStoreRating> StoreRatingTest::MakeRating() {
  auto rating = std::make_unique<MacAppStoreRating>([this](const QUrl& url) {
    opened_.append(url);
    return true;
  });
  rating->setAppStoreCountry(QStringLiteral("DE"));
  return rating;
}

void StoreRatingTest::startsWithoutIdentifier() {
  MacAppStoreRating rating;
  QCOMPARE(rating.appStoreID(), 0U);
  QCOMPARE(rating.applicationBundleID(), QStringLiteral("org.quillpress.Quillpress"));
  QCOMPARE(rating.appStoreCountry().size(), 2);
  QCOMPARE(rating.appStoreCountry(), rating.appStoreCountry().toUpper());
  QCOMPARE(rating.storeAddress().host, QStringLiteral("127.0.0.1"));
  // The Rate command has nothing to open yet.
  auto captured = MakeRating();
  captured->RateApplicationAction();
  QVERIFY(opened_.isEmpty());
}

void StoreRatingTest::findsItsItemAfterLaunch() {
  server_->SetReply(200, LookupReply("org.quillpress.Quillpress"));
  auto rating = MakeRating();
  QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
  rating->applicationLaunched();
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
  QCOMPARE(finished.at(0).at(0).toBool(), true);

  QCOMPARE(server_->targets,
           QList<QByteArray>{"//lookup?country=DE&bundleId=org.quillpress.Quillpress"});
  QCOMPARE(rating->appStoreID(), 123456789U);
  const QUrl link = rating->ratingsURL();
  QCOMPARE(link.scheme(), QStringLiteral("macappstore"));
  QCOMPARE(link.host(), QStringLiteral("127.0.0.1"));
  QCOMPARE(link.path(), QStringLiteral("/app/id123456789"));

  rating->RateApplicationAction();
  QCOMPARE(opened_, QList<QUrl>{link});
}

void StoreRatingTest::lookupRunsOnItsOwnThread() {
  server_->SetReply(200, LookupReply("org.quillpress.Quillpress"));
  auto rating = MakeRating();
  QThread* lookupThread = nullptr;
  bool ended = false;
  connect(rating.get(), &MacAppStoreRating::lookupFinished, this, [&] {
    lookupThread = QThread::currentThread();
    ended = true;
  }, Qt::DirectConnection);
  rating->applicationLaunched();
  // applicationLaunched returned before the reply could be served: the
  // server runs on this thread and has not had a turn yet.
  QVERIFY(server_->targets.isEmpty());
  QTRY_VERIFY_WITH_TIMEOUT(ended, kDeadlineMs);
  QVERIFY(lookupThread != nullptr);
  QVERIFY(lookupThread != QThread::currentThread());
}

void StoreRatingTest::looksUpOncePerRun() {
  server_->SetReply(200, LookupReply("org.quillpress.Quillpress"));
  auto rating = MakeRating();
  QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
  rating->applicationLaunched();
  rating->applicationLaunched();
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
  rating->applicationLaunched();
  QCOMPARE(rating->appStoreID(), 123456789U);
  QCOMPARE(server_->targets.size(), 1);
}

void StoreRatingTest::leavesIdentifierAlone_data() {
  QTest::addColumn<int>("status");
  QTest::addColumn<QByteArray>("body");

  QTest::newRow("other application") << 200 << LookupReply("org.example.Other");
  QTest::newRow("bundle identifier differs in case") << 200 << LookupReply("org.quillpress.quillpress");
  QTest::newRow("bundle identifier is a prefix") << 200 << LookupReply("org.quillpress.Quillpress2");
  QTest::newRow("no results") << 200 << QByteArray("{\n \"resultCount\":0,\n \"results\": []\n}");
  QTest::newRow("empty reply") << 200 << QByteArray();
  QTest::newRow("server error") << 500 << LookupReply("org.quillpress.Quillpress");
  QTest::newRow("not found") << 404 << LookupReply("org.quillpress.Quillpress");
  QTest::newRow("not UTF-8") << 200 << QByteArray(LookupReply("org.quillpress.Quillpress") + "\xff\xfe");
  QTest::newRow("no track identifier")
      << 200 << QByteArray(R"({"results":[{"kind":"x", "bundleId":"org.quillpress.Quillpress", "a":1}]})");
  QTest::newRow("negative track identifier") << 200 << LookupReply("org.quillpress.Quillpress", "-5");
  QTest::newRow("zero track identifier") << 200 << LookupReply("org.quillpress.Quillpress", "0");
  QTest::newRow("bundle identifier last, no comma")
      << 200 << QByteArray(R"({"results":[{"trackId":7, "bundleId":"org.quillpress.Quillpress"}]})");
}

void StoreRatingTest::leavesIdentifierAlone() {
  QFETCH(int, status);
  QFETCH(QByteArray, body);
  server_->SetReply(status, body);
  auto rating = MakeRating();
  QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
  rating->applicationLaunched();
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
  QCOMPARE(finished.at(0).at(0).toBool(), false);
  QCOMPARE(server_->targets.size(), 1);
  QCOMPARE(rating->appStoreID(), 0U);
  rating->RateApplicationAction();
  QVERIFY(opened_.isEmpty());
}

void StoreRatingTest::unreachableStoreLeavesIdentifierAlone() {
  const QByteArray address = server_->BaseUrl();
  server_.reset();  // nothing listens on that port any more
  qputenv("QUILLPRESS_STORE_URL", address);
  auto rating = MakeRating();
  QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
  rating->applicationLaunched();
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
  QCOMPARE(rating->appStoreID(), 0U);
  rating->RateApplicationAction();
  QVERIFY(opened_.isEmpty());
}

void StoreRatingTest::destroyingDuringLookupStopsIt() {
  server_->silent = true;
  auto rating = MakeRating();
  QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
  rating->applicationLaunched();
  QTRY_COMPARE_WITH_TIMEOUT(server_->targets.size(), 1, kDeadlineMs);
  rating.reset();  // must not wait for the network's own timeout, nor crash
  QVERIFY(!rating);
}

void StoreRatingTest::asksByIdentifierOnceKnown() {
  auto rating = MakeRating();
  QVERIFY(rating->lookupRequestURL().toString().endsWith(
      QStringLiteral("//lookup?country=DE&bundleId=org.quillpress.Quillpress")));
  rating->setAppStoreID(18446744073709551615ULL);
  const QUrl request = rating->lookupRequestURL();
  QCOMPARE(request.scheme(), QStringLiteral("http"));
  QCOMPARE(request.port(), server_->serverPort());
  QCOMPARE(request.path(), QStringLiteral("//lookup"));
  QCOMPARE(request.query(), QStringLiteral("country=DE&id=18446744073709551615"));
  QCOMPARE(rating->ratingsURL().path(), QStringLiteral("/app/id18446744073709551615"));
}

void StoreRatingTest::explicitRatingsLinkWins() {
  auto rating = MakeRating();
  const QUrl explicitLink(QStringLiteral("https://quillpress.org/rate"));
  rating->setRatingsURL(explicitLink);
  QCOMPARE(rating->ratingsURL(), explicitLink);
  rating->RateApplicationAction();  // still no identifier: nothing
  QVERIFY(opened_.isEmpty());
  rating->setAppStoreID(5);
  rating->RateApplicationAction();
  QCOMPARE(opened_, QList<QUrl>{explicitLink});
}

void StoreRatingTest::identifierWrittenOnlyOnce() {
  server_->SetReply(200, LookupReply("org.quillpress.Quillpress"));
  auto rating = MakeRating();
  rating->setAppStoreID(42);
  QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
  rating->applicationLaunched();
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
  QCOMPARE(server_->targets.value(0), QByteArray("//lookup?country=DE&id=42"));
  QCOMPARE(rating->appStoreID(), 42U);
}

void StoreRatingTest::settingsGiveStoreAddress() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString file = dir.filePath(QStringLiteral("Quillpress.conf"));

  QCOMPARE(StoreAddressFrom(file, QString()), StoreAddress{});  // absent file: defaults

  auto write = [&](const QByteArray& contents) {
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(contents);
  };
  write("[Store]\nScheme=https\nHost=store.example.net\nPort=8443\n");
  QCOMPARE(StoreAddressFrom(file, QString()),
           (StoreAddress{QStringLiteral("https"), QStringLiteral("store.example.net"), 8443}));

  write("[Store]\nScheme=ftp\nHost=bad host/path\nPort=70000\n");
  QCOMPARE(StoreAddressFrom(file, QString()), StoreAddress{});

  write("[Store]\nHost=10.0.0.2\n");
  QCOMPARE(StoreAddressFrom(file, QString()),
           (StoreAddress{QStringLiteral("http"), QStringLiteral("10.0.0.2"), -1}));
}

void StoreRatingTest::environmentReplacesSettings() {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("Quillpress.conf"));
  QFile out(file);
  QVERIFY(out.open(QIODevice::WriteOnly));
  out.write("[Store]\nScheme=https\nHost=store.example.net\nPort=8443\n");
  out.close();

  QCOMPARE(StoreAddressFrom(file, QStringLiteral("http://127.0.0.1:8080")),
           (StoreAddress{QStringLiteral("http"), QStringLiteral("127.0.0.1"), 8080}));
  QCOMPARE(StoreAddressFrom(file, QStringLiteral("http://localhost")),
           (StoreAddress{QStringLiteral("http"), QStringLiteral("localhost"), -1}));
  // An address that cannot be used leaves the settings in charge.
  QCOMPARE(StoreAddressFrom(file, QStringLiteral("not a url")),
           (StoreAddress{QStringLiteral("https"), QStringLiteral("store.example.net"), 8443}));
  QCOMPARE(StoreAddressFrom(file, QStringLiteral("file:///tmp")),
           (StoreAddress{QStringLiteral("https"), QStringLiteral("store.example.net"), 8443}));
}

void StoreRatingTest::settingsFileFollowsConfigurationFolder() {
  const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
  QCOMPARE(ApplicationSettingsFilePath(), dir.path() + QStringLiteral("/quillpress/Quillpress.conf"));

  QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("quillpress"))));
  QFile out(ApplicationSettingsFilePath());
  QVERIFY(out.open(QIODevice::WriteOnly));
  out.write("[Store]\nHost=store.example.org\nPort=81\n");
  out.close();
  qunsetenv("QUILLPRESS_STORE_URL");
  QCOMPARE(ConfiguredStoreAddress(),
           (StoreAddress{QStringLiteral("http"), QStringLiteral("store.example.org"), 81}));

  qputenv("XDG_CONFIG_HOME", "relative/folder");
  QCOMPARE(ApplicationSettingsFilePath(), QDir::homePath() + QStringLiteral("/.config/quillpress/Quillpress.conf"));
  if (saved.isNull()) {
    qunsetenv("XDG_CONFIG_HOME");
  } else {
    qputenv("XDG_CONFIG_HOME", saved);
  }
}

QTEST_GUILESS_MAIN(StoreRatingTest)
#include "tst_store_rating.moc"
