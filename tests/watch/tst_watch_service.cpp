// The watch service on real folders, real inotify and the real converter
// (what it takes and when, what it leaves, what it says); its settings
// files and folder bookmarks, several folders stored and run;
// quillpress-cli's watch and folders commands among other watchers and under
// SIGTERM; and the watch engine where print rooms put it: FUSE and sshfs
// folders, a watcher killed, a writer pausing where no event reaches us, a
// destination too full, links, a clock ahead, the longest names, several
// files converted at once.

#include "BMTUtil.h"
#include "conversion/PostScriptConverter.h"
#include "platform/Bookmark.h"
#include "watch/FileSystemKind.h"
#include "watch/FolderClaims.h"
#include "watch/WatchService.h"
#include "IndependentPlist.h"
#include "PostScriptSamples.h"

#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <set>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace samples;
using Kind = WatchEvent::Kind;

namespace {

constexpr int kDeadline = 120000;

// Writes doc into file in parts with the writer's pauses between them, the
// events handled meanwhile, closing it between parts when reopen is set.
void WriteSlowly(const fs::path& file, const std::string& doc, std::size_t parts, std::chrono::milliseconds pause,
                 bool reopen) {
  std::ofstream out(file, std::ios::binary);
  const std::size_t part = doc.size() / parts + 1;
  for (std::size_t at = 0; at < doc.size(); at += part) {
    if (!out.is_open()) out.open(file, std::ios::binary | std::ios::app);
    out.write(doc.data() + at, std::streamsize(std::min(part, doc.size() - at))).flush();
    if (at + part >= doc.size()) break;
    if (reopen) out.close();
    QTest::qWait(int(pause.count()));
  }
}

// quillpress-cli watch on in -> out, with env over the test's own.
void StartWatch(QProcess& p, const fs::path& in, const fs::path& out, const QStringList& more = {"--delete"},
                const QStringList& env = {}) {
  QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
  for (const QString& entry : env) e.insert(entry.section('=', 0, 0), entry.section('=', 1));
  p.setProcessEnvironment(e);
  p.start(Arg(BinDir() / "quillpress-cli"), QStringList{"watch", "--source", Arg(in), "--destination", Arg(out)} + more);
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


// Short waits, so that a test takes seconds; the rescan that would find
// anything in the end is an hour away, so that what is found is found by
// the way under test.
constexpr WatchTimings kShort{.settleTime = 150ms, .pollInterval = 300ms, .rescanInterval = 1h,
                               .stableInterval = 600ms, .disposalRetry = 300ms};

// A service running one folder (more through Start), recording every event;
// tuned as root/prefs.plist says when there is one, else with timings.
struct Watched {
  Watched(const fs::path& root, WatchService::StartRequest request, WatchTimings timings = kShort)
      : service(root / "state" / "watch.log") {
    WatchTuning tuning = WatchSettingsStore(root / "prefs.plist").Read().tuning;
    if (!fs::exists(root / "prefs.plist")) tuning.timings = timings;
    service.setTuning(tuning);
    QObject::connect(&service, &WatchService::watchEvent, &service, [this](const WatchEvent& e) { events.push_back(e); });
    refusal = service.Start(0, std::move(request));
  }
  std::size_t count(Kind kind) const {
    return std::size_t(std::count_if(events.begin(), events.end(), [&](const WatchEvent& e) { return e.kind == kind; }));
  }
  WatchService service;
  std::vector<WatchEvent> events;
  std::optional<WatchRefusal> refusal;
};

// A FUSE mount of program's file system at `at`, undone when it goes; why
// not, when this machine allows none.
struct Mount {
  Mount(const QString& program, const QStringList& args, const fs::path& mountPoint) : at(mountPoint) {
    fs::create_directories(at);
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      why = "no FUSE here";
      return;
    }
    QProcess p;
    p.start(program, args + QStringList{Arg(at)});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
      why = program.toUtf8() + ": " + p.readAllStandardError();
  }
  ~Mount() {
    // FUSE 3 names its tool fusermount3; FUSE 2's is fusermount.
    if (why.isEmpty() && QProcess::execute("fusermount3", {"-uz", Arg(at)}) != 0) QProcess::execute("fusermount", {"-uz", Arg(at)});
  }
  fs::path at;
  QByteArray why;
};

// Closed long ago, as far as the engine can tell: one look takes the file.
void DropOld(const fs::path& file, const std::string& content = OnePagePostScript()) {
  WriteFile(file, content);
  fs::last_write_time(file, fs::file_time_type::clock::now() - 1h);
}

}  // namespace

class WatchServiceTest : public QObject {
  Q_OBJECT

  // Each test's folders: a fresh temporary folder holding a source ("in")
  // and a destination ("out").
  std::unique_ptr<QTemporaryDir> m_dir;
  fs::path m_root, m_in, m_out, m_prefs;
  fs::path Made(const std::string& name) const {
    fs::create_directories(m_root / name);
    return m_root / name;
  }

  // Folders under the test's folder (or anywhere, given whole).
  WatchService::StartRequest Request(SourceDisposal disposal, const fs::path& source = "in", const fs::path& to = "out",
                                     const fs::path& moveTo = "done") {
    WatchService::StartRequest r;
    r.choice = {.source = m_root / source, .destination = m_root / to, .moveTo = {}, .disposal = disposal};
    if (!moveTo.empty()) r.choice.moveTo = m_root / moveTo;
    return r;
  }
  std::string Journal() const { return ReadAll(m_root / "state" / "watch.log"); }

 private Q_SLOTS:
  void init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_root = m_dir->path().toStdString();
    std::tie(m_in, m_out) = std::tuple(Made("in"), Made("out"));
    Made("done");
    // The real converter again, should an earlier test have put a stand-in in its place.
    qunsetenv("QUILLPRESS_PSTOPDF");
    qunsetenv("QUILLPRESS_PSTOPDF_READY");
    qunsetenv("QUILLPRESS_JOBS");
    qputenv("XDG_CONFIG_HOME", (m_root / "config").c_str());
    qputenv("XDG_STATE_HOME", (m_root / "state").c_str());
    m_prefs = WatchSettingsStore::DefaultPath();
    QCOMPARE(m_prefs,
             m_root / "config" / "quillpress" / "Preferences" / "org.quillpress.Quillpress-WatchFolderPref.plist");
  }

  void firstLookNewFilesWhatIsLeftAloneAndTheJournal() {
    for (const char* name : {"early.ps", ".hidden.ps", "sub/deep.ps"}) WriteFile(m_in / name, OnePagePostScript());
    WriteFile(m_in / "notes.txt", "not PostScript");
    WriteFile(m_out / "early.ps", "an older file of the same name");
    {
      Watched w(m_root, Request(SourceDisposal::MoveToDestination));
      QVERIFY(!w.refusal && w.service.state(0) == WatchFolderState::Watching);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_out / "early1.ps"), kDeadline);  // numbered, no space
      WriteFile(m_in / "later.eps", EpsWithBox(0, 0, 40, 40));
      QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Moved) == 2, kDeadline);
      QCOMPARE(PdfPageSizes(m_out / "later.pdf").size(), std::size_t(1));
      QTRY_COMPARE_WITH_TIMEOUT(ListTree(m_in), (std::vector<std::string>{".hidden.ps", "notes.txt", "sub", "sub/deep.ps"}),
                                kDeadline);
      QCOMPARE(w.count(Kind::Converted), std::size_t(2));
    }
    // Every event is a line of the journal, once, in order.
    const std::string journal = Journal(), in = m_in.native(), out = m_out.native();
    std::size_t at = 0;
    for (const std::string& line : {"started: " + in + " -> " + out, "converted: " + in + "/early.ps -> " + out + "/early.pdf",
                                    "moved: " + in + "/early.ps -> " + out + "/early1.ps",
                                    "converted: " + in + "/later.eps -> " + out + "/later.pdf", "stopped: " + in}) {
      QVERIFY2(Occurrences(journal, line) == 1 && journal.find(line) >= at, line.c_str());
      at = journal.find(line);
    }
  }

  // Each row: source, destination, move-to folder (empty: choice 1, else
  // choice 3, "-" naming none), the refusal (empty: it runs) and what its
  // start says when it runs. Paths are under the test's folder; "a" runs,
  // from "a" into "b", already.
  void theRulesRefuseInTheirOrder_data() {
    QTest::addColumn<QStringList>("row");
    QTest::newRow("same folder, first of all") << QStringList{"in", "in", "-", "SourceWatchAndDestSameMsg", ""};
    QTest::newRow("same through a link") << QStringList{"in", "link", "", "SourceWatchAndDestSameMsg", ""};
    QTest::newRow("no move-to folder") << QStringList{"in", "out", "-", "MoveFoderNotSelectedMsg", ""};
    QTest::newRow("moved into the source") << QStringList{"in", "out", "in", "SourceWatchAndMoveSameMsg", ""};
    QTest::newRow("moved inside the source") << QStringList{"in", "out", "in/done", "", "are moved into a folder inside the"};
    QTest::newRow("PDFs inside the source") << QStringList{"in", "in/done", "", "", "PDF files go into a folder inside the"};
    QTest::newRow("inside a running one's source") << QStringList{"a/sub", "out", "", "", "which another watch folder watches"};
    QTest::newRow("no source") << QStringList{"missing", "out", "", "WatchFolderCannotWatchMsg", ""};
    QTest::newRow("no destination") << QStringList{"in", "missing", "", "WatchFolderNoDestinationMsg", ""};
    QTest::newRow("a running folder's source") << QStringList{"a", "out", "", "WatchFoldersShareSourceMsg", ""};
    QTest::newRow("into its destination") << QStringList{"b", "out", "", "WatchFoldersLoopMsg", ""};
    QTest::newRow("into its source") << QStringList{"in", "a", "", "WatchFoldersLoopMsg", ""};
    QTest::newRow("moved into its source") << QStringList{"in", "out", "a", "WatchFoldersLoopMsg", ""};
  }

  void theRulesRefuseInTheirOrder() {
    QFETCH(QStringList, row);
    const QString source = row[0], destination = row[1], moveTo = row[2], refusal = row[3], remark = row[4];
    for (const char* f : {"a/sub", "b", "in/done"}) fs::create_directories(m_root / f);
    fs::create_directory_symlink(m_in, m_root / "link");
    Watched w(m_root, Request(SourceDisposal::Delete, "a", "b"));
    QVERIFY(!w.refusal);
    const auto refused = w.service.Start(1, Request(moveTo.isEmpty() ? SourceDisposal::Delete : SourceDisposal::MoveToFolder,
                                                    source.toStdString(), destination.toStdString(),
                                                    moveTo == "-" ? "" : moveTo.toStdString()));
    QCOMPARE(QString::fromUtf8(refused ? refused->key : ""), refusal);
    QCOMPARE(w.service.state(1), refusal.isEmpty() ? WatchFolderState::Watching : WatchFolderState::Off);
    QCOMPARE(w.count(Kind::Started), refusal.isEmpty() ? 2u : 1u);
    const std::string said = w.events.back().kind == Kind::Started && refusal.isEmpty() ? w.events.back().reason : "";
    QVERIFY2(remark.isEmpty() ? said.empty() : said.find(remark.toStdString()) != std::string::npos, said.c_str());
    // Starting a number again replaces it rather than clashing with it.
    QVERIFY(!w.service.Start(0, Request(SourceDisposal::Delete, "a", "b")));
  }

  // A file the converter fails is reported once and tried again only when
  // changed; a file rewritten after its conversion, before it is put away,
  // is converted again as it ended.
  void aFailingFileOnceAndARewriteNotLost() {
    const std::string runs = (m_root / "runs").native(), marker = (m_root / "rewritten").native();
    qputenv("QUILLPRESS_PSTOPDF",
            WriteStandInConverter(m_root, "picky",
                                  "echo \"$1\" >> '" + runs + "'\nif grep -q BAD \"$1\"; then echo 'this file is bad' >&2; exit 1; fi\n'" +
                                      ConverterProgramPath().native() + "' \"$@\"; status=$?\ncase \"$1\" in *grows.ps) [ -e '" +
                                      marker + "' ] || { touch '" + marker +
                                      "'; printf '%%!PS\\n%% page two\\nshowpage\\n' >> \"$1\"; };; esac\nexit $status")
                .c_str());
    WriteFile(m_in / "bad.ps", OnePagePostScript() + "% BAD\n");
    WriteFile(m_in / "grows.ps", OnePagePostScript());
    Watched w(m_root, Request(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Failed) == 1 && w.count(Kind::Deleted) == 1, kDeadline);
    QVERIFY(fs::exists(m_in / "bad.ps") && w.count(Kind::Changed) == 1 && w.count(Kind::Converted) == 1);
    QCOMPARE(ListTree(m_out), std::vector<std::string>{"grows.pdf"});
    QCOMPARE(PdfPageSizes(m_out / "grows.pdf").size(), std::size_t(2));
    // Thirty seconds of other traffic, one file after another.
    QElapsedTimer traffic;
    traffic.start();
    for (std::size_t sent = 2; traffic.elapsed() < 30000; ++sent) {
      WriteFile(m_in / ("good" + std::to_string(sent) + ".ps"), OnePagePostScript());
      QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Deleted), sent, kDeadline);
    }
    QVERIFY(w.count(Kind::Failed) == 1 && Occurrences(ReadAll(runs), "bad.ps") <= 2);
    QCOMPARE(Occurrences(Journal(), "failed [converter-failed]: " + (m_in / "bad.ps").native() + " ("), 1u);
    QVERIFY(Journal().find("this file is bad") != std::string::npos);
    // Changed, it is tried at once.
    WriteFile(m_in / "bad.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_out / "bad.pdf") && !fs::exists(m_in / "bad.ps"), kDeadline);
  }

  // A slow writer: on a folder with events, one that holds the file open
  // throughout; on a polled one, one that closes it between chunks and
  // pauses longer: only the whole document may be converted.
  void aFileStillBeingWrittenIsNotTaken_data() {
    QTest::addColumn<bool>("polled");
    QTest::newRow("held open") << false;
    QTest::newRow("closed between pauses, polled") << true;
  }

  void aFileStillBeingWrittenIsNotTaken() {
    QFETCH(bool, polled);
    if (polled) {
      WriteFile(m_root / "prefs.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>AlwaysPoll</key><true/>"
                                          "<key>StableInterval</key><integer>5</integer><key>PollInterval</key><integer>1</integer></dict></plist>");
    }
    Watched w(m_root, Request(SourceDisposal::Delete));
    QCOMPARE(w.service.tuning().alwaysPoll, polled);
    WriteSlowly(m_in / "slow.ps", PostScriptWithPages(std::vector<std::pair<int, int>>(12, {300, 300})), polled ? 3 : 6,
                std::chrono::milliseconds(polled ? 3000 : 400), polled);
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 1, kDeadline);
    QCOMPARE(w.count(Kind::Failed), std::size_t(0));  // no part was tried either
    QCOMPARE(ListTree(m_out), std::vector<std::string>{"slow.pdf"});
    QCOMPARE(PdfPageSizes(m_out / "slow.pdf").size(), std::size_t(12));
  }

  // Missing at the start: waited for when asked; deleted and made again:
  // watched again; renamed: followed, and its bookmark stored anew.
  void aSourceFolderIsWaitedForAndFollowed() {
    auto request = Request(SourceDisposal::Delete);
    request.waitForSource = true;
    request.sourceBookmark = CreateFolderBookmark(m_in);
    std::vector<char> stored;
    request.storeBookmark = [&](const std::vector<char>& b) { stored = b; };
    fs::remove_all(m_in);
    Watched w(m_root, request);
    QVERIFY(!w.refusal && w.service.state(0) == WatchFolderState::Waiting);
    WriteFile(m_in / "late.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 1, kDeadline);

    fs::remove_all(m_in);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Waiting, kDeadline);
    fs::create_directories(m_in);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Watching, kDeadline);
    WriteFile(m_in / "after.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 2, kDeadline);
    QVERIFY(Journal().find("folder gone: " + m_in.native() + " (waiting for the folder)") != std::string::npos &&
            Journal().find("folder back: " + m_in.native()) != std::string::npos);

    const std::size_t back = w.count(Kind::FolderBack);
    fs::rename(m_in, m_root / "renamed");
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::FolderBack) == back + 1, kDeadline);
    QVERIFY(w.service.source(0) == m_root / "renamed" && BookmarkedPath(stored) == m_root / "renamed");
    WriteFile(m_root / "renamed" / "there.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_out / "there.pdf"), kDeadline);
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
    const fs::path file = m_root / "p.plist";
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
    const auto data = *CreateFolderBookmark(Made("a"));
    fs::rename(m_root / "a", Made("sibling") / "moved");
    QCOMPARE(ResolveFolderBookmark(data), std::optional(m_root / "sibling" / "moved"));
    fs::remove_all(m_root / "sibling");
    // A folder that has its inode number now is another folder.
    std::vector<char> other = *CreateFolderBookmark(Made("c"));
    other[32] = static_cast<char>(other[32] ^ 1);  // born at another time
    fs::rename(m_root / "c", m_root / "d");
    std::vector<char> lying = *CreateFolderBookmark(m_root);
    lying[36] = '\x7f';  // a path length beyond the data
    for (const auto& refused : {data, other, {}, std::vector<char>(100, 'Q'), lying}) QVERIFY(!ResolveFolderBookmark(refused));
    QVERIFY(!CreateFolderBookmark(m_root / "missing"));
  }

  // A file as the single-folder version wrote it is the first folder and
  // stays as it was while others are added beside it; an entry spoiled by
  // hand costs only that folder, the others run, and it is kept as it is.
  void furtherFoldersGoBesideTheFirst() {
    WriteFile(m_prefs, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>SourceURL</key><data>" +
                           Base64Bookmark(m_in) + "</data><key>DestinationURL</key><data>" + Base64Bookmark(m_out) +
                           "</data><key>MoveToDestinationOption</key><integer>1</integer><key>IsWatching</key><true/></dict></plist>\n");
    const std::string before = ReadAll(m_prefs);
    const WatchSettingsStore store(m_prefs);
    auto folders = store.Read().folders;
    QVERIFY(folders.size() == 1 && folders[0]->source == m_in && folders[0]->displayName() == "in");
    QVERIFY(folders[0]->stored.disposal == SourceDisposal::Delete && folders[0]->stored.on);
    QCOMPARE(folders[0]->stored.preset, PdfPreset::Faithful);
    WatchFolderEntry second = Folder(Made("b-in"), Made("b-out")), third = Folder(Made("c-in"), Made("c-out"));
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
    WatchService service(m_root / "watch.log");
    QVERIFY(service.StartStoredFolders(store).empty());
    QVERIFY(service.state(0) == WatchFolderState::Watching && service.state(2) == WatchFolderState::Watching);
    QVERIFY(store.SetOn(2, false) && !store.Read().folders[2]->stored.on && store.Remove(2));
    QCOMPARE(store.Read().folders.size(), std::size_t(2));
    QVERIFY(ReadAll(store.othersFile()).find("<string>x</string>") != std::string::npos && ReadAll(m_prefs) == before);
  }

  void fiftyFoldersWithoutAThreadOrDescriptorEach() {
    auto count = [](const char* dir) { return std::distance(fs::directory_iterator(fs::path("/proc/self") / dir), fs::directory_iterator()); };
    WatchService service(m_root / "watch.log");
    std::ptrdiff_t threads = 0, descriptors = 0;
    for (int i = 0; i < 50; ++i) {
      const std::string n = std::to_string(i);
      QVERIFY(!service.Start(i, Request(SourceDisposal::Delete, Made("in" + n), Made("out" + n))));
      if (i == 0) threads = count("task"), descriptors = count("fd");  // the engine and its worker are there now
    }
    // Not one each: fifty folders would add fifty. A few may come and go
    // that are no folder's (the toolkit's, a sanitizer's), and the worker may
    // have held a folder open for its first look at the start.
    constexpr std::ptrdiff_t kOthers = 4;
    const auto counts = [&] {
      return std::to_string(count("task")) + " threads (" + std::to_string(threads) + " at first), " +
             std::to_string(count("fd")) + " descriptors (" + std::to_string(descriptors) + ")";
    };
    QTRY_VERIFY2_WITH_TIMEOUT(count("task") <= threads + kOthers && count("fd") <= descriptors + kOthers,
                              counts().c_str(), kDeadline);
    for (int i = 0; i < 50; i += 7) WriteFile(m_root / ("in" + std::to_string(i)) / "one.ps", OnePagePostScript());
    for (int i = 0; i < 50; i += 7) QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_root / ("out" + std::to_string(i)) / "one.pdf"), kDeadline);
    // Conversions run on threads of their own while they last.
    QTRY_VERIFY2_WITH_TIMEOUT(count("task") <= threads + kOthers, counts().c_str(), kDeadline);
  }

  void theFoldersCommand() {
    // One folder named to fool a terminal: listed escaped.
    const fs::path a = Made("cli-a"), b = Made("cli-b"), c = Made("cli-c\x1b[2K\n1  fake");
    const fs::path d = Made("cli-d"), e = Made("cli-e"), f = Made("cli-f"), g = Made("cli-g");
    const QString A = Arg(a), B = Arg(b), C = Arg(c), D = Arg(d);
    const std::vector<std::tuple<QStringList, int, std::string>> steps = {
        {{"list"}, 0, "no watch folders"},
        {{"add", "--source", A, "--destination", B, "--delete", "--preset", "print", "--name", "first"}, 0, "added: first"},
        {{"add", "--source", C, "--destination", D, "--name", "archive", "--compress"}, 0, "added: archive"},
        {{"add", "--source", Arg(e), "--destination", Arg(f), "--move-to", Arg(g), "-p", "smallest", "-c", "--name", "web"}, 0, "added: web"},
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
      if (args[0].endsWith("able")) {
        QCOMPARE(WatchSettingsStore().Read().folders.at(1)->stored.on, args[0] == "enable");
      }
    }

    // watch runs every folder that is on, each with its own choices and
    // preset, several files each.
    for (const fs::path& in : {a, c, e}) {
      for (const char* name : {"doc0.ps", "doc1.ps"}) WriteFile(in / name, PostScriptWithPages(std::vector<std::pair<int, int>>(20, {612, 792})));
    }
    // A folder whose move-to folder went is refused, once, however often
    // the settings change while watch runs; nothing else is taken for it.
    const fs::path gone = Made("cli-gone");
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "add", "--source", Arg(Made("cli-h")), "--destination",
                                           Arg(Made("cli-i")), "--move-to", Arg(gone), "--name", "lost"}).exitCode, 0);
    fs::remove(gone);
    QProcess watch;
    watch.setProcessChannelMode(QProcess::MergedChannels);
    watch.start(Arg(BinDir() / "quillpress-cli"), {"watch"});
    const std::vector<std::string> pdfs = {"doc0.pdf", "doc1.pdf"}, both = {"doc0.pdf", "doc0.ps", "doc1.pdf", "doc1.ps"};
    QTRY_VERIFY_WITH_TIMEOUT(ListTree(b) == pdfs && ListTree(d) == both && ListTree(f) == pdfs && ListTree(g).size() == 2 &&
                                 ListTree(a).empty() && ListTree(c).empty() && ListTree(e).empty(), kDeadline * 3);
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "disable", C}).exitCode, 0);
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += watch.readAll()).contains("stopped: "), kDeadline);
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000) && watch.exitCode() == 0);
    said += watch.readAll();
    QVERIFY(said.count("lost: ") == 1 && !said.contains("started: " + Arg(m_root / "cli-h").toUtf8()));
    QVERIFY(fs::file_size(f / "doc0.pdf") < fs::file_size(b / "doc0.pdf"));
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "remove", A}).exitCode, 0);
    QCOMPARE(RunProgram("quillpress-cli", {"folders", "remove", A}).exitCode, 1);
    const QByteArray listed = RunProgram("quillpress-cli", {"folders", "list"}).output;
    QVERIFY(!listed.contains("first") && listed.contains("archive"));
  }

  // Two watchers on one folder, as on two machines: side by side on a
  // folder of this machine, one playing another machine, or each through
  // its own sshfs mount (a network file system with its own caches and
  // rename rules, its SFTP server run by the mount itself). Each file is
  // converted once; a live watcher's claim (this process's) is not theirs
  // to take but is said; the files one had in hand when it was killed are
  // taken back by the other and converted.
  void twoWatchersTakeEachFileOnce_data() {
    QTest::addColumn<bool>("sshfs");
    QTest::addColumn<int>("files");
    QTest::newRow("one folder") << false << 300;
    QTest::newRow("two sshfs mounts") << true << 200;
  }
  void twoWatchersTakeEachFileOnce() {
    QFETCH(bool, sshfs);
    QFETCH(int, files);
    const fs::path server = "/usr/lib/openssh/sftp-server";
    if (sshfs && (!fs::exists(server) || !fs::exists("/usr/bin/sshfs"))) QSKIP("no SFTP server or sshfs here");
    const QStringList args = {"-o", "ssh_command=" + Arg(WriteStandInConverter(m_root, "ssh", "exec " + server.native())),
                              "localhost:" + Arg(m_in)};
    std::optional<Mount> one, two;
    if (sshfs) {
      one.emplace("sshfs", args, m_root / "one"), two.emplace("sshfs", args, m_root / "two");
      if (!(one->why + two->why).isEmpty()) QSKIP((one->why + two->why).constData());
      QVERIFY(IsSharedFileSystem(one->at));
    }
    const fs::path at[] = {one ? one->at : m_in, two ? two->at : m_in}, outs[] = {Made("out-one"), Made("out-two")};
    const fs::path claims = m_in / FolderClaims::kClaimsFolder;
    const fs::path inHand = claims / FolderClaims::OwnOwner() / "inhand.ps";
    WriteFile(inHand, OnePagePostScript());
    QProcess here, there;
    there.setStandardOutputFile(QProcess::nullDevice());
    StartWatch(here, at[0], outs[0], {"--delete", "--preset", "smallest"});
    StartWatch(there, at[1], outs[1], {"--delete"},
               {"QUILLPRESS_HOST_NAME=another-machine", "XDG_STATE_HOME=" + Arg(m_root / "there-state")});
    QVERIFY(here.waitForStarted() && there.waitForStarted());
    std::multiset<std::string> expected, made;
    auto write = [&](const std::string& prefix, int count) {
      for (int i = 1000; i < 1000 + count; ++i) WriteFile(m_in / (prefix + std::to_string(i) + ".ps"), OnePagePostScript());
      for (int i = 1000; i < 1000 + count; ++i) expected.insert(prefix + std::to_string(i) + ".pdf");
    };
    auto pdfs = [&] {
      made.clear();
      for (const fs::path& out : outs) {
        for (const std::string& name : ListTree(out)) made.insert(name);
      }
      return std::count_if(made.begin(), made.end(), [](const std::string& name) { return name.ends_with(".pdf"); });
    };
    auto sources = [&](const fs::path& folder) {  // claims folders may come and go
      const auto names = ListTree(folder);
      return std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".ps"); });
    };
    write("f", files);
    QTRY_VERIFY_WITH_TIMEOUT(pdfs() >= files && sources(m_in) == 1, 5 * kDeadline);
    QVERIFY(made == expected && (!sshfs || (!fs::is_empty(outs[0]) && !fs::is_empty(outs[1]))));

    // The other stopped, the first killed with files in hand; the other,
    // again, now of this machine, takes them back.
    there.terminate();
    QVERIFY(there.waitForFinished(kDeadline));
    write("g", 20);
    QTRY_VERIFY_WITH_TIMEOUT(sources(claims) > 1, kDeadline);
    kill(static_cast<pid_t>(here.processId()), SIGKILL);
    QVERIFY(here.waitForFinished(kDeadline) && sources(claims) > 1);
    StartWatch(there, at[1], outs[1]);
    QTRY_VERIFY_WITH_TIMEOUT(sources(m_in) == 1, 2 * kDeadline);
    // Every file has its PDF; only a file the killed one had converted but
    // not yet removed may have two.
    pdfs();
    for (const std::string& name : std::set<std::string>(expected.begin(), expected.end())) {
      QVERIFY2(made.count(name) >= 1 && (name[0] == 'g' || made.count(name) == 1), name.c_str());
    }
    QVERIFY(made.size() <= expected.size() + 4);
    QVERIFY(fs::exists(inHand) && here.readAllStandardOutput().contains("other watcher: " + Arg(at[0]).toUtf8()));
    there.terminate();
    QVERIFY(there.waitForFinished(kDeadline));
  }

  void sigtermStopsTheConverterAndLeavesTheFile() {
    WriteFile(m_in / "long.ps", OnePagePostScript());
    QProcess watch;
    StartWatch(watch, m_in, m_out, {"--delete"},
               {"QUILLPRESS_PSTOPDF=" + Arg(WriteStandInConverter(m_root, "endless", "exec sleep 600"))});
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(m_in / "long.ps"), kDeadline);  // claimed and in the converter
    // The converter would sleep ten minutes: ending within the deadline means
    // it was stopped, not waited for.
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000) && watch.exitStatus() == QProcess::NormalExit && watch.exitCode() == 0);
    QVERIFY(ListTree(m_in) == std::vector<std::string>{"long.ps"} && fs::is_empty(m_out));
    // A folder the rules refuse: said, and exit status 1.
    StartWatch(watch, m_in, m_in, {});
    QVERIFY(watch.waitForFinished(30000) && watch.exitCode() == 1);
    QVERIFY(watch.readAllStandardError().contains("the same folder"));
  }

  // On a FUSE folder (bindfs, which refuses RENAME_NOREPLACE, as NFS and
  // others do): the claims of watchers that ended are taken back, one of
  // this machine that was killed, one of another machine long silent; a
  // writer on the folder beneath, pausing longer than the file must hold
  // still, never has a part of its file converted. The sources are then
  // copied to another file system, beside a file of their name, which they
  // do not replace; one too big for the room there waits with its PDF
  // written, is put away once there is room, and is never converted again,
  // even when touched meanwhile.
  void aFuseFolderIntoAFullOne() {
    const std::string own = FolderClaims::OwnOwner();
    const fs::path claims = m_in / FolderClaims::kClaimsFolder, small = Made("small");
    WriteFile(claims / (own.substr(0, own.find('~')) + "~1~0") / "killed.ps", OnePagePostScript());
    WriteFile(claims / "elsewhere~4242~99" / "silent.ps", OnePagePostScript());
    fs::last_write_time(claims / "elsewhere~4242~99", fs::file_time_type::clock::now() - 1h);
    // 640 KB of comments after one page: its PDF fits, the source not.
    std::string big = OnePagePostScript();
    for (int i = 0; i < 10000; ++i) big += "% " + std::string(61, 'p') + "\n";
    WriteFile(m_in / "big.ps", big);
    Mount mount("bindfs", {Arg(m_in)}, m_root / "mount");
    if (!mount.why.isEmpty()) QSKIP(mount.why.constData());
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", Arg(small)}) != 0) {
      QSKIP("no tmpfs of a chosen size can be mounted here");
    }
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", Arg(small)}); });
    WriteFile(small / "paused.ps", "already here");
    Watched w(m_root, Request(SourceDisposal::MoveToDestination, mount.at, small));
    const std::string doc = PostScriptWithPages(std::vector<std::pair<int, int>>(4, {300, 300}));
    // The writer's pause: three times what the file must hold still.
    WriteSlowly(m_in / "paused.ps", doc, 4, 1800ms, false);
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Moved) == 3 && w.count(Kind::Failed) == 1, kDeadline);
    QVERIFY(w.count(Kind::Converted) == 4 && w.count(Kind::TakenBack) == 2);
    QCOMPARE(PdfPageSizes(small / "paused.pdf").size(), std::size_t(4));
    QVERIFY(ReadAll(small / "paused1.ps") == doc && ReadAll(small / "paused.ps") == "already here");
    QVERIFY(fs::exists(m_in / "big.ps") && fs::exists(small / "big.pdf"));
    // Touched while it waits: the same bytes, still only to be put away.
    fs::last_write_time(m_in / "big.ps", fs::file_time_type::clock::now());
    QCOMPARE(QProcess::execute("mount", {"-o", "remount,size=4m", Arg(small)}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Moved), std::size_t(4), kDeadline);
    QCOMPARE(w.count(Kind::Converted), std::size_t(4));
    QCOMPARE(ListTree(small), (std::vector<std::string>{"big.pdf", "big.ps", "killed.pdf", "killed.ps", "paused.pdf", "paused.ps",
                                                        "paused1.ps", "silent.pdf", "silent.ps"}));
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(m_in), std::vector<std::string>{}, kDeadline);
  }

  // What arrives without a writer's close: a hard link (whole at once), a
  // symbolic link (never followed, said once, even when looked at again),
  // a file found dated a day ahead, a name as long as a name can be, and
  // files in the claim of a watcher of this machine that was killed, one
  // there at the start, one found by a later look. The folder is looked at
  // often, but a file not closed by its writer would have to hold still
  // for an hour.
  void entriesThatArriveOddly() {
    const std::string own = FolderClaims::OwnOwner();
    const fs::path killed = m_in / FolderClaims::kClaimsFolder / (own.substr(0, own.find('~')) + "~1~0");
    WriteFile(killed / "orphan.ps", OnePagePostScript());
    const fs::path outside = m_root / "outside.ps";
    for (const fs::path& file : {outside, m_in / "ahead.ps", m_in / (std::string(252, 'n') + ".ps")}) {
      WriteFile(file, OnePagePostScript());
    }
    fs::last_write_time(m_in / "ahead.ps", fs::file_time_type::clock::now() + 24h);
    WatchTimings often = kShort;
    std::tie(often.rescanInterval, often.stableInterval) = std::tuple(300ms, 1h);
    Watched w(m_root, Request(SourceDisposal::Delete), often);
    // The links come after the first look, so that only their events tell.
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Deleted), std::size_t(3), kDeadline);
    fs::create_hard_link(outside, m_in / "linked.ps");
    fs::create_symlink(outside, m_in / "pointer.ps");
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 4 && w.count(Kind::Skipped) >= 1, kDeadline);
    WriteFile(killed / "later.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 5, kDeadline);
    QVERIFY(w.count(Kind::Skipped) == 1 && w.count(Kind::TakenBack) == 2 && w.count(Kind::Failed) == 0);
    QVERIFY(Journal().find("skipped: " + (m_in / "pointer.ps").native()) != std::string::npos);
    QCOMPARE(ListTree(m_out), (std::vector<std::string>{"ahead.pdf", "later.pdf", "linked.pdf",
                                                        std::string(251, 'n') + ".pdf", "orphan.pdf"}));
    for (const auto& pdf : ListTree(m_out)) QCOMPARE(PdfPageSizes(m_out / pdf).size(), std::size_t(1));
    QVERIFY(fs::is_symlink(m_in / "pointer.ps") && fs::exists(outside));
  }

  // The journal keeps several older files: a flood keeps its last lines, in
  // order, none torn.
  void theJournalKeepsSeveralOlderFiles() {
    const fs::path file = m_root / "journal" / "watch.log";
    WatchJournal journal(file, 4096);
    for (int i = 0; i < 1000; ++i) journal.Append({Kind::Converted, std::chrono::system_clock::now(), 0, m_in / ("file" + std::to_string(i) + ".ps"), {}, {}});
    std::string all;
    for (int n = WatchJournal::kKeptFiles + 1; n >= 0; --n) {
      const fs::path older = n > 0 ? fs::path(file.native() + "." + std::to_string(n)) : file;
      QVERIFY2(fs::exists(older) == (n <= WatchJournal::kKeptFiles) && (!fs::exists(older) || fs::file_size(older) <= 4096), older.c_str());
      all += ReadAll(older);
    }
    QVERIFY(all.rfind("file999.ps") != std::string::npos && all.find("file900.ps") < all.rfind("file999.ps"));
    QCOMPARE(Occurrences(all, "\n"), Occurrences(all, "converted: "));
  }

  // Several conversions at once (the first file taken held until three
  // others have ended): a folder's sources are put away in the order they
  // were taken, and its PDFs named as one conversion after another names
  // them.
  void sourcesGoInTheOrderTakenAndPdfsAreNamedAsOneAfterAnother() {
    // Stems that repeat, so that names depend on the order; one look takes
    // them all, in the order the folder lists them.
    for (const std::string name : {"a.ps", "a.eps", "b.ps", "b.eps", "c.ps", "c.eps", "d.ps", "e.ps"}) {
      DropOld(m_in / name, name.ends_with(".eps") ? EpsWithBox(0, 0, 30, 30) : OnePagePostScript());
    }
    std::vector<fs::path> listed, converted, putAway;
    for (const auto& entry : fs::directory_iterator(m_in)) listed.push_back(entry.path());
    const fs::path log = m_root / "converter.log";
    qputenv("QUILLPRESS_PSTOPDF", LoggingConverter(m_root, "held", log, "/" + listed.front().filename().string(), 3).c_str());
    qputenv("QUILLPRESS_PSTOPDF_READY", "0");
    qputenv("QUILLPRESS_JOBS", "4");
    Watched w(m_root, Request(SourceDisposal::MoveToFolder));
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Moved), std::size_t(8), kDeadline);
    std::set<std::string> taken;
    for (const WatchEvent& e : w.events) {
      if (e.kind == Kind::Moved) putAway.push_back(e.file);
      if (e.kind != Kind::Converted) continue;
      converted.push_back(e.file);
      // The name one conversion after another gives, in this order.
      std::string expected = e.file.stem().string() + ".pdf";
      for (int n = 1; taken.count(expected); ++n) expected = e.file.stem().string() + " " + std::to_string(n) + ".pdf";
      taken.insert(expected);
      QCOMPARE(e.result.filename().string(), expected);
    }
    // It really ran out of order: several at once, the first ended late.
    QVERIFY(converted == listed && putAway == listed && MostAtOnce(log) > 1);
    QVERIFY(ListTree(m_in).empty() && ListTree(m_root / "done").size() == 8);
  }

  // A file arriving in a quiet folder goes before another folder's burst:
  // behind the file in hand, not behind the burst.
  void aFileInAQuietFolderIsNextInLine() {
    const fs::path busy = Made("busy"), quiet = Made("quiet"), started = m_root / "started", go = m_root / "go";
    for (int i = 0; i < 6; ++i) DropOld(busy / ("burst" + std::to_string(i) + ".ps"));
    // The first conversion waits for the word to go on.
    qputenv("QUILLPRESS_PSTOPDF", WriteStandInConverter(m_root, "held", "if [ ! -e '" + started.string() + "' ]; then touch '" +
                                                                             started.string() + "'\n  until [ -e '" + go.string() +
                                                                             "' ]; do sleep 0.02; done; fi\nexec '" +
                                                                             (BinDir() / "pstopdf").string() + "' \"$@\"")
                                      .c_str());
    qputenv("QUILLPRESS_JOBS", "1");
    Watched w(m_root, Request(SourceDisposal::Delete, busy));
    QVERIFY(!w.service.Start(1, Request(SourceDisposal::Delete, quiet)));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(started), kDeadline);
    DropOld(quiet / "lone.ps");
    // Its events reach the engine before the first conversion goes on.
    QCoreApplication::processEvents();
    WriteFile(go, "");
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Converted), std::size_t(7), kDeadline);
    std::vector<std::string> converted;
    for (const WatchEvent& e : w.events) {
      if (e.kind == Kind::Converted) converted.push_back(e.file.filename().string());
    }
    QCOMPARE(converted[1], std::string("lone.ps"));
  }
};

QTEST_GUILESS_MAIN(WatchServiceTest)
#include "tst_watch_service.moc"
