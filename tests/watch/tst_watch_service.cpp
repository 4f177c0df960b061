// The watch service on real folders, real inotify and the real converter:
// what it takes and when, what it leaves, what it says.

#include "conversion/PostScriptConverter.h"
#include "platform/Bookmark.h"
#include "watch/WatchService.h"
#include "PostScriptSamples.h"
#include "WatchTestFolders.h"

#include <QElapsedTimer>

namespace fs = std::filesystem;
using namespace samples;
using Kind = WatchEvent::Kind;

namespace {

constexpr int kDeadline = 120000;

// A service running one folder, recording every event.
struct Watched {
  Watched(const fs::path& root, WatchService::StartRequest request) : service(root / "state" / "watch.log") {
    service.setTuning(WatchSettingsStore(root / "prefs.plist").Read().tuning);
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

}  // namespace

class WatchServiceTest : public QObject {
  Q_OBJECT

  WatchTestFolders m_f;

  WatchService::StartRequest Request(SourceDisposal disposal, const std::string& source = "in", const std::string& to = "out",
                                     const std::string& moveTo = "done") {
    WatchService::StartRequest r;
    r.choice = {.source = m_f.root / source, .destination = m_f.root / to, .moveTo = {}, .disposal = disposal};
    if (!moveTo.empty()) r.choice.moveTo = m_f.root / moveTo;
    return r;
  }
  std::string Journal() const { return ReadAll(m_f.root / "state" / "watch.log"); }

 private Q_SLOTS:
  void init() {
    m_f = WatchTestFolders();
    m_f.Make("done");
  }

  void firstLookNewFilesWhatIsLeftAloneAndTheJournal() {
    for (const char* name : {"early.ps", ".hidden.ps", "sub/deep.ps"}) WriteFile(m_f.source / name, OnePagePostScript());
    WriteFile(m_f.source / "notes.txt", "not PostScript");
    WriteFile(m_f.destination / "early.ps", "an older file of the same name");
    {
      Watched w(m_f.root, Request(SourceDisposal::MoveToDestination));
      QVERIFY(!w.refusal && w.service.state(0) == WatchFolderState::Watching);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.destination / "early1.ps"), kDeadline);  // numbered, no space
      WriteFile(m_f.source / "later.eps", EpsWithBox(0, 0, 40, 40));
      QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Moved) == 2, kDeadline);
      QCOMPARE(PdfPageSizes(m_f.destination / "later.pdf").size(), std::size_t(1));
      QTRY_COMPARE_WITH_TIMEOUT(ListTree(m_f.source), (std::vector<std::string>{".hidden.ps", "notes.txt", "sub", "sub/deep.ps"}),
                                kDeadline);
      QCOMPARE(w.count(Kind::Converted), std::size_t(2));
    }
    // Every event is a line of the journal, once, in order.
    const std::string journal = Journal(), in = m_f.source.native(), out = m_f.destination.native();
    std::size_t at = 0;
    for (const std::string& line : {"started: " + in + " -> " + out, "converted: " + in + "/early.ps -> " + out + "/early.pdf",
                                    "moved: " + in + "/early.ps -> " + out + "/early1.ps",
                                    "converted: " + in + "/later.eps -> " + out + "/later.pdf", "stopped: " + in}) {
      QVERIFY2(Occurrences(journal, line) == 1 && journal.find(line) >= at, line.c_str());
      at = journal.find(line);
    }
  }

  void theRulesRefuseInTheirOrder_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("moveTo");   // empty: choice 1, else choice 3 ("-": none)
    QTest::addColumn<QString>("refusal");  // empty: it runs
    QTest::addColumn<QString>("remark");   // what its start says, when it runs
    // Paths under the test's folder; "a" runs, from "a" into "b", already.
    QTest::newRow("same folder, first of all") << "in" << "in" << "-" << "SourceWatchAndDestSameMsg" << "";
    QTest::newRow("same through a link") << "in" << "link" << "" << "SourceWatchAndDestSameMsg" << "";
    QTest::newRow("no move-to folder") << "in" << "out" << "-" << "MoveFoderNotSelectedMsg" << "";
    QTest::newRow("moved into the source") << "in" << "out" << "in" << "SourceWatchAndMoveSameMsg" << "";
    QTest::newRow("moved inside the source") << "in" << "out" << "in/done" << "" << "are moved into a folder inside the";
    QTest::newRow("PDFs inside the source") << "in" << "in/done" << "" << "" << "PDF files go into a folder inside the";
    QTest::newRow("inside a running one's source") << "a/sub" << "out" << "" << "" << "which another watch folder watches";
    QTest::newRow("no source") << "missing" << "out" << "" << "WatchFolderCannotWatchMsg" << "";
    QTest::newRow("no destination") << "in" << "missing" << "" << "WatchFolderNoDestinationMsg" << "";
    QTest::newRow("a running folder's source") << "a" << "out" << "" << "WatchFoldersShareSourceMsg" << "";
    QTest::newRow("into its destination") << "b" << "out" << "" << "WatchFoldersLoopMsg" << "";
    QTest::newRow("into its source") << "in" << "a" << "" << "WatchFoldersLoopMsg" << "";
    QTest::newRow("moved into its source") << "in" << "out" << "a" << "WatchFoldersLoopMsg" << "";
  }

  void theRulesRefuseInTheirOrder() {
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, moveTo);
    QFETCH(QString, refusal);
    QFETCH(QString, remark);
    for (const char* f : {"a/sub", "b", "in/done"}) fs::create_directories(m_f.root / f);
    fs::create_directory_symlink(m_f.source, m_f.root / "link");
    Watched w(m_f.root, Request(SourceDisposal::Delete, "a", "b"));
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
    const std::string runs = (m_f.root / "runs").native(), marker = (m_f.root / "rewritten").native();
    qputenv("QUILLPRESS_PSTOPDF",
            WriteStandInConverter(m_f.root, "picky",
                                  "echo \"$1\" >> '" + runs + "'\nif grep -q BAD \"$1\"; then echo 'this file is bad' >&2; exit 1; fi\n'" +
                                      ConverterProgramPath().native() + "' \"$@\"; status=$?\ncase \"$1\" in *grows.ps) [ -e '" +
                                      marker + "' ] || { touch '" + marker +
                                      "'; printf '%%!PS\\n%% page two\\nshowpage\\n' >> \"$1\"; };; esac\nexit $status")
                .c_str());
    WriteFile(m_f.source / "bad.ps", OnePagePostScript() + "% BAD\n");
    WriteFile(m_f.source / "grows.ps", OnePagePostScript());
    Watched w(m_f.root, Request(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Failed) == 1 && w.count(Kind::Deleted) == 1, kDeadline);
    QVERIFY(fs::exists(m_f.source / "bad.ps") && w.count(Kind::Changed) == 1 && w.count(Kind::Converted) == 1);
    QCOMPARE(ListTree(m_f.destination), std::vector<std::string>{"grows.pdf"});
    QCOMPARE(PdfPageSizes(m_f.destination / "grows.pdf").size(), std::size_t(2));
    // Thirty seconds of other traffic, one file after another.
    QElapsedTimer traffic;
    traffic.start();
    for (std::size_t sent = 2; traffic.elapsed() < 30000; ++sent) {
      WriteFile(m_f.source / ("good" + std::to_string(sent) + ".ps"), OnePagePostScript());
      QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Deleted), sent, kDeadline);
    }
    QVERIFY(w.count(Kind::Failed) == 1 && Occurrences(ReadAll(runs), "bad.ps") <= 2);
    QCOMPARE(Occurrences(Journal(), "failed [converter-failed]: " + (m_f.source / "bad.ps").native() + " ("), 1u);
    QVERIFY(Journal().find("this file is bad") != std::string::npos);
    // Changed, it is tried at once.
    WriteFile(m_f.source / "bad.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.destination / "bad.pdf") && !fs::exists(m_f.source / "bad.ps"), kDeadline);
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
      WriteFile(m_f.root / "prefs.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>AlwaysPoll</key><true/>"
                                          "<key>StableInterval</key><integer>5</integer><key>PollInterval</key><integer>1</integer></dict></plist>");
    }
    Watched w(m_f.root, Request(SourceDisposal::Delete));
    QCOMPARE(w.service.tuning().alwaysPoll, polled);
    QVERIFY(WriteSlowly(m_f.source / "slow.ps", PostScriptWithPages(std::vector<std::pair<int, int>>(12, {300, 300})),
                        polled ? 3 : 6, std::chrono::milliseconds(polled ? 3000 : 400), polled));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 1, kDeadline);
    QCOMPARE(ListTree(m_f.destination), std::vector<std::string>{"slow.pdf"});
    QCOMPARE(PdfPageSizes(m_f.destination / "slow.pdf").size(), std::size_t(12));
  }

  // Missing at the start: waited for when asked; deleted and made again:
  // watched again; renamed: followed, and its bookmark stored anew.
  void aSourceFolderIsWaitedForAndFollowed() {
    auto request = Request(SourceDisposal::Delete);
    request.waitForSource = true;
    request.sourceBookmark = CreateFolderBookmark(m_f.source);
    std::vector<char> stored;
    request.storeBookmark = [&](const std::vector<char>& b) { stored = b; };
    fs::remove_all(m_f.source);
    Watched w(m_f.root, request);
    QVERIFY(!w.refusal && w.service.state(0) == WatchFolderState::Waiting);
    WriteFile(m_f.source / "late.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 1, kDeadline);

    fs::remove_all(m_f.source);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Waiting, kDeadline);
    fs::create_directories(m_f.source);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Watching, kDeadline);
    WriteFile(m_f.source / "after.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 2, kDeadline);
    QVERIFY(Journal().find("folder gone: " + m_f.source.native() + " (waiting for the folder)") != std::string::npos &&
            Journal().find("folder back: " + m_f.source.native()) != std::string::npos);

    const std::size_t back = w.count(Kind::FolderBack);
    fs::rename(m_f.source, m_f.root / "renamed");
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::FolderBack) == back + 1, kDeadline);
    QVERIFY(w.service.source(0) == m_f.root / "renamed" && BookmarkedPath(stored) == m_f.root / "renamed");
    WriteFile(m_f.root / "renamed" / "there.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.destination / "there.pdf"), kDeadline);
  }
};

QTEST_GUILESS_MAIN(WatchServiceTest)
#include "tst_watch_service.moc"
