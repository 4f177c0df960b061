#include "StoreLookupServer.h"
#include "rating/MacAppStoreRating.h"
#include "tests/window/WindowTestFixture.h"

#include <QAction>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int kDeadlineMs = 30'000;

const QByteArray kOwnReply =
    "{\n \"resultCount\":1,\n \"results\": [\n{\"trackId\":987654321, "
    "\"bundleId\":\"org.quillpress.Quillpress\", \"trackName\":\"Quillpress\"}]\n}\n";

}  // namespace

// The Rate command of the real window, with the store served on 127.0.0.1.
class RateCommandTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void rateOpensTheStoreLinkOnceLaunched() {
    StoreLookupServer server_;
    QVERIFY(server_.Start());
    qputenv("QUILLPRESS_STORE_URL", server_.BaseUrl());
    server_.SetReply(200, kOwnReply);
    WindowFixture f;
    MacAppStoreRating* rating = f.d().storeRating();
    QSignalSpy finished(rating, &MacAppStoreRating::lookupFinished);
    // The lookup starts once the main loop runs, not at start-up.
    QVERIFY(server_.targets.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
    QCOMPARE(server_.targets.size(), 1);
    QVERIFY(server_.targets.front().startsWith("//lookup?country="));
    QVERIFY(server_.targets.front().endsWith("&bundleId=org.quillpress.Quillpress"));
    QCOMPARE(rating->appStoreID(), 987654321U);

    f.action("rateMenuItem")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(f.workspace.opened.size(), std::size_t{1}, kDeadlineMs);
    QCOMPARE(f.workspace.opened.front().scheme(), QStringLiteral("macappstore"));
    QCOMPARE(f.workspace.opened.front().path(), QStringLiteral("/app/id987654321"));
  }
};

QTEST_MAIN(RateCommandTest)
#include "tst_rate_command.moc"
