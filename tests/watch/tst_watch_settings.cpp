// The settings file, folder bookmarks, and quillpress-cli watch among other
// watchers and under SIGTERM.

#include "platform/Bookmark.h"
#include "watch/WatchSettingsStore.h"
#include "IndependentPlist.h"
#include "PostScriptSamples.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

QString Q(const fs::path& p) { return QFile::decodeName(p.c_str()); }

// Starts quillpress-cli watch on in -> out with further arguments.
void StartWatch(QProcess& p, const fs::path& in, const fs::path& out, const QStringList& more = {"--delete"}) {
  p.start(Q(samples::BinDir() / "quillpress-cli"),
          QStringList{"watch", "--source", Q(in), "--destination", Q(out)} + more);
}

}  // namespace

class WatchSettingsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  std::pair<fs::path, fs::path> Folders(const std::string& name) {
    const fs::path in = Root() / (name + "-in"), out = Root() / (name + "-out");
    fs::create_directories(in);
    fs::create_directories(out);
    return {in, out};
  }

 private Q_SLOTS:
  void initTestCase() {
    // The command line's journal and settings stay in the test's folder.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path()) + "/state");
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    QCOMPARE(WatchSettingsStore::DefaultPath(),
             fs::path("/somewhere/config/quillpress/Preferences/org.quillpress.Quillpress-WatchFolderPref.plist"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()) + "/config");
  }

  void unreadableOrHostileFiles_data() {
    QTest::addColumn<QByteArray>("content");
    const QByteArray head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("garbage") << QByteArray("\x00\xff not a plist at all", 22);
    QTest::newRow("array, not a dictionary") << head + "<array><integer>1</integer></array></plist>";
    QTest::newRow("truncated") << head + "<dict><key>IsWatching</key>";
    QTest::newRow("deeply nested") << head + QByteArray("<array>").repeated(20000);
    QTest::newRow("huge") << QByteArray(3 * 1024 * 1024, 'x');
  }

  void unreadableOrHostileFiles() {
    QFETCH(QByteArray, content);
    const fs::path path = Root() / "hostile.plist";
    std::ofstream(path, std::ios::binary).write(content.constData(), content.size());
    const WatchSettingsStore store(path);
    const WatchSettingsSnapshot settings = store.Read();
    QVERIFY(settings.firstFileUnreadable && !settings.folders.at(0));
    // A change then writes a dictionary holding only that key.
    QVERIFY(store.SetOn(0, true));
    QCOMPARE(samples::ReadPlistIndependently(path).keys(), QStringList{"IsWatching"});
  }

  // The stored numbers of the delete-or-move choice become the choice, and
  // values of the wrong type are left out.
  void storedValuesAndTheirTypes_data() {
    QTest::addColumn<QByteArray>("disposal");
    QTest::addColumn<int>("expected");  // -1: no folder
    const QByteArray source = "<key>SourceURL</key><data>" +
                              QByteArray::fromStdString(std::string(CreateFolderBookmark(Root())->data(),
                                                                    CreateFolderBookmark(Root())->size()))
                                  .toBase64() +
                              "</data>";
    QTest::newRow("1 deletes") << source + "<key>MoveToDestinationOption</key><integer>1</integer>"
                               << int(SourceDisposal::Delete);
    QTest::newRow("2 moves") << source + "<key>MoveToDestinationOption</key><integer>2</integer>"
                             << int(SourceDisposal::MoveToDestination);
    QTest::newRow("3 moves to") << source + "<key>MoveToDestinationOption</key><integer>3</integer>"
                                << int(SourceDisposal::MoveToFolder);
    QTest::newRow("7 is the default") << source + "<key>MoveToDestinationOption</key><integer>7</integer>"
                                      << int(SourceDisposal::MoveToDestination);
    QTest::newRow("a string is the default") << source + "<key>MoveToDestinationOption</key><string>3</string>"
                                             << int(SourceDisposal::MoveToDestination);
    QTest::newRow("a source as a string is none")
        << QByteArray("<key>SourceURL</key><string>/etc</string><key>IsWatching</key><integer>1</integer>") << -1;
  }

  void storedValuesAndTheirTypes() {
    QFETCH(QByteArray, disposal);
    QFETCH(int, expected);
    const fs::path path = Root() / "types.plist";
    samples::WriteFile(path, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + disposal.toStdString() +
                                 "</dict></plist>");
    const WatchSettingsStore store(path);
    const auto first = store.Read().folders.at(0);
    QCOMPARE(first && first->isSet() ? int(first->stored.disposal) : -1, expected);
    if (expected < 0) return;
    // Written back as the same number.
    auto folder = *first;
    QVERIFY(store.Write(0, folder));
    QCOMPARE(int(store.Read().folders.at(0)->stored.disposal), expected);
    const auto number = static_cast<int>(samples::PlistInteger(samples::ReadPlistIndependently(path), "MoveToDestinationOption"));
    QCOMPARE(number, expected == int(SourceDisposal::Delete) ? 1 : expected == int(SourceDisposal::MoveToFolder) ? 3 : 2);
  }

  void bookmarksFollowTheFolder() {
    const fs::path bm = Root() / "bm";
    fs::create_directories(bm / "a");
    const auto data = *CreateFolderBookmark(bm / "a");
    QCOMPARE(*ResolveFolderBookmark(data), bm / "a");
    fs::rename(bm / "a", bm / "renamed");
    QCOMPARE(*ResolveFolderBookmark(data), bm / "renamed");
    fs::create_directories(bm / "sibling");
    fs::rename(bm / "renamed", bm / "sibling" / "moved");
    QCOMPARE(*ResolveFolderBookmark(data), bm / "sibling" / "moved");
    fs::remove_all(bm / "sibling");
    QVERIFY(!ResolveFolderBookmark(data));
    // A folder that has its inode number now is another folder.
    fs::create_directories(bm / "c");
    std::vector<char> other = *CreateFolderBookmark(bm / "c");
    other[32] = static_cast<char>(other[32] ^ 1);  // born at another time
    fs::rename(bm / "c", bm / "d");
    QVERIFY(!ResolveFolderBookmark(other));
    QVERIFY(!ResolveFolderBookmark({}));
    QVERIFY(!ResolveFolderBookmark(std::vector<char>(100, 'Q')));
    std::vector<char> lying = *CreateFolderBookmark(Root());
    lying[36] = '\x7f';  // a path length beyond the data
    QVERIFY(!ResolveFolderBookmark(lying));
    QVERIFY(!CreateFolderBookmark(Root() / "missing"));
  }

  void twoWatchersOnOneFolderTakeEachFileOnce() {
    // One plays this machine, the other another machine on a shared folder.
    const auto [in, out] = Folders("shared");
    QProcess here, there;
    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    elsewhere.insert("QUILLPRESS_HOST_NAME", "another-machine");
    elsewhere.insert("XDG_STATE_HOME", Q(Root() / "there-state"));
    there.setProcessEnvironment(elsewhere);
    for (QProcess* p : {&here, &there}) {
      p->setStandardOutputFile(QProcess::nullDevice());
      StartWatch(*p, in, out);
    }
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
    const auto [in, out] = Folders("busy");
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
    StartWatch(watch, in, out, {"--delete", "--preset", "smallest"});
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
    const auto [in, out] = Folders("term");
    samples::WriteFile(in / "long.ps", samples::OnePagePostScript());
    QProcess watch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLPRESS_PSTOPDF", Q(samples::WriteStandInConverter(Root(), "endless", "exec sleep 600")));
    watch.setProcessEnvironment(env);
    StartWatch(watch, in, out);
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(in / "long.ps"), 120000);  // claimed and in the converter
    // The converter would sleep ten minutes: ending within the deadline means
    // it was stopped, not waited for.
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    QCOMPARE(samples::ListTree(in), std::vector<std::string>{"long.ps"});
    QCOMPARE(samples::ListTree(out), std::vector<std::string>{});

    // A folder the rules refuse: said, and exit status 1.
    QProcess bad;
    StartWatch(bad, in, in, {});
    QVERIFY(bad.waitForFinished(30000));
    QCOMPARE(bad.exitCode(), 1);
    QVERIFY(bad.readAllStandardError().contains("the same folder"));
  }
};

QTEST_GUILESS_MAIN(WatchSettingsTest)
#include "tst_watch_settings.moc"
