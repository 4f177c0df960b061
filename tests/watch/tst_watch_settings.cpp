// The settings file, folder bookmarks, and quillpress-cli watch among other
// watchers and under SIGTERM.

#include "platform/Bookmark.h"
#include "watch/WatchFolderSettings.h"
#include "IndependentPlist.h"
#include "PostScriptSamples.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

using samples::ReadPlistIndependently;

class WatchSettingsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

 private Q_SLOTS:
  void initTestCase() {
    // The command line's journal and settings stay in the test's folder.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path()) + "/state");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()) + "/config");
  }

  void defaultPathFollowsXdgConfigHome() {
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    QCOMPARE(WatchFolderSettings::DefaultPath(),
             fs::path("/somewhere/config/quillpress/Preferences/"
                      "org.quillpress.Quillpress-WatchFolderPref.plist"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()) + "/config");
  }

  void unreadableOrHostileFiles_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("garbage") << QByteArray("\x00\xff not a plist at all", 22);
    QTest::newRow("array, not a dictionary")
        << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array></plist>");
    QTest::newRow("truncated") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>IsWatching</key>");
    QByteArray deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 20000; ++i) deep += "<array>";
    QTest::newRow("deeply nested") << deep;
    QTest::newRow("huge") << QByteArray(3 * 1024 * 1024, 'x');
  }

  void unreadableOrHostileFiles() {
    QFETCH(QByteArray, content);
    const fs::path path = Root() / "hostile.plist";
    std::ofstream(path, std::ios::binary).write(content.constData(), content.size());
    const WatchFolderSettings settings(path);
    QVERIFY(!settings.Read());
    // A single store then writes a dictionary holding only that key.
    QVERIFY(settings.WriteBoolean("IsWatching", true));
    QCOMPARE(ReadPlistIndependently(path).keys(), QStringList{"IsWatching"});
  }

  void wrongValueTypesAreIgnored() {
    const fs::path path = Root() / "types.plist";
    samples::WriteFile(path, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                             "<key>SourceURL</key><string>/etc</string>"
                             "<key>MoveToDestinationOption</key><string>3</string>"
                             "<key>IsWatching</key><integer>1</integer></dict></plist>");
    const auto prefs = WatchFolderSettings(path).Read();
    QVERIFY(prefs);
    QVERIFY(!prefs->sourceURL && !prefs->moveToDestinationOption && !prefs->isWatching);
  }

  void bookmarksFollowTheFolder() {
    const fs::path a = Root() / "bm" / "a";
    fs::create_directories(a);
    const auto data = *CreateFolderBookmark(a);
    QCOMPARE(*ResolveFolderBookmark(data), a);
    fs::rename(a, Root() / "bm" / "renamed");
    QCOMPARE(*ResolveFolderBookmark(data), Root() / "bm" / "renamed");
    fs::create_directories(Root() / "bm" / "sibling");
    fs::rename(Root() / "bm" / "renamed", Root() / "bm" / "sibling" / "moved");
    QCOMPARE(*ResolveFolderBookmark(data), Root() / "bm" / "sibling" / "moved");
    fs::remove_all(Root() / "bm" / "sibling");
    QVERIFY(!ResolveFolderBookmark(data));
    QVERIFY(!ResolveFolderBookmark({}));
    QVERIFY(!ResolveFolderBookmark(std::vector<char>(100, 'Q')));
    std::vector<char> lying = *CreateFolderBookmark(Root());
    lying[24] = '\x7f';  // a path length beyond the data
    QVERIFY(!ResolveFolderBookmark(lying));
    QVERIFY(!CreateFolderBookmark(Root() / "missing"));
  }

  void twoWatchersOnOneFolderTakeEachFileOnce() {
    // One plays this machine, the other another machine on a shared folder.
    const fs::path in = Root() / "shared-in";
    const fs::path out = Root() / "shared-out";
    fs::create_directories(in);
    fs::create_directories(out);
    const QString cli = QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str());
    const QStringList args = {"watch", "--source", QFile::decodeName(in.c_str()), "--destination",
                              QFile::decodeName(out.c_str()), "--delete"};
    QProcess here, there;
    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    elsewhere.insert("QUILLPRESS_HOST_NAME", "another-machine");
    elsewhere.insert("XDG_STATE_HOME", QFile::decodeName((Root() / "there-state").c_str()));
    there.setProcessEnvironment(elsewhere);
    for (QProcess* p : {&here, &there}) p->setStandardOutputFile(QProcess::nullDevice());
    here.start(cli, args);
    there.start(cli, args);
    QVERIFY(here.waitForStarted() && there.waitForStarted());

    constexpr int kFiles = 300;
    const std::string doc = samples::OnePagePostScript();
    for (int i = 0; i < kFiles; ++i) samples::WriteFile(in / ("f" + std::to_string(i) + ".ps"), doc);
    // Until every source is gone (claims folders may come and go meanwhile).
    auto sourcesLeft = [&] {
      std::size_t n = 0;
      for (const auto& name : samples::ListTree(in)) n += name.ends_with(".ps") ? 1u : 0u;
      return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(out).size() >= std::size_t(kFiles) && sourcesLeft() == 0, 600000);
    here.terminate();
    there.terminate();
    QVERIFY(here.waitForFinished(60000) && there.waitForFinished(60000));
    QCOMPARE(samples::ListTree(in), std::vector<std::string>{});
    const auto pdfs = samples::ListTree(out);
    QCOMPARE(pdfs.size(), std::size_t(kFiles));  // no "f1 1.pdf": none converted twice
    for (const auto& name : pdfs) QVERIFY2(name.find(' ') == std::string::npos, name.c_str());
  }

  void anotherWatcherAtWorkIsReported() {
    // A live watcher's claim (this test process is alive) holding a file.
    const fs::path in = Root() / "busy-in";
    const fs::path out = Root() / "busy-out";
    fs::create_directories(out);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::ifstream statFile("/proc/self/stat");
    std::string stat;
    std::getline(statFile, stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field, start;
    for (int i = 3; i <= 22 && fields >> field; ++i) start = field;
    const std::string owner = std::string(host) + "~" + std::to_string(getpid()) + "~" + start;
    samples::WriteFile(in / ".quillpress-claims" / owner / "inhand.ps", samples::OnePagePostScript());
    samples::WriteFile(in / "mine.ps", samples::OnePagePostScript());
    QProcess watch;
    watch.start(QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str()),
                {"watch", "--source", QFile::decodeName(in.c_str()), "--destination", QFile::decodeName(out.c_str()),
                 "--delete", "--preset", "smallest"});
    QByteArray lines;
    QTRY_VERIFY_WITH_TIMEOUT((lines += watch.readAllStandardOutput()).contains("deleted: "), 120000);
    QVERIFY(lines.contains("other watcher: " + QByteArray(in.c_str())));
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000));
    // The live claim is not ours to take.
    QVERIFY(fs::exists(in / ".quillpress-claims" / owner / "inhand.ps"));
    QCOMPARE(samples::ListTree(out), std::vector<std::string>{"mine.pdf"});
  }

  void sigtermStopsTheConverterAndLeavesTheFile() {
    const fs::path in = Root() / "term-in";
    const fs::path out = Root() / "term-out";
    fs::create_directories(in);
    fs::create_directories(out);
    const fs::path endless = samples::WriteStandInConverter(Root(), "endless", "exec sleep 600");
    samples::WriteFile(in / "long.ps", samples::OnePagePostScript());
    QProcess watch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLPRESS_PSTOPDF", QFile::decodeName(endless.c_str()));
    watch.setProcessEnvironment(env);
    watch.start(QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str()),
                {"watch", "--source", QFile::decodeName(in.c_str()), "--destination", QFile::decodeName(out.c_str()),
                 "--delete"});
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(in / "long.ps"), 120000);  // claimed and in the converter
    QElapsedTimer clock;
    clock.start();
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    QCOMPARE(samples::ListTree(in), std::vector<std::string>{"long.ps"});
    QCOMPARE(samples::ListTree(out), std::vector<std::string>{});

    // A folder the rules refuse: said, and exit status 1.
    QProcess bad;
    bad.start(QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str()),
              {"watch", "--source", QFile::decodeName(in.c_str()), "--destination", QFile::decodeName(in.c_str())});
    QVERIFY(bad.waitForFinished(30000));
    QCOMPARE(bad.exitCode(), 1);
    QVERIFY(bad.readAllStandardError().contains("the same folder"));
  }
};

QTEST_GUILESS_MAIN(WatchSettingsTest)
#include "tst_watch_settings.moc"
