// The settings files and folder bookmarks, several folders stored and run,
// and quillpress-cli's watch and folders commands among other watchers and
// under SIGTERM.

#include "BMTUtil.h"
#include "platform/Bookmark.h"
#include "watch/FolderClaims.h"
#include "watch/WatchService.h"
#include "IndependentPlist.h"
#include "PostScriptSamples.h"
#include "WatchTestFolders.h"

#include <QDir>
#include <QProcess>

#include <fstream>

namespace fs = std::filesystem;
using namespace samples;

namespace {

constexpr int kDeadline = 120000;
QString Q(const fs::path& p) { return QFile::decodeName(p.c_str()); }

// quillpress-cli watch on in -> out, with env over the test's own.
void StartWatch(QProcess& p, const fs::path& in, const fs::path& out, const QStringList& more = {"--delete"},
                const QStringList& env = {}) {
  QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
  for (const QString& entry : env) e.insert(entry.section('=', 0, 0), entry.section('=', 1));
  p.setProcessEnvironment(e);
  p.start(Q(BinDir() / "quillpress-cli"), QStringList{"watch", "--source", Q(in), "--destination", Q(out)} + more);
}

WatchFolderEntry Folder(const fs::path& source, const fs::path& destination) {
  WatchFolderEntry f;
  std::tie(f.source, f.destination, f.stored.disposal, f.stored.on) = std::tuple(source, destination, SourceDisposal::Delete, true);
  return f;
}

std::string Base64Bookmark(const fs::path& folder) {
  const auto bookmark = *CreateFolderBookmark(folder);
  return QByteArray(bookmark.data(), qsizetype(bookmark.size())).toBase64().toStdString();
}

}  // namespace

class WatchSettingsTest : public QObject {
  Q_OBJECT

  WatchTestFolders m_f;
  fs::path m_prefs;

 private Q_SLOTS:
  void initTestCase() {
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    QCOMPARE(WatchSettingsStore::DefaultPath(),
             fs::path("/somewhere/config/quillpress/Preferences/org.quillpress.Quillpress-WatchFolderPref.plist"));
  }

  void init() {
    m_f = WatchTestFolders();
    qputenv("XDG_CONFIG_HOME", (m_f.root / "config").c_str());
    qputenv("XDG_STATE_HOME", (m_f.root / "state").c_str());
    m_prefs = WatchSettingsStore::DefaultPath();
  }

  // Files the store must survive, and the stored numbers of the choice: a
  // value of the wrong type is left out, an unknown number is the default.
  void storedFiles_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("disposal");  // -1: no folder, -2: unreadable
    QTest::addColumn<int>("number");    // the choice written back
    const auto row = [](const char* tag, const QByteArray& content, int disposal, int number = 0) {
      QTest::newRow(tag) << content << disposal << number;
    };
    const QByteArray head = "<?xml version=\"1.0\"?><plist version=\"1.0\">", end = "</dict></plist>";
    const QByteArray option = head + "<dict><key>SourceURL</key><data>" + Base64Bookmark(QDir::tempPath().toStdString()).c_str() +
                              "</data><key>MoveToDestinationOption</key>";
    row("empty", {}, -2);
    row("garbage", QByteArray("\x00\xff not a plist at all", 22), -2);
    row("array", head + "<array><integer>1</integer></array></plist>", -2);
    row("truncated", head + "<dict><key>IsWatching</key>", -2);
    row("deeply nested", head + QByteArray("<array>").repeated(20000), -2);
    row("huge", QByteArray(3 * 1024 * 1024, 'x'), -2);
    row("1 deletes", option + "<integer>1</integer>" + end, int(SourceDisposal::Delete), 1);
    row("2 moves", option + "<integer>2</integer>" + end, int(SourceDisposal::MoveToDestination), 2);
    row("3 moves to", option + "<integer>3</integer>" + end, int(SourceDisposal::MoveToFolder), 3);
    row("7 is the default", option + "<integer>7</integer>" + end, int(SourceDisposal::MoveToDestination), 2);
    row("a string is the default", option + "<string>3</string>" + end, int(SourceDisposal::MoveToDestination), 2);
    row("a source as a string is none", head + "<dict><key>SourceURL</key><string>/etc</string>" + end, -1);
  }

  void storedFiles() {
    QFETCH(QByteArray, content);
    QFETCH(int, disposal);
    QFETCH(int, number);
    const fs::path file = m_f.root / "p.plist";
    std::ofstream(file, std::ios::binary).write(content.constData(), content.size());
    const WatchSettingsStore store(file);
    const WatchSettingsSnapshot settings = store.Read();
    QCOMPARE(settings.firstFileUnreadable, disposal == -2);
    auto first = settings.folders.at(0);
    QCOMPARE(first && first->isSet() ? int(first->stored.disposal) : -1, std::max(disposal, -1));
    // Written back as the same number; a change to a file that could not be
    // read writes a dictionary holding only that key.
    if (disposal >= 0) QVERIFY(store.Write(0, *first) && PlistInteger(ReadPlistIndependently(file), "MoveToDestinationOption") == number);
    if (disposal == -2) QVERIFY(store.SetOn(0, true) && ReadPlistIndependently(file).keys() == QStringList{"IsWatching"});
  }

  void bookmarksFollowTheFolder() {
    const auto data = *CreateFolderBookmark(m_f.Make("a"));
    fs::rename(m_f.root / "a", m_f.Make("sibling") / "moved");
    QCOMPARE(ResolveFolderBookmark(data), std::optional(m_f.root / "sibling" / "moved"));
    fs::remove_all(m_f.root / "sibling");
    // A folder that has its inode number now is another folder.
    std::vector<char> other = *CreateFolderBookmark(m_f.Make("c"));
    other[32] = static_cast<char>(other[32] ^ 1);  // born at another time
    fs::rename(m_f.root / "c", m_f.root / "d");
    std::vector<char> lying = *CreateFolderBookmark(m_f.root);
    lying[36] = '\x7f';  // a path length beyond the data
    for (const auto& refused : {data, other, {}, std::vector<char>(100, 'Q'), lying}) QVERIFY(!ResolveFolderBookmark(refused));
    QVERIFY(!CreateFolderBookmark(m_f.root / "missing"));
  }

  // A file as the single-folder version wrote it is the first folder and
  // stays as it was while others are added beside it; an entry spoiled by
  // hand costs only that folder, the others run, and it is kept as it is.
  void furtherFoldersGoBesideTheFirst() {
    WriteFile(m_prefs, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>SourceURL</key><data>" +
                           Base64Bookmark(m_f.source) + "</data><key>DestinationURL</key><data>" + Base64Bookmark(m_f.destination) +
                           "</data><key>MoveToDestinationOption</key><integer>1</integer><key>IsWatching</key><true/></dict></plist>\n");
    const std::string before = ReadAll(m_prefs);
    const WatchSettingsStore store(m_prefs);
    auto folders = store.Read().folders;
    QVERIFY(folders.size() == 1 && folders[0]->source == m_f.source && folders[0]->displayName() == "in");
    QVERIFY(folders[0]->stored.disposal == SourceDisposal::Delete && folders[0]->stored.on);
    QCOMPARE(folders[0]->stored.preset, PdfPreset::Faithful);
    WatchFolderEntry second = Folder(m_f.Make("b-in"), m_f.Make("b-out")), third = Folder(m_f.Make("c-in"), m_f.Make("c-out"));
    std::tie(second.stored.preset, second.stored.compress, second.stored.name) = std::tuple(PdfPreset::Smallest, true, "web");
    QCOMPARE(store.Add(second), std::optional<std::size_t>(1));
    QVERIFY(store.Add(third));
    folders = store.Read().folders;
    QVERIFY(folders.size() == 3 && folders[1]->displayName() == "web");
    QVERIFY(folders[1]->stored.preset == PdfPreset::Smallest && folders[1]->stored.compress);
    QCOMPARE(ReadAll(m_prefs), before);

    // The middle entry spoiled by hand.
    std::string text = ReadAll(store.othersFile());
    const auto value = text.find("<integer>1</integer>", text.find("<key>MoveToDestinationOption</key>"));
    std::ofstream(store.othersFile()) << text.replace(value, 20, "<string>x</string>");
    const auto settings = store.Read();
    QVERIFY(settings.folders.size() == 3 && settings.folders[0] && !settings.folders[1] && settings.folders[2]);
    QCOMPARE(settings.broken.size(), std::size_t(1));
    WatchService service(m_f.root / "watch.log");
    QVERIFY(service.StartStoredFolders(store).empty());
    QVERIFY(service.state(0) == WatchFolderState::Watching && service.state(2) == WatchFolderState::Watching);
    QVERIFY(store.SetOn(2, false) && !store.Read().folders[2]->stored.on && store.Remove(2));
    QCOMPARE(store.Read().folders.size(), std::size_t(2));
    QVERIFY(ReadAll(store.othersFile()).find("<string>x</string>") != std::string::npos && ReadAll(m_prefs) == before);
  }

  void fiftyFoldersWithoutAThreadOrDescriptorEach() {
    auto count = [](const char* dir) {
      std::size_t n = 0;
      std::error_code ec;
      for (fs::directory_iterator it(fs::path("/proc/self") / dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
      return n;
    };
    WatchService service(m_f.root / "watch.log");
    std::size_t threads = 0, descriptors = 0;
    for (int i = 0; i < 50; ++i) {
      WatchService::StartRequest r;
      r.choice = Folder(m_f.Make("in" + std::to_string(i)), m_f.Make("out" + std::to_string(i))).choice();
      QVERIFY(!service.Start(i, r));
      if (i == 0) threads = count("task"), descriptors = count("fd");  // the engine and its worker are there now
    }
    // No more than before (the worker may have held a folder open for its
    // first look then).
    QTRY_VERIFY_WITH_TIMEOUT(count("task") <= threads && count("fd") <= descriptors, kDeadline);
    for (int i = 0; i < 50; i += 7) WriteFile(m_f.root / ("in" + std::to_string(i)) / "one.ps", OnePagePostScript());
    for (int i = 0; i < 50; i += 7) QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.root / ("out" + std::to_string(i)) / "one.pdf"), kDeadline);
    // Conversions run on threads of their own while they last.
    QTRY_VERIFY_WITH_TIMEOUT(count("task") <= threads, kDeadline);
  }

  void theFoldersCommand() {
    // One folder named to fool a terminal: listed escaped.
    const fs::path a = m_f.Make("cli-a"), b = m_f.Make("cli-b"), c = m_f.Make("cli-c\x1b[2K\n1  fake");
    const fs::path d = m_f.Make("cli-d"), e = m_f.Make("cli-e"), f = m_f.Make("cli-f"), g = m_f.Make("cli-g");
    const QString A = Q(a), B = Q(b), C = Q(c), D = Q(d);
    const std::vector<std::tuple<QStringList, int, std::string>> steps = {
        {{"list"}, 0, "no watch folders"},
        {{"add", "--source", A, "--destination", B, "--delete", "--preset", "print", "--name", "first"}, 0, "added: first"},
        {{"add", "--source", C, "--destination", D, "--name", "archive", "--compress"}, 0, "added: archive"},
        {{"add", "--source", Q(e), "--destination", Q(f), "--move-to", Q(g), "-p", "smallest", "-c", "--name", "web"}, 0, "added: web"},
        // Refused: a shared source, a loop, the same folder twice.
        {{"add", "--source", A, "--destination", D}, 1, "already"},
        {{"add", "--source", B, "--destination", D}, 1, "round and round"},
        {{"add", "--source", D, "--destination", D}, 1, ""},
        {{"list"}, 0, "1  first  on   " + a.native() + " -> " + b.native() + "  then delete, preset print"},
        {{"list"}, 0, "2  archive  on   " + BMTUtil::EscapedForDisplay(c.native()) + " -> "},
        {{"list"}, 0, "compressed"},
        // Said as it is afterwards.
        {{"disable", C}, 0, "disabled: archive  off"},
        {{"enable", C}, 0, "enabled: archive  on "},
    };
    for (const auto& [args, code, says] : steps) {
      const ProgramRun run = RunProgram("quillpress-cli", QStringList{"folders"} + args);
      QVERIFY2(run.exitCode == code && run.output.contains(says.c_str()), qPrintable(args.join(' ') + ": " + run.output));
      const auto archive = WatchSettingsStore().Read().folders;
      if (args[0] == "disable" || args[0] == "enable") QCOMPARE(archive.at(1)->stored.on, args[0] == "enable");
    }

    // watch runs every folder that is on, each with its own choices and
    // preset, several files each.
    for (const fs::path& in : {a, c, e}) {
      for (const char* name : {"doc0.ps", "doc1.ps"}) WriteFile(in / name, PostScriptWithPages(std::vector<std::pair<int, int>>(20, {612, 792})));
    }
    // A folder whose move-to folder went is refused, once, however often
    // the settings change while watch runs; nothing else is taken for it.
    const fs::path gone = m_f.Make("cli-gone");
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "add", "--source", Q(m_f.Make("cli-h")), "--destination",
                                           Q(m_f.Make("cli-i")), "--move-to", Q(gone), "--name", "lost"}).exitCode, 0);
    fs::remove(gone);
    QProcess watch;
    watch.setProcessChannelMode(QProcess::MergedChannels);
    watch.start(Q(BinDir() / "quillpress-cli"), {"watch"});
    const std::vector<std::string> pdfs = {"doc0.pdf", "doc1.pdf"}, both = {"doc0.pdf", "doc0.ps", "doc1.pdf", "doc1.ps"};
    QTRY_VERIFY_WITH_TIMEOUT(ListTree(b) == pdfs && ListTree(d) == both && ListTree(f) == pdfs && ListTree(g).size() == 2 &&
                                 ListTree(a).empty() && ListTree(c).empty() && ListTree(e).empty(), kDeadline * 3);
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "disable", C}).exitCode, 0);
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += watch.readAll()).contains("stopped: "), kDeadline);
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000) && watch.exitCode() == 0);
    said += watch.readAll();
    QVERIFY(said.count("lost: ") == 1 && !said.contains("started: " + Q(m_f.root / "cli-h").toUtf8()));
    QVERIFY(fs::file_size(f / "doc0.pdf") < fs::file_size(b / "doc0.pdf"));
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "remove", A}).exitCode, 0);
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "remove", A}).exitCode, 1);
    const QByteArray listed = RunProgram("quillpress-cli", {"folders", "list"}).output;
    QVERIFY(!listed.contains("first") && listed.contains("archive"));
  }

  // Two watchers on one folder, one playing another machine on a shared
  // folder, beside a live watcher's claim (this process's): each file is
  // converted once, and the claim is not theirs to take but is said.
  void twoWatchersOnOneFolderTakeEachFileOnce() {
    const fs::path inHand = m_f.source / FolderClaims::kClaimsFolder / FolderClaims::OwnOwner() / "inhand.ps";
    WriteFile(inHand, OnePagePostScript());
    QProcess here, there;
    there.setStandardOutputFile(QProcess::nullDevice());
    StartWatch(here, m_f.source, m_f.destination, {"--delete", "--preset", "smallest"});
    StartWatch(there, m_f.source, m_f.destination, {"--delete"},
               {"QUILLPRESS_HOST_NAME=another-machine", "XDG_STATE_HOME=" + Q(m_f.root / "there-state")});
    QVERIFY(here.waitForStarted() && there.waitForStarted());
    constexpr std::size_t kFiles = 300;
    for (std::size_t i = 0; i < kFiles; ++i) WriteFile(m_f.source / ("f" + std::to_string(i) + ".ps"), OnePagePostScript());
    auto sources = [&] {  // in hand included; claims folders may come and go
      const auto names = ListTree(m_f.source);
      return std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".ps"); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(ListTree(m_f.destination).size() >= kFiles && sources() == 1, 600000);
    here.terminate();
    there.terminate();
    QVERIFY(here.waitForFinished(60000) && there.waitForFinished(60000));
    const auto pdfs = ListTree(m_f.destination);
    QCOMPARE(pdfs.size(), kFiles);  // no "f1 1.pdf": none converted twice
    for (const auto& name : pdfs) QVERIFY2(name.find(' ') == std::string::npos, name.c_str());
    QVERIFY(fs::exists(inHand) && here.readAllStandardOutput().contains("other watcher: " + QByteArray(m_f.source.c_str())));
  }

  void sigtermStopsTheConverterAndLeavesTheFile() {
    WriteFile(m_f.source / "long.ps", OnePagePostScript());
    QProcess watch;
    StartWatch(watch, m_f.source, m_f.destination, {"--delete"},
               {"QUILLPRESS_PSTOPDF=" + Q(WriteStandInConverter(m_f.root, "endless", "exec sleep 600"))});
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(m_f.source / "long.ps"), kDeadline);  // claimed and in the converter
    // The converter would sleep ten minutes: ending within the deadline means
    // it was stopped, not waited for.
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000) && watch.exitStatus() == QProcess::NormalExit && watch.exitCode() == 0);
    QVERIFY(ListTree(m_f.source) == std::vector<std::string>{"long.ps"} && fs::is_empty(m_f.destination));
    // A folder the rules refuse: said, and exit status 1.
    StartWatch(watch, m_f.source, m_f.source, {});
    QVERIFY(watch.waitForFinished(30000) && watch.exitCode() == 1);
    QVERIFY(watch.readAllStandardError().contains("the same folder"));
  }
};

QTEST_GUILESS_MAIN(WatchSettingsTest)
#include "tst_watch_settings.moc"
