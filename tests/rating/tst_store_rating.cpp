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

  std::unique_ptr<StoreLookupServer> server_;
  QList<QUrl> opened_;

  std::unique_ptr<MacAppStoreRating> MakeRating() {
    auto rating = std::make_unique<MacAppStoreRating>([this](const QUrl& url) {
      opened_.append(url);
      return true;
    });
    rating->setAppStoreCountry(QStringLiteral("DE"));
    return rating;
  }

 private Q_SLOTS:
  void init() {
    server_ = std::make_unique<StoreLookupServer>();
    QVERIFY(server_->Start());
    qputenv("QUILLPRESS_STORE_URL", server_->BaseUrl());
    opened_.clear();
  }

  void cleanup() {
    qunsetenv("QUILLPRESS_STORE_URL");
    server_.reset();
  }

  // The lookup runs off the main thread (the server, served by this thread,
  // has not been asked when applicationLaunched returns), once per run, and
  // its end is heard on the main thread.
  void findsItsItemAfterLaunch() {
    server_->SetReply(200, LookupReply("org.quillpress.Quillpress"));
    auto rating = MakeRating();
    QCOMPARE(rating->appStoreID(), 0U);
    rating->RateApplicationAction();  // nothing to open yet
    QThread* heardOn = nullptr;
    connect(rating.get(), &MacAppStoreRating::lookupFinished, this,
            [&] { heardOn = QThread::currentThread(); }, Qt::DirectConnection);
    QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
    rating->applicationLaunched();
    rating->applicationLaunched();
    QVERIFY(server_->targets.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(heardOn, QThread::currentThread());
    rating->applicationLaunched();
    QCOMPARE(server_->targets, QList<QByteArray>{"//lookup?country=DE&bundleId=org.quillpress.Quillpress"});
    QCOMPARE(rating->appStoreID(), 123456789U);

    const QUrl link = rating->ratingsURL();
    QCOMPARE(link.toString(), QStringLiteral("macappstore://127.0.0.1/app/id123456789"));
    rating->RateApplicationAction();
    QCOMPARE(opened_, QList<QUrl>{link});
  }

  void leavesIdentifierAlone_data() {
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
    QTest::newRow("nobody listens") << 0 << QByteArray();
  }

  void leavesIdentifierAlone() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    if (status == 0) {
      const QByteArray address = server_->BaseUrl();
      server_.reset();
      qputenv("QUILLPRESS_STORE_URL", address);
    } else {
      server_->SetReply(status, body);
    }
    auto rating = MakeRating();
    QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
    rating->applicationLaunched();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(rating->appStoreID(), 0U);
    rating->RateApplicationAction();
    QVERIFY(opened_.isEmpty());
  }

  void destroyingDuringLookupStopsIt() {
    server_->silent = true;
    auto rating = MakeRating();
    rating->applicationLaunched();
    QTRY_COMPARE_WITH_TIMEOUT(server_->targets.size(), 1, kDeadlineMs);
    rating.reset();  // must not wait for the network's own timeout, nor crash
  }

  // The largest identifier the store can give is written whole in both
  // links; a link set explicitly wins, once an identifier is known.
  void links() {
    QCOMPARE(MacAppStoreRating::SystemCountryCode().size(), 2);
    auto rating = MakeRating();
    rating->setAppStoreID(18446744073709551615ULL);
    QCOMPARE(rating->ratingsURL().path(), QStringLiteral("/app/id18446744073709551615"));
    QCOMPARE(rating->storePageURL().toString(),
             QString::fromLatin1(server_->BaseUrl() + "/app/id18446744073709551615"));
    const QUrl explicitLink(QStringLiteral("https://quillpress.org/rate"));
    rating->setRatingsURL(explicitLink);
    rating->setAppStoreID(0);
    rating->RateApplicationAction();
    QVERIFY(opened_.isEmpty());
    rating->setAppStoreID(5);
    rating->RateApplicationAction();
    QCOMPARE(opened_, QList<QUrl>{explicitLink});
  }

  void identifierSetMeanwhileIsKept() {
    server_->SetReply(200, LookupReply("org.quillpress.Quillpress"));
    auto rating = MakeRating();
    rating->setAppStoreID(42);
    QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
    rating->applicationLaunched();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
    QCOMPARE(server_->targets.value(0), QByteArray("//lookup?country=DE&id=42"));
    QCOMPARE(rating->appStoreID(), 42U);
  }

  // The settings file's group "Store", and the environment's address over it.
  void storeAddress_data() {
    QTest::addColumn<QByteArray>("settings");  // empty: no file
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    const QByteArray full("[Store]\nScheme=https\nHost=store.example.net\nPort=8443\n");
    QTest::newRow("no file") << QByteArray() << QString() << "http" << "store.quillpress.org" << -1;
    QTest::newRow("all keys") << full << QString() << "https" << "store.example.net" << 8443;
    QTest::newRow("unusable keys") << QByteArray("[Store]\nScheme=ftp\nHost=bad host/path\nPort=70000\n")
                                   << QString() << "http" << "store.quillpress.org" << -1;
    QTest::newRow("host only") << QByteArray("[Store]\nHost=10.0.0.2\n") << QString() << "http" << "10.0.0.2"
                               << -1;
    QTest::newRow("environment") << full << "http://127.0.0.1:8080" << "http" << "127.0.0.1" << 8080;
    QTest::newRow("environment, no port") << full << "http://localhost" << "http" << "localhost" << -1;
    QTest::newRow("environment unusable") << full << "not a url" << "https" << "store.example.net" << 8443;
    QTest::newRow("environment not web") << full << "file:///tmp" << "https" << "store.example.net" << 8443;
  }

  void storeAddress() {
    QFETCH(QByteArray, settings);
    QFETCH(QString, environment);
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(int, port);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("Quillpress.conf"));
    if (!settings.isEmpty()) {
      QFile out(file);
      QVERIFY(out.open(QIODevice::WriteOnly));
      out.write(settings);
    }
    QCOMPARE(StoreAddressFrom(file, environment), (StoreAddress{scheme, host, port}));
  }

  void settingsFileFollowsConfigurationFolder() {
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
    qunsetenv("XDG_CONFIG_HOME");
  }
};

QTEST_GUILESS_MAIN(StoreRatingTest)
#include "tst_store_rating.moc"
