// The store rating: its lookup against a small HTTP server on 127.0.0.1, the
// real window's Rate command, the store's address from the settings file and
// the environment, and the JSON scanner that reads the store's reply.

#include "rating/JSONValueScanner.h"
#include "rating/MacAppStoreRating.h"
#include "rating/StoreAddress.h"
#include "tests/window/WindowTestFixture.h"

#include <QHostAddress>
#include <QLabel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

// A reply of the store's lookup, as it comes, naming one item.
QByteArray LookupReply(const QByteArray& bundleID = "org.quillpress.Quillpress",
                       const QByteArray& trackID = "123456789") {
  return "\n\n\n{\n \"resultCount\":1,\n \"results\": [\n{\"kind\":\"mac-software\", \"trackId\":" + trackID +
         ", \"bundleId\":\"" + bundleID + "\", \"trackName\":\"Quillpress\", \"price\":0.00, \"currency\":\"USD\"}]\n}\n\n\n";
}

// Answers every HTTP/1.1 request with one reply (or, silent, never) and
// remembers the request targets as sent ("//lookup?country=..."). The
// lookups are pointed at it while it lives.
class StoreServer : public QTcpServer {
 public:
  explicit StoreServer(int answer = 200, QByteArray reply = LookupReply())
      : status(answer), body(std::move(reply)), silent(answer < 0) {
    connect(this, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { Serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
    listen(QHostAddress::LocalHost, 0);
    qputenv("QUILLPRESS_STORE_URL", BaseUrl());
  }
  QByteArray BaseUrl() const { return "http://127.0.0.1:" + QByteArray::number(serverPort()); }

  int status;
  QByteArray body;
  bool silent;  // requests are read, never answered
  QList<QByteArray> targets;

 private:
  void Serve(QTcpSocket* socket) {
    const QByteArray request = buffers_[socket] += socket->readAll();
    if (!request.contains("\r\n\r\n")) return;
    buffers_.remove(socket);
    targets.append(request.left(request.indexOf("\r\n")).split(' ').value(1));
    if (silent) return;
    socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error") +
                  "\r\nContent-Type: text/javascript; charset=utf-8\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
  }
  QHash<QTcpSocket*, QByteArray> buffers_;
};

}  // namespace

class StoreRatingTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  // The window asks the store once its main loop runs, once however often
  // it hears of the launch, off the main thread (the server is served by this
  // one), and hears the end on it. An identifier set before is the one asked
  // for and kept, the largest written whole in both links: Rate opens the
  // store's link or, where the desktop cannot, its web page, saying nothing.
  // A link set explicitly wins once an identifier is known.
  void windowLooksUpAndRates() {
    StoreServer server;
    WindowFixture f;
    MacAppStoreRating* rating = f.d().storeRating();
    rating->setAppStoreID(18446744073709551615ULL);
    QThread* heardOn = nullptr;
    connect(rating, &MacAppStoreRating::lookupFinished, this, [&] { heardOn = QThread::currentThread(); },
            Qt::DirectConnection);
    QSignalSpy finished(rating, &MacAppStoreRating::lookupFinished);
    QSignalSpy launched(&f.d(), &AppDelegate::applicationDidFinishLaunchingNotification);
    Q_EMIT f.d().applicationDidFinishLaunchingNotification();  // besides the window's own, once its loop runs
    QTRY_COMPARE_WITH_TIMEOUT(launched.count(), 2, 30'000);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30'000);
    QCOMPARE(heardOn, QThread::currentThread());
    QCOMPARE(server.targets, QList<QByteArray>{"//lookup?country=" + MacAppStoreRating::SystemCountryCode().toLatin1() +
                                               "&id=18446744073709551615"});
    f.workspace.unopenable = {QStringLiteral("macappstore")};
    f.toolbarButton("Rate")->click();
    const std::vector<QUrl> links{QUrl(QStringLiteral("macappstore://127.0.0.1/app/id18446744073709551615")),
                                  QUrl(QString::fromLatin1(server.BaseUrl() + "/app/id18446744073709551615"))};
    QTRY_COMPARE_WITH_TIMEOUT(f.workspace.opened, links, 30'000);
    QVERIFY(f.find<QLabel>("workspaceMessage")->isHidden());
    const QUrl explicitLink(QStringLiteral("https://quillpress.org/rate"));
    rating->setRatingsURL(explicitLink);
    rating->setAppStoreID(0);
    rating->RateApplicationAction();
    QCOMPARE(f.workspace.opened.size(), std::size_t{2});
    rating->setAppStoreID(5);
    f.action("rateMenuItem")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(f.workspace.opened.back(), explicitLink, 30'000);
  }

  // The lookup by bundle identifier; only the own application's item with a
  // positive identifier is taken.
  void lookups_data() {
    QTest::addColumn<int>("status");  // 0: nobody listens; -1: the server never answers
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<quint64>("found");
    const QByteArray own = LookupReply();
    QTest::newRow("own application") << 200 << own << quint64{123456789};
    QTest::newRow("bundle identifier differs in case") << 200 << LookupReply("org.quillpress.quillpress") << quint64{0};
    QTest::newRow("bundle identifier is a prefix") << 200 << LookupReply("org.quillpress.Quillpress2") << quint64{0};
    QTest::newRow("no results") << 200 << QByteArray("{\n \"resultCount\":0,\n \"results\": []\n}") << quint64{0};
    QTest::newRow("not found") << 404 << own << quint64{0};
    QTest::newRow("not UTF-8") << 200 << QByteArray(own + "\xff\xfe") << quint64{0};
    QTest::newRow("no track identifier")
        << 200 << QByteArray(R"({"results":[{"bundleId":"org.quillpress.Quillpress", "a":1}]})") << quint64{0};
    QTest::newRow("negative track identifier") << 200 << LookupReply("org.quillpress.Quillpress", "-5") << quint64{0};
    QTest::newRow("zero track identifier") << 200 << LookupReply("org.quillpress.Quillpress", "0") << quint64{0};
    QTest::newRow("nobody listens") << 0 << QByteArray() << quint64{0};
    QTest::newRow("destroyed while the store is silent") << -1 << own << quint64{0};
  }

  void lookups() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(quint64, found);
    auto server = std::make_unique<StoreServer>(status, body);
    if (status == 0) server.reset();
    QList<QUrl> opened;
    auto rating = std::make_unique<MacAppStoreRating>([&](const QUrl& url) { return (opened << url, true); });
    rating->setAppStoreCountry(QStringLiteral("DE"));
    QSignalSpy finished(rating.get(), &MacAppStoreRating::lookupFinished);
    rating->applicationLaunched();
    if (status < 0) {
      // Must neither wait for the network's own timeout nor crash.
      QTRY_COMPARE_WITH_TIMEOUT(server->targets.size(), 1, 30'000);
      return rating.reset();
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30'000);
    if (server) QCOMPARE(server->targets, QList<QByteArray>{"//lookup?country=DE&bundleId=org.quillpress.Quillpress"});
    QCOMPARE(finished.at(0).at(0).toBool(), found != 0);
    QCOMPARE(rating->appStoreID(), found);
    rating->RateApplicationAction();
    const QUrl link(QStringLiteral("macappstore://127.0.0.1/app/id%1").arg(found));
    QCOMPARE(opened, found ? QList<QUrl>{link} : QList<QUrl>{});
  }

  // The group "Store" of the settings file below XDG_CONFIG_HOME (a relative
  // one does not count), and the environment's address over it.
  void storeAddress_data() {
    QTest::addColumn<QByteArray>("settings");  // empty: no file
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<QString>("address");
    const QByteArray full("[Store]\nScheme=https\nHost=store.example.net\nPort=8443\n");
    const QByteArray unusable("[Store]\nScheme=ftp\nHost=bad host/path\nPort=70000\n");
    QTest::newRow("no file") << QByteArray() << QByteArray() << "http://store.quillpress.org";
    QTest::newRow("all keys") << full << QByteArray() << "https://store.example.net:8443";
    QTest::newRow("unusable keys") << unusable << QByteArray() << "http://store.quillpress.org";
    QTest::newRow("host only") << QByteArray("[Store]\nHost=10.0.0.2\n") << QByteArray() << "http://10.0.0.2";
    QTest::newRow("environment") << full << QByteArray("http://127.0.0.1:8080") << "http://127.0.0.1:8080";
    QTest::newRow("environment, no port") << full << QByteArray("http://localhost") << "http://localhost";
    QTest::newRow("environment unusable") << full << QByteArray("not a url") << "https://store.example.net:8443";
    QTest::newRow("environment not web") << full << QByteArray("file:///tmp") << "https://store.example.net:8443";
  }

  void storeAddress() {
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, environment);
    QFETCH(QString, address);
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("QUILLPRESS_STORE_URL", environment);
    QCOMPARE(ApplicationSettingsFilePath(), dir.path() + QStringLiteral("/quillpress/Quillpress.conf"));
    if (!settings.isEmpty())
      WriteFile(QFile::encodeName(ApplicationSettingsFilePath()).toStdString(), settings.toStdString());
    const StoreAddress read = ConfiguredStoreAddress();
    const QString port = read.port == -1 ? QString() : ":" + QString::number(read.port);
    QCOMPARE(read.scheme + "://" + read.host + port, address);
    qputenv("XDG_CONFIG_HOME", "relative/folder");
    QCOMPARE(ApplicationSettingsFilePath(), QDir::homePath() + QStringLiteral("/.config/quillpress/Quillpress.conf"));
  }

  void jsonValues_data();  // out of the class: its raw strings would mislead moc
  void jsonValues() {
    QFETCH(QString, key);
    QFETCH(QString, json);
    QFETCH(QString, value);
    const auto answer = ValueForKeyInJSON(key, QString(json.constData(), json.size()));
    QCOMPARE(answer, value.isNull() ? std::nullopt : std::optional(value));
  }
};

// A missing value reads as nothing. The text ends right after the value,
// with no slack in its buffer, so nothing may be read past it.
void StoreRatingTest::jsonValues_data() {
  QTest::addColumn<QString>("key");
  QTest::addColumn<QString>("json");
  QTest::addColumn<QString>("value");
  const QString reply = QString::fromLatin1(LookupReply());
  QTest::newRow("spaces around a number") << "n" << R"({"n":   42   , "m":1})" << "42";
  QTest::newRow("line breaks around a string") << "s" << "{\"s\":\n\t\"x\"\r\n,\"t\":1}" << "x";
  QTest::newRow("first occurrence wins") << "k" << R"({"k":"one","k":"two",})" << "one";
  QTest::newRow("key only matched in quotes") << "id" << R"({"trackId":5,"id":7,})" << "7";
  QTest::newRow("unicode escapes, upper-case hex, a surrogate pair")
      << "v" << R"({"v":"Caf\u00e9 \u00C9 \ud83d\ude00",})" << QStringLiteral("Caf\u00e9 \u00c9 \U0001F600");
  QTest::newRow("short escapes") << "v" << R"({"v":"a\nb\rc\td\fe\bf\"g\/h\\i",})"
                                 << QStringLiteral("a\nb\rc\td\fe\bf\"g/h\\i");
  QTest::newRow("escaped backslash before n and u") << "v" << R"({"v":"C:\\new\\u0041",})" << "C:\\new\\u0041";
  QTest::newRow("decoded escape is not read again") << "v" << R"({"v":"\u005cu0041",})" << "\\u0041";
  QTest::newRow("unknown escape stays") << "v" << R"({"v":"a\qb",})" << "a\\qb";
  QTest::newRow("escaped quotes, one with a comma") << "v" << R"({"v":"say \", \"hi\"", "w":1})" << "say \", \"hi\"";
  QTest::newRow("value that is one quote and commas") << "v" << R"({"v":",x", "w":1})" << ",x";
  QTest::newRow("all surrounding quotes go") << "v" << R"({"v":""x""", "w":1})" << "x";
  QTest::newRow("empty string") << "v" << R"({"v":"", "w":1})" << QStringLiteral("");
  QTest::newRow("unterminated string ends at the last comma") << "v" << R"({"v":"a, b, "w":1})" << "a, b";
  QTest::newRow("hex digits with prefix") << "v" << R"({"v":"\u0x41",})" << "A";
  QTest::newRow("hex reading stops at a non-digit") << "v" << R"({"v":"\u41zz",})" << "A";
  QTest::newRow("empty key") << "" << R"({"":"e",})" << "e";
  QTest::newRow("last member of the last object") << "currency" << reply << QString();
  QTest::newRow("key without quotes") << "trackId" << "{trackId:1,}" << QString();
  QTest::newRow("no colon") << "k" << R"({"k" 1,})" << QString();
  QTest::newRow("case differs") << "TrackId" << reply << QString();
  QTest::newRow("empty text") << "k" << "" << QString();
  QTest::newRow("lone key at the end") << "k" << R"("k")" << QString();
  // Short unicode escapes stay within the text.
  QTest::newRow("nothing after \\u") << "v" << R"({"v":"ab\u",})" << "ab\\u";
  QTest::newRow("one character after \\u") << "v" << R"({"v":"ab\u1",})" << "ab\\u1";
  QTest::newRow("three characters after \\u") << "v" << R"({"v":"Caf\u00e",})" << "Caf\\u00e";
  QTest::newRow("escapes after a short one") << "v" << R"({"v":"\u\n",})" << "\\u\n";
  // A hostile reply must not keep the lookup busy: each comma is tried
  // without reading the value again from its start.
  QTest::newRow("unclosed value with many commas")
      << "v" << "{\"v\":\"x" + QString(" ,").repeated(2'000'000) + "y" << "x" + QString(" ,").repeated(1'999'999);
}

QTEST_MAIN(StoreRatingTest)
#include "tst_store_rating.moc"
