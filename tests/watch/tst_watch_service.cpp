// The watch service on real folders, real inotify and the real converter:
// what it takes and when, what it leaves, what it says.

#include "conversion/PostScriptConverter.h"
#include "platform/Bookmark.h"
#include "watch/SourceDisposalOps.h"
#include "watch/WatchService.h"
#include "PostScriptSamples.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
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

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Lines(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

class WatchServiceTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> m_dir;
  fs::path m_root, m_source, m_destination, m_moveTo, m_settings, m_journal;

  WatchService::StartRequest Request(SourceDisposal disposal, std::optional<fs::path> source = {}) {
    WatchService::StartRequest r;
    r.choice.source = source.value_or(m_source);
    r.choice.destination = m_destination;
    r.choice.moveTo = m_moveTo;
    r.choice.disposal = disposal;
    return r;
  }

  // A stand-in converter for this test (init puts the real one back).
  void UseConverter(const char* name, const std::string& script) {
    qputenv("QUILLPRESS_PSTOPDF", samples::WriteStandInConverter(m_root, name, script).c_str());
  }

 private Q_SLOTS:
  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    m_dir = std::make_unique<QTemporaryDir>();
    m_root = m_dir->path().toStdString();
    m_source = m_root / "in";
    m_destination = m_root / "out";
    m_moveTo = m_root / "done";
    m_settings = m_root / "prefs.plist";
    m_journal = m_root / "state" / "watch.log";
    for (const auto& f : {m_source, m_destination, m_moveTo}) fs::create_directories(f);
  }

  void firstLookNewFilesWhatIsLeftAloneAndTheJournal() {
    samples::WriteFile(m_source / "early.ps", samples::OnePagePostScript());
    samples::WriteFile(m_source / "notes.txt", "not PostScript");
    samples::WriteFile(m_source / ".hidden.ps", samples::OnePagePostScript());
    samples::WriteFile(m_source / "sub" / "deep.ps", samples::OnePagePostScript());
    samples::WriteFile(m_destination / "early.ps", "an older file of the same name");
    {
      Watched w(m_settings, m_journal, Request(SourceDisposal::MoveToDestination));
      QVERIFY(!w.refusal);
      QCOMPARE(w.service.state(0), WatchFolderState::Watching);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "early1.ps"), kDeadline);  // numbered, no space
      QVERIFY(fs::exists(m_destination / "early.pdf"));

      samples::WriteFile(m_source / "later.eps", samples::EpsWithBox(0, 0, 40, 40));
      QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Moved) == 2, kDeadline);
      QVERIFY(fs::exists(m_destination / "later.eps"));
      QCOMPARE(samples::PdfPageSizes(m_destination / "later.pdf").size(), std::size_t(1));
      QTRY_COMPARE_WITH_TIMEOUT(
          samples::ListTree(m_source),
          (std::vector<std::string>{".hidden.ps", "notes.txt", "sub", "sub/deep.ps"}), kDeadline);
      QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(2));
    }
    // Every event is a line of the journal, in order.
    const std::string journal = ReadAll(m_journal);
    const std::string in = m_source.native(), out = m_destination.native();
    QCOMPARE(Lines(journal, "started: " + in + " -> " + out), 1);
    QCOMPARE(Lines(journal, "converted: " + in + "/early.ps -> " + out + "/early.pdf"), 1);
    QCOMPARE(Lines(journal, "moved: " + in + "/early.ps -> " + out + "/early1.ps"), 1);
    QCOMPARE(Lines(journal, "converted: " + in + "/later.eps -> " + out + "/later.pdf"), 1);
    QCOMPARE(Lines(journal, "stopped: " + in), 1);
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
    for (const char* f : {"a", "a/sub", "b", "in/done"}) fs::create_directories(m_root / f);
    fs::create_directory_symlink(m_source, m_root / "link");
    auto running = Request(SourceDisposal::Delete, m_root / "a");
    running.choice.destination = m_root / "b";
    Watched w(m_settings, m_journal, running);
    QVERIFY(!w.refusal);
    auto request = Request(moveTo.isEmpty() ? SourceDisposal::Delete : SourceDisposal::MoveToFolder, m_root / source.toStdString());
    request.choice.destination = m_root / destination.toStdString();
    request.choice.moveTo.reset();
    if (!moveTo.isEmpty() && moveTo != "-") request.choice.moveTo = m_root / moveTo.toStdString();
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
    const fs::path runs = m_root / "runs";
    UseConverter("picky", "echo \"$1\" >> '" + runs.native() + "'\n"
                          "if grep -q BAD \"$1\"; then echo 'this file is bad' >&2; exit 1; fi\n"
                          "exec '" + ConverterProgramPath().native() + "' \"$@\"");
    samples::WriteFile(m_source / "bad.ps", samples::OnePagePostScript() + "% BAD\n");
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Failed) == 1, kDeadline);
    QVERIFY(fs::exists(m_source / "bad.ps"));

    // Thirty seconds of other traffic, one file after another.
    QElapsedTimer traffic;
    traffic.start();
    int sent = 0;
    while (traffic.elapsed() < 30000) {
      samples::WriteFile(m_source / ("good" + std::to_string(sent) + ".ps"), samples::OnePagePostScript());
      ++sent;
      QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == std::size_t(sent), kDeadline);
    }
    QCOMPARE(w.count(WatchEvent::Kind::Failed), std::size_t(1));
    QVERIFY(Lines(ReadAll(runs), "bad.ps") <= 2);
    QCOMPARE(Lines(ReadAll(m_journal), "failed [converter-failed]: " + (m_source / "bad.ps").native() + " ("), 1);
    QVERIFY(ReadAll(m_journal).find("this file is bad") != std::string::npos);

    // Changed, it is tried at once.
    samples::WriteFile(m_source / "bad.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == std::size_t(sent + 1), kDeadline);
    QVERIFY(fs::exists(m_destination / "bad.pdf"));
    QVERIFY(!fs::exists(m_source / "bad.ps"));
  }

  void aFileStillBeingWrittenIsNotTaken() {
    // Written in chunks with pauses, held open throughout: only the whole
    // document may be converted.
    const std::string doc = samples::PostScriptWithPages(std::vector<std::pair<int, int>>(12, {300, 300}));
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    std::atomic<bool> closed = false;
    std::thread writer([&] {
      const fs::path path = m_source / "slow.ps";
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const std::size_t chunk = doc.size() / 6 + 1;
      for (std::size_t at = 0; at < doc.size(); at += chunk) {
        const std::size_t n = std::min(chunk, doc.size() - at);
        if (write(fd, doc.data() + at, n) != ssize_t(n)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a slow writer, not a wait
      }
      close(fd);
      closed = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(closed.load(), kDeadline);
    writer.join();
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);
    QCOMPARE(samples::ListTree(m_destination), std::vector<std::string>{"slow.pdf"});
    QCOMPARE(samples::PdfPageSizes(m_destination / "slow.pdf").size(), std::size_t(12));
  }

  void aSlowWriterOnAPolledFolderIsWaitedFor() {
    // A writer that closes the file between chunks and pauses 3 s: on a
    // polled folder only a file that held still is taken.
    samples::WriteFile(m_settings, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                   "<key>AlwaysPoll</key><true/><key>StableInterval</key><integer>5</integer>"
                                   "<key>PollInterval</key><integer>1</integer></dict></plist>");
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    QVERIFY(w.service.tuning().alwaysPoll);
    const std::string doc = samples::PostScriptWithPages(std::vector<std::pair<int, int>>(3, {300, 300}));
    std::atomic<bool> done = false;
    std::thread writer([&] {
      const std::size_t third = doc.size() / 3 + 1;
      for (std::size_t at = 0; at < doc.size(); at += third) {
        std::ofstream out(m_source / "paused.ps", std::ios::app | std::ios::binary);
        out.write(doc.data() + at, std::streamsize(std::min(third, doc.size() - at)));
        out.close();
        if (at + third < doc.size()) std::this_thread::sleep_for(std::chrono::seconds(3));  // the writer's pause
      }
      done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), kDeadline);
    writer.join();
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Failed), std::size_t(0));
    QCOMPARE(samples::PdfPageSizes(m_destination / "paused.pdf").size(), std::size_t(3));
  }

  void aRewriteBeforeThePutAwayIsNotLost() {
    // The source grows once, right after its first conversion.
    const fs::path marker = m_root / "rewritten";
    UseConverter("rewriting", "'" + ConverterProgramPath().native() + "' \"$@\"; status=$?\n"
                              "if [ ! -e '" + marker.native() + "' ]; then touch '" + marker.native() + "'; "
                              "printf '%%!PS\\n%% page two\\nshowpage\\n' >> \"$1\"; fi\nexit $status");
    samples::WriteFile(m_source / "grows.ps", samples::OnePagePostScript());
    Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Changed), std::size_t(1));
    QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(1));
    // One PDF, of the file as it ended.
    QCOMPARE(samples::ListTree(m_destination), std::vector<std::string>{"grows.pdf"});
    QCOMPARE(samples::PdfPageSizes(m_destination / "grows.pdf").size(), std::size_t(2));
  }

  void aSourceFolderIsWaitedForAndFollowed() {
    // Missing at the start: waited for when asked.
    auto request = Request(SourceDisposal::Delete);
    request.waitForSource = true;
    request.sourceBookmark = CreateFolderBookmark(m_source);
    std::vector<char> stored;
    request.storeBookmark = [&](const std::vector<char>& b) { stored = b; };
    fs::remove_all(m_source);
    Watched w(m_settings, m_journal, request);
    QVERIFY(!w.refusal);
    QCOMPARE(w.service.state(0), WatchFolderState::Waiting);
    fs::create_directories(m_source);
    samples::WriteFile(m_source / "late.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 1, kDeadline);

    // Deleted and made again: watched again.
    fs::remove_all(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Waiting, kDeadline);
    fs::create_directories(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(w.service.state(0), WatchFolderState::Watching, kDeadline);
    samples::WriteFile(m_source / "after.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 2, kDeadline);
    const std::string journal = ReadAll(m_journal);
    QVERIFY(journal.find("folder gone: " + m_source.native() + " (waiting for the folder)") != std::string::npos);
    QVERIFY(journal.find("folder back: " + m_source.native()) != std::string::npos);

    // Renamed: followed, and its bookmark stored anew.
    const fs::path renamed = m_root / "in-renamed";
    const std::size_t back = w.count(WatchEvent::Kind::FolderBack);
    fs::rename(m_source, renamed);
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::FolderBack) == back + 1, kDeadline);
    QCOMPARE(w.service.source(0), std::optional<fs::path>(renamed));
    QCOMPARE(BookmarkedPath(stored), std::optional<fs::path>(renamed));
    samples::WriteFile(renamed / "there.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted) == 3, kDeadline);
    QVERIFY(fs::exists(m_destination / "there.pdf"));
  }

  void stoppingPutsTheFileInHandBack() {
    UseConverter("endless", "exec sleep 600");
    samples::WriteFile(m_source / "held.ps", samples::OnePagePostScript());
    {
      Watched w(m_settings, m_journal, Request(SourceDisposal::Delete));
      QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(m_source / "held.ps"), kDeadline);  // claimed
      w.service.Stop(0);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_source / "held.ps"), kDeadline);
    }
    QCOMPARE(samples::ListTree(m_source), std::vector<std::string>{"held.ps"});
    QCOMPARE(samples::ListTree(m_destination), std::vector<std::string>{});
  }

  void moveAcrossFileSystemsCopiesChecksAndRemoves() {
    const fs::path shm = "/dev/shm";
    struct stat a {}, b {};
    if (stat(shm.c_str(), &a) != 0 || stat(m_source.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
      QSKIP("no second file system to move across");
    }
    QTemporaryDir other(QStringLiteral("/dev/shm/quillpress-test-XXXXXX"));
    const fs::path target = other.path().toStdString();
    samples::WriteFile(m_source / "far.ps", "payload");
    samples::WriteFile(target / "far.ps", "already here");
    const MoveResult moved = MoveWithoutReplacing(m_source / "far.ps", target);
    QVERIFY2(moved.ok, moved.error.c_str());
    QCOMPARE(moved.movedTo, target / "far1.ps");
    QVERIFY(!fs::exists(m_source / "far.ps"));
    QCOMPARE(fs::file_size(target / "far1.ps"), std::uintmax_t(7));
    QCOMPARE(samples::ListTree(target), (std::vector<std::string>{"far.ps", "far1.ps"}));
    // A move that cannot happen leaves the file where it was.
    samples::WriteFile(m_source / "stay.ps", "payload");
    QVERIFY(!MoveWithoutReplacing(m_source / "stay.ps", target / "missing").ok);
    QVERIFY(fs::exists(m_source / "stay.ps"));
  }
};

QTEST_GUILESS_MAIN(WatchServiceTest)
#include "tst_watch_service.moc"
