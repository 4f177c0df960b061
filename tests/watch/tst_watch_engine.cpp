// The watch engine on real folders, real inotify and the real converter.

#include "watch/Notifier.h"
#include "watch/SourceDisposalOps.h"
#include "watch/WatchEngine.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

// An engine with its notifier, recording every outcome.
class WatchedFolder {
 public:
  explicit WatchedFolder(WatchConfiguration config)
      : m_engine(config, [this](const WatchOutcome& o) {
          std::lock_guard lock(m_mutex);
          m_outcomes.push_back(o);
        }),
        m_notifier(config.source, [this] { m_engine.RequestScan(); }) {
    m_engine.RequestScan();
  }

  std::vector<WatchOutcome> outcomes() {
    std::lock_guard lock(m_mutex);
    return m_outcomes;
  }
  std::size_t count(WatchOutcome::Kind kind) {
    std::size_t n = 0;
    for (const auto& o : outcomes()) n += o.kind == kind ? 1 : 0;
    return n;
  }
  WatchEngine& engine() { return m_engine; }

 private:
  std::mutex m_mutex;
  std::vector<WatchOutcome> m_outcomes;
  WatchEngine m_engine;
  Notifier m_notifier;
};

constexpr int kDeadline = 120000;

}  // namespace

class WatchEngineTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> m_dir;
  fs::path m_source, m_destination, m_moveTo;

  WatchConfiguration Config(SourceDisposal disposal) {
    WatchConfiguration c;
    c.source = m_source;
    c.destination = m_destination;
    c.moveTo = m_moveTo;
    c.disposal = disposal;
    return c;
  }

 private Q_SLOTS:
  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    m_dir = std::make_unique<QTemporaryDir>();
    const fs::path root = m_dir->path().toStdString();
    m_source = root / "in";
    m_destination = root / "out";
    m_moveTo = root / "done";
    for (const auto& f : {m_source, m_destination, m_moveTo}) fs::create_directories(f);
  }

  void firstScanNewFilesAndWhatIsLeftAlone() {
    samples::WriteFile(m_source / "early.ps", samples::OnePagePostScript());
    samples::WriteFile(m_source / "notes.txt", "not PostScript");
    samples::WriteFile(m_source / ".hidden.ps", samples::OnePagePostScript());
    samples::WriteFile(m_source / "sub" / "deep.ps", samples::OnePagePostScript());
    samples::WriteFile(m_destination / "early.ps", "an older file of the same name");
    WatchedFolder watched(Config(SourceDisposal::MoveToDestination));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "early.pdf"), kDeadline);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "early1.ps"), kDeadline);  // numbered, no space

    samples::WriteFile(m_source / "later.eps", samples::EpsWithBox(0, 0, 40, 40));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "later.eps"), kDeadline);
    QCOMPARE(samples::PdfPageSizes(m_destination / "later.pdf").size(), std::size_t(1));
    QCOMPARE(samples::ListTree(m_source),
             (std::vector<std::string>{".hidden.ps", "notes.txt", "sub", "sub/deep.ps"}));
    QCOMPARE(watched.count(WatchOutcome::Kind::Converted), std::size_t(2));
  }

  void deleteAndMoveToWithNumberedNames() {
    {
      samples::WriteFile(m_source / "gone.ps", samples::OnePagePostScript());
      WatchedFolder watched(Config(SourceDisposal::Delete));
      QTRY_VERIFY_WITH_TIMEOUT(watched.count(WatchOutcome::Kind::Deleted) == 1, kDeadline);
      QVERIFY(!fs::exists(m_source / "gone.ps"));
      QVERIFY(fs::exists(m_destination / "gone.pdf"));
    }
    samples::WriteFile(m_moveTo / "chart.ps", "x");
    samples::WriteFile(m_moveTo / "chart1.ps", "x");
    samples::WriteFile(m_source / "chart.ps", samples::OnePagePostScript());
    WatchedFolder watched(Config(SourceDisposal::MoveToFolder));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_moveTo / "chart2.ps"), kDeadline);
    QVERIFY(fs::exists(m_destination / "chart.pdf"));
  }

  void failedFileIsKeptAndTriedAgain() {
    const fs::path failing = samples::WriteStandInConverter(m_dir->path().toStdString(), "fail", "exit 1");
    qputenv("QUILLPRESS_PSTOPDF", failing.c_str());
    samples::WriteFile(m_source / "retry.ps", samples::OnePagePostScript());
    WatchedFolder watched(Config(SourceDisposal::Delete));
    QTRY_VERIFY_WITH_TIMEOUT(watched.count(WatchOutcome::Kind::Failed) == 1, kDeadline);
    QVERIFY(fs::exists(m_source / "retry.ps"));
    QCOMPARE(samples::ListTree(m_destination), std::vector<std::string>{});
    qunsetenv("QUILLPRESS_PSTOPDF");
    watched.engine().RequestScan();
    QTRY_VERIFY_WITH_TIMEOUT(watched.count(WatchOutcome::Kind::Deleted) == 1, kDeadline);
    QVERIFY(fs::exists(m_destination / "retry.pdf"));
  }

  void fileStillBeingWrittenIsNotTaken() {
    // Written in chunks with pauses longer than the settle time, the file
    // held open throughout: only the whole document may be converted.
    std::vector<std::pair<int, int>> pages(12, {300, 300});
    const std::string doc = samples::PostScriptWithPages(pages);
    WatchedFolder watched(Config(SourceDisposal::Delete));
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
    QTRY_VERIFY_WITH_TIMEOUT(watched.count(WatchOutcome::Kind::Deleted) == 1, kDeadline);
    QCOMPARE(samples::ListTree(m_destination), std::vector<std::string>{"slow.pdf"});
    QCOMPARE(samples::PdfPageSizes(m_destination / "slow.pdf").size(), std::size_t(12));
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

  void manyWritersAtOnce() {
    // Several writers, some slow and in chunks: every file converted exactly
    // once, and no source deleted without its PDF.
    constexpr int kWriters = 5;
    constexpr int kPerWriter = 100;
    WatchConfiguration config = Config(SourceDisposal::Delete);
    WatchedFolder watched(config);
    const std::string doc = samples::PostScriptWithPages({{200, 200}, {200, 200}});
    std::atomic<int> written = 0;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < kPerWriter; ++i) {
          const fs::path path = m_source / ("w" + std::to_string(w) + "-" + std::to_string(i) + ".ps");
          const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
          const bool slow = w == 0 && i % 10 == 0;
          const std::size_t half = doc.size() / 2;
          ssize_t ignored = write(fd, doc.data(), half);
          if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(700));
          ignored = write(fd, doc.data() + half, doc.size() - half);
          (void)ignored;
          close(fd);
          ++written;
        }
      });
    }
    for (auto& t : writers) t.join();
    const std::size_t total = kWriters * kPerWriter;
    QTRY_VERIFY_WITH_TIMEOUT(watched.count(WatchOutcome::Kind::Deleted) == total, 600000);
    QCOMPARE(watched.count(WatchOutcome::Kind::Converted), total);
    QCOMPARE(watched.count(WatchOutcome::Kind::Failed), std::size_t(0));
    const auto pdfs = samples::ListTree(m_destination);
    QCOMPARE(pdfs.size(), total);  // no "name 1.pdf": nothing converted twice
    for (const auto& name : pdfs) {
      QVERIFY2(name.find(' ') == std::string::npos, name.c_str());
    }
    for (int i = 0; i < kPerWriter; i += 10) {
      const fs::path pdf = m_destination / ("w0-" + std::to_string(i) + ".pdf");
      QCOMPARE(samples::PdfPageSizes(pdf).size(), std::size_t(2));  // the slow ones, whole
    }
    QCOMPARE(samples::ListTree(m_source), std::vector<std::string>{});
  }
};

QTEST_GUILESS_MAIN(WatchEngineTest)
#include "tst_watch_engine.moc"
