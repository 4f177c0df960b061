// The watch service on real folders, real inotify and the real converter:
// what it takes and when, what it leaves, what it says.

#include "conversion/PostScriptConverter.h"
#include "platform/Bookmark.h"
#include "watch/WatchService.h"
#include "PostScriptSamples.h"
#include "WatchTestFolders.h"

#include <QElapsedTimer>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

// A service running one folder, recording every event.
class Watched {
 public:
  Watched(const fs::path& settings, const fs::path& journal, WatchService::StartRequest request)
      : service(journal) {
    service.setTuning(WatchSettingsStore(settings).Read().tuning);
    QObject::connect(&service, &WatchService::watchEvent, &service,
                     [this](const WatchEvent& e) { events.push_back(e); });
    refusal = service.Start(0, std::move(request));
  }

  std::size_t count(WatchEvent::Kind kind) const {
    std::size_t n = 0;
    for (const auto& e : events) n += e.kind == kind ? 1 : 0;
    return n;
  }

  WatchService service;
  std::vector<WatchEvent> events;
  std::optional<WatchRefusal> refusal;
};

}  // namespace

class WatchServiceTest : public QObject {
  Q_OBJECT

 private:
  WatchTestFolders m_f;
  fs::path m_moveTo, m_settings, m_journal;

  WatchService::StartRequest Request(SourceDisposal disposal, std::optional<fs::path> source = {}) {
    WatchService::StartRequest r;
    r.choice.source = source.value_or(m_f.source);
    r.choice.destination = m_f.destination;
    r.choice.moveTo = m_moveTo;
    r.choice.disposal = disposal;
    return r;
  }

  // A stand-in converter for this test (init puts the real one back).
  void UseConverter(const char* name, const std::string& script) {
    qputenv("QUILLPRESS_PSTOPDF", samples::WriteStandInConverter(m_f.root, name, script).c_str());
  }

 private Q_SLOTS:
  void init() {
    m_f = WatchTestFolders();
    m_moveTo = m_f.Make("done");
    m_settings = m_f.root / "prefs.plist";
    m_journal = m_f.root / "state" / "watch.log";
  }

  void firstLookNewFilesWhatIsLeftAloneAndTheJournal() {
    samples::WriteFile(m_f.source / "early.ps", samples::OnePagePostScript());
    samples::WriteFile(m_f.source / "notes.txt", "not PostScript");
    samples::WriteFile(m_f.source / ".hidden.ps", samples::OnePagePostScript());
    samples::WriteFile(m_f.source / "sub" / "deep.ps", samples::OnePagePostScript());
    samples::WriteFile(m_f.destination / "early.ps", "an older file of the same name");
    {
      Watched w(m_settings, m_journal, Request(SourceDisposal::MoveToDestination));
      QVERIFY(!w.refusal);
      QCOMPARE(w.service.state(0), WatchFolderState::Watching);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.destination / "early1.ps"), kDeadline);  // numbered, no space
      QVERIFY(fs::exists(m_f.destination / "early.pdf"));

      samples::WriteFile(m_f.source / "later.eps", samples::EpsWithBox(0, 0, 40, 40));
      QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Moved) == 2, kDeadline);
      QVERIFY(fs::exists(m_f.destination / "later.eps"));
      QCOMPARE(samples::PdfPageSizes(m_f.destination / "later.pdf").size(), std::size_t(1));
      QTRY_COMPARE_WITH_TIMEOUT(
          samples::ListTree(m_f.source),
          (std::vector<std::string>{".hidden.ps", "notes.txt", "sub", "sub/deep.ps"}), kDeadline);
      QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(2));
    }
    // Every event is a line of the journal, in order.
    const std::string journal = samples::ReadAll(m_journal);
    const std::string in = m_f.source.native(), out = m_f.destination.native();
    QCOMPARE(samples::Occurrences(journal, "started: " + in + " -> " + out), std::size_t(1));
    QCOMPARE(samples::Occurrences(journal, "converted: " + in + "/early.ps -> " + out + "/early.pdf"), std::size_t(1));
    QCOMPARE(samples::Occurrences(journal, "moved: " + in + "/early.ps -> " + out + "/early1.ps"), std::size_t(1));
    QCOMPARE(samples::Occurrences(journal, "converted: " + in + "/later.eps -> " + out + "/later.pdf"), std::size_t(1));
    QCOMPARE(samples::Occurrences(journal, "stopped: " + in), std::size_t(1));
    QVERIFY(journal.find("started") < journal.find("converted") &&
            journal.rfind("converted") < journal.find("stopped"));
  }

  void theRulesRefuseInTheirOrder_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("moveTo");  // empty: choice 1, else choice 3
    QTest::addColumn<QString>("refusal");  // empty: it runs
    QTest::addColumn<QString>("remark");   // what its start says, when it runs
    // Paths under the test's folder; "a" runs, from "a" into "b", already.
    QTest::newRow("same folder, first of all") << "in" << "in" << "-" << "SourceWatchAndDestSameMsg" << "";
    QTest::newRow("same through a link") << "in" << "link" << "" << "SourceWatchAndDestSameMsg" << "";
    QTest::newRow("no move-to folder") << "in" << "out" << "-" << "MoveFoderNotSelectedMsg" << "";
    QTest::newRow("moved into the source") << "in" << "out" << "in" << "SourceWatchAndMoveSameMsg" << "";
    QTest::newRow("moved inside the source") << "in" << "out" << "in/done" << ""
                                             << "converted files are moved into a folder inside the watched folder";
    QTest::newRow("PDFs inside the source") << "in" << "in/done" << "" << ""
                                            << "the PDF files go into a folder inside the watched folder";
    QTest::newRow("inside a running folder's source") << "a/sub" << "out" << "" << ""
                                                       << "which another watch folder watches";
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
    for (const char* f : {"a", "a/sub", "b", "in/done"}) fs::create_directories(m_f.root / f);
    fs::create_directory_symlink(m_f.source, m_f.root / "link");
    auto running = Request(SourceDisposal::Delete, m_f.root / "a");
    running.choice.destination = m_f.root / "b";
    Watched w(m_settings, m_journal, running);
    QVERIFY(!w.refusal);
    auto request = Request(moveTo.isEmpty() ? SourceDisposal::Delete : SourceDisposal::MoveToFolder, m_f.root / source.toStdString());
    request.choice.destination = m_f.root / destination.toStdString();
    request.choice.moveTo.reset();
    if (!moveTo.isEmpty() && moveTo != "-") request.choice.moveTo = m_f.root / moveTo.toStdString();
    const auto refused = w.service.Start(1, request);
    QCOMPARE(QString::fromUtf8(refused ? refused->key : ""), refusal);
    QCOMPARE(w.service.state(1), refusal.isEmpty() ? WatchFolderState::Watching : WatchFolderState::Off);
    QCOMPARE(w.count(WatchEvent::Kind::Started), refusal.isEmpty() ? 2u : 1u);
    std::string said;  // by the last start
    for (const WatchEvent& e : w.events) said = e.kind == WatchEvent::Kind::Started ? e.reason : said;
    QVERIFY2(remark.isEmpty() ? said.empty() : said.find(remark.toStdString()) != std::string::npos, said.c_str());
    // Starting a number again replaces it rather than clashing with it.
    QVERIFY(!w.service.Start(0, running));
  }

  void aFailingFileIsReportedOnceAndTriedOnlyWhenChanged() {
    // Fails every file that says BAD, converts the others; counts its runs.
    const fs::path runs = m_f.root / "runs";
    UseConverter("picky", "echo \"$1\" >> '" + runs.native() + "'\n"
                          "if grep -q BAD \"$1\"; then echo 'this file is bad' >&2; exit 1; fi\n"
                          "exec '" + ConverterProgramPath().native() + "' \"$@\"");
    samples::WriteFile(m_f.source / "bad.ps", samples::OnePagePostScript() + "% BAD\n");
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Failed) == 1, kDeadline);
    QVERIFY(fs::exists(m_f.source / "bad.ps"));

    // Thirty seconds of other traffic, one file after another.
    QElapsedTimer traffic;
    traffic.start();
    int sent = 0;
    while (traffic.elapsed() < 30000) {
      samples::WriteFile(m_f.source / ("good" + std::to_string(sent) + ".ps"), samples::OnePagePostScript());
      ++sent;
      QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == std::size_t(sent), kDeadline);
    }
    QCOMPARE(w.count(WatchEvent::Kind::Failed), std::size_t(1));
    QVERIFY(samples::Occurrences(samples::ReadAll(runs), "bad.ps") <= 2);
    QCOMPARE(samples::Occurrences(samples::ReadAll(m_journal), "failed [converter-failed]: " + (m_f.source / "bad.ps").native() + " ("), std::size_t(1));
    QVERIFY(samples::ReadAll(m_journal).find("this file is bad") != std::string::npos);

    // Changed, it is tried at once.
    samples::WriteFile(m_f.source / "bad.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == std::size_t(sent + 1), kDeadline);
    QVERIFY(fs::exists(m_f.destination / "bad.pdf"));
    QVERIFY(!fs::exists(m_f.source / "bad.ps"));
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
      samples::WriteFile(m_settings, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                     "<key>AlwaysPoll</key><true/><key>StableInterval</key><integer>5</integer>"
                                     "<key>PollInterval</key><integer>1</integer></dict></plist>");
    }
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    QCOMPARE(w.service.tuning().alwaysPoll, polled);
    const std::size_t chunks = polled ? 3 : 6;
    const std::string doc = samples::PostScriptWithPages(std::vector<std::pair<int, int>>(12, {300, 300}));
    std::atomic<bool> closed = false;
    std::thread writer([&] {
      const fs::path path = m_f.source / "slow.ps";
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const std::size_t chunk = doc.size() / chunks + 1;
      for (std::size_t at = 0; at < doc.size(); at += chunk) {
        const std::size_t n = std::min(chunk, doc.size() - at);
        if (write(fd, doc.data() + at, n) != ssize_t(n)) break;
        if (at + chunk >= doc.size()) break;
        if (polled) close(fd);
        // The writer's pause, not a wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(polled ? 3000 : 400));
        if (polled) fd = open(path.c_str(), O_WRONLY | O_APPEND);
      }
      close(fd);
      closed = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(closed.load(), kDeadline);
    writer.join();
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Failed), std::size_t(0));
    QCOMPARE(samples::ListTree(m_f.destination), std::vector<std::string>{"slow.pdf"});
    QCOMPARE(samples::PdfPageSizes(m_f.destination / "slow.pdf").size(), std::size_t(12));
  }

  void aRewriteBeforeThePutAwayIsNotLost() {
    // The source grows once, right after its first conversion.
    const fs::path marker = m_f.root / "rewritten";
    UseConverter("rewriting", "'" + ConverterProgramPath().native() + "' \"$@\"; status=$?\n"
                              "if [ ! -e '" + marker.native() + "' ]; then touch '" + marker.native() + "'; "
                              "printf '%%!PS\\n%% page two\\nshowpage\\n' >> \"$1\"; fi\nexit $status");
    samples::WriteFile(m_f.source / "grows.ps", samples::OnePagePostScript());
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Changed), std::size_t(1));
    QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(1));
    // One PDF, of the file as it ended.
    QCOMPARE(samples::ListTree(m_f.destination), std::vector<std::string>{"grows.pdf"});
    QCOMPARE(samples::PdfPageSizes(m_f.destination / "grows.pdf").size(), std::size_t(2));
  }

  void aSourceFolderIsWaitedForAndFollowed() {
    // Missing at the start: waited for when asked.
    auto request = Request(SourceDisposal::Delete);
    request.waitForSource = true;
    request.sourceBookmark = CreateFolderBookmark(m_f.source);
    std::vector<char> stored;
    request.storeBookmark = [&](const std::vector<char>& b) { stored = b; };
    fs::remove_all(m_f.source);
    Watched w(m_settings, m_journal, request);
    QVERIFY(!w.refusal);
    QCOMPARE(w.service.state(0), WatchFolderState::Waiting);
    fs::create_directories(m_f.source);
    samples::WriteFile(m_f.source / "late.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);

    // Deleted and made again: watched again.
    fs::remove_all(m_f.source);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Waiting, kDeadline);
    fs::create_directories(m_f.source);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Watching, kDeadline);
    samples::WriteFile(m_f.source / "after.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 2, kDeadline);
    const std::string journal = samples::ReadAll(m_journal);
    QVERIFY(journal.find("folder gone: " + m_f.source.native() + " (waiting for the folder)") != std::string::npos);
    QVERIFY(journal.find("folder back: " + m_f.source.native()) != std::string::npos);

    // Renamed: followed, and its bookmark stored anew.
    const fs::path renamed = m_f.root / "in-renamed";
    const std::size_t back = w.count(WatchEvent::Kind::FolderBack);
    fs::rename(m_f.source, renamed);
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::FolderBack) == back + 1, kDeadline);
    QCOMPARE(w.service.source(0), std::optional<fs::path>(renamed));
    QCOMPARE(BookmarkedPath(stored), std::optional<fs::path>(renamed));
    samples::WriteFile(renamed / "there.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 3, kDeadline);
    QVERIFY(fs::exists(m_f.destination / "there.pdf"));
  }
};

QTEST_GUILESS_MAIN(WatchServiceTest)
#include "tst_watch_service.moc"
