// The settings file, folder bookmarks and quillpress-cli watch end to end.

#include "platform/Bookmark.h"
#include "watch/WatchFolderSettings.h"
#include "PostScriptSamples.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

namespace fs = std::filesystem;

namespace {

// Reads a property list with Python's own reader, as a JSON object (data
// values in base64), to check the file independently of our code.
QJsonObject ReadIndependently(const fs::path& plist) {
  QProcess python;
  python.start(QStringLiteral("python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import plistlib,json,sys,base64\n"
                               "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                               "print(json.dumps({k:(['data',base64.b64encode(v).decode()] if isinstance(v,bytes) "
                               "else ['bool',v] if isinstance(v,bool) else ['int',v] if isinstance(v,int) "
                               "else ['other',str(v)]) for k,v in d.items()}))"),
                QFile::decodeName(plist.c_str())});
  python.waitForFinished(30000);
  return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

}  // namespace

class WatchSettingsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

 private Q_SLOTS:
  void defaultPathFollowsXdgConfigHome() {
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    QCOMPARE(WatchFolderSettings::DefaultPath(),
             fs::path("/somewhere/config/quillpress/Preferences/"
                      "org.quillpress.Quillpress-WatchFolderPref.plist"));
    qunsetenv("XDG_CONFIG_HOME");
  }

  void keysAfterEachStep() {
    const WatchFolderSettings settings(Root() / "Preferences" / "prefs.plist");
    QVERIFY(!settings.Read());
    QVERIFY(settings.WriteDefaults());
    QJsonObject read = ReadIndependently(settings.path());
    QCOMPARE(read.keys(), (QStringList{"IsWatching", "MoveToDestinationOption"}));
    QCOMPARE(read["MoveToDestinationOption"].toArray()[1].toInt(), 2);
    QCOMPARE(read["IsWatching"].toArray()[0].toString(), QStringLiteral("bool"));
    QCOMPARE(read["IsWatching"].toArray()[1].toBool(), false);

    fs::create_directory(Root() / "src");
    const auto bookmark = CreateFolderBookmark(Root() / "src");
    QVERIFY(bookmark);
    QVERIFY(settings.WriteData("SourceURL", *bookmark));
    QVERIFY(settings.WriteInteger("MoveToDestinationOption", 3));
    QVERIFY(settings.WriteBoolean("IsWatching", true));
    read = ReadIndependently(settings.path());
    QCOMPARE(read.keys(), (QStringList{"IsWatching", "MoveToDestinationOption", "SourceURL"}));
    QCOMPARE(read["SourceURL"].toArray()[0].toString(), QStringLiteral("data"));
    QCOMPARE(read["MoveToDestinationOption"].toArray()[1].toInt(), 3);
    QCOMPARE(read["IsWatching"].toArray()[1].toBool(), true);

    const auto prefs = settings.Read();
    QVERIFY(prefs);
    QCOMPARE(*prefs->sourceURL, *bookmark);
    QCOMPARE(*prefs->moveToDestinationOption, std::int64_t(3));
    QCOMPARE(*prefs->isWatching, true);
    QVERIFY(!prefs->destinationURL);
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
    QCOMPARE(ReadIndependently(path).keys(), QStringList{"IsWatching"});
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

  void commandLineWatchEndToEnd() {
    const fs::path in = Root() / "cli-in";
    const fs::path out = Root() / "cli-out";
    fs::create_directories(in);
    fs::create_directories(out);
    samples::WriteFile(in / "first.ps", samples::OnePagePostScript());
    QProcess watch;
    watch.start(QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str()),
                {"watch", "--source", QFile::decodeName(in.c_str()), "--destination",
                 QFile::decodeName(out.c_str()), "--delete"});
    QVERIFY(watch.waitForStarted());
    QByteArray lines;
    auto readLines = [&] { lines += watch.readAllStandardOutput(); return lines; };
    QTRY_VERIFY_WITH_TIMEOUT(readLines().contains("deleted: " + QByteArray(in.c_str()) + "/first.ps"), 120000);
    samples::WriteFile(in / "second.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(readLines().contains("converted: " + QByteArray(in.c_str()) + "/second.ps"), 120000);
    watch.terminate();  // SIGTERM
    QVERIFY(watch.waitForFinished(60000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    QCOMPARE(samples::ListTree(out), (std::vector<std::string>{"first.pdf", "second.pdf"}));

    QProcess bad;
    bad.start(QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str()),
              {"watch", "--source", QFile::decodeName(in.c_str()), "--destination", QFile::decodeName(in.c_str())});
    QVERIFY(bad.waitForFinished(30000));
    QCOMPARE(bad.exitCode(), 2);
  }
};

QTEST_GUILESS_MAIN(WatchSettingsTest)
#include "tst_watch_settings.moc"
