// The watch engine converting several files at once: each folder's sources
// are put away in the order they were taken, and its PDFs are named as one
// conversion after another names them, even when the first file taken ends
// last; and a file arriving in a quiet folder goes before another folder's
// burst.

#include "watch/WatchEngine.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <mutex>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

// Closed long ago, as far as the engine can tell: one look takes the file.
void DropOld(const fs::path& file, const std::string& content = samples::OnePagePostScript()) {
  samples::WriteFile(file, content);
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

}  // namespace

class WatchParallelTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void sourcesGoInTheOrderTakenAndPdfsAreNamedAsOneAfterAnother() {
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    const fs::path source = root / "in", destination = root / "out", moveTo = root / "done";
    for (const fs::path& f : {source, destination, moveTo}) fs::create_directories(f);
    // Stems that repeat, so that names depend on the order; one look takes
    // them all, in the order the folder lists them.
    for (const std::string name : {"a.ps", "a.eps", "b.ps", "b.eps", "c.ps", "c.eps", "d.ps", "e.ps"}) {
      DropOld(source / name, name.ends_with(".eps") ? samples::EpsWithBox(0, 0, 30, 30) : samples::OnePagePostScript());
    }
    std::vector<fs::path> listed;
    for (const auto& entry : fs::directory_iterator(source)) listed.push_back(entry.path());
    // The first file taken waits until three others have ended.
    const fs::path log = root / "converter.log";
    const fs::path wrapper =
        samples::LoggingConverter(root, "held-pstopdf", log, "/" + listed.front().filename().string(), 3);
    qputenv("QUILLPRESS_PSTOPDF", wrapper.c_str());
    qputenv("QUILLPRESS_PSTOPDF_READY", "0");

    std::mutex mutex;
    std::vector<WatchEvent> events;
    WatchEngine engine(
        WatchTimings{},
        [&](const WatchEvent& e) {
          std::lock_guard lock(mutex);
          events.push_back(e);
        },
        {});
    engine.SetConcurrentConversions(4);
    engine.AddFolder(1, {source, destination, moveTo, SourceDisposal::MoveToFolder, false,
                         PdfPreset::Faithful},
                     false);
    auto moved = [&] {
      std::lock_guard lock(mutex);
      return std::count_if(events.begin(), events.end(),
                           [](const WatchEvent& e) { return e.kind == WatchEvent::Kind::Moved; });
    };
    QTRY_COMPARE_WITH_TIMEOUT(moved(), 8, kDeadline);
    engine.Stop();

    std::vector<fs::path> converted, putAway;
    std::set<std::string> taken;
    for (const WatchEvent& e : events) {
      if (e.kind == WatchEvent::Kind::Moved) putAway.push_back(e.file);
      if (e.kind != WatchEvent::Kind::Converted) continue;
      converted.push_back(e.file);
      // The name one conversion after another gives, in this order.
      const std::string stem = e.file.stem().string();
      std::string expected = stem + ".pdf";
      for (int n = 1; taken.count(expected); ++n) expected = stem + " " + std::to_string(n) + ".pdf";
      taken.insert(expected);
      QCOMPARE(e.result.filename().string(), expected);
    }
    QCOMPARE(converted, listed);
    QCOMPARE(putAway, listed);
    QCOMPARE(converted.size(), std::size_t{8});
    // It really ran out of order: several at once, the first ended late.
    QVERIFY(samples::MostAtOnce(log) > 1);
    QCOMPARE(samples::ListTree(source), std::vector<std::string>{});
    QCOMPARE(samples::ListTree(moveTo).size(), std::size_t{8});
  }

  void aFileInAQuietFolderIsNextInLine() {
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    const fs::path busy = root / "busy", quiet = root / "quiet", out = root / "out";
    for (const fs::path& f : {busy, quiet, out}) fs::create_directories(f);
    for (int i = 0; i < 6; ++i) DropOld(busy / ("burst" + std::to_string(i) + ".ps"));
    // The first conversion waits for the word to go on.
    const fs::path started = root / "started", go = root / "go";
    const fs::path converter = samples::WriteStandInConverter(
        root, "held-pstopdf",
        "if [ ! -e '" + started.string() + "' ]; then touch '" + started.string() + "'\n"
        "  until [ -e '" + go.string() + "' ]; do sleep 0.02; done; fi\n"
        "exec '" + (samples::BinDir() / "pstopdf").string() + "' \"$@\"");
    qputenv("QUILLPRESS_PSTOPDF", converter.c_str());

    std::mutex mutex;
    std::vector<std::string> converted;
    WatchEngine engine(
        WatchTimings{},
        [&](const WatchEvent& e) {
          std::lock_guard lock(mutex);
          if (e.kind == WatchEvent::Kind::Converted) converted.push_back(e.file.filename().string());
        },
        {});
    engine.SetConcurrentConversions(1);
    engine.AddFolder(1, {busy, out, {}, SourceDisposal::Delete, false, PdfPreset::Faithful}, false);
    engine.AddFolder(2, {quiet, out, {}, SourceDisposal::Delete, false, PdfPreset::Faithful}, false);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(started), kDeadline);
    DropOld(quiet / "lone.ps");
    engine.RequestScan(2);
    samples::WriteFile(go, "");
    auto count = [&] {
      std::lock_guard lock(mutex);
      return converted.size();
    };
    QTRY_COMPARE_WITH_TIMEOUT(count(), std::size_t(7), kDeadline);
    engine.Stop();
    // Behind the file in hand, not behind the burst.
    QCOMPARE(converted[1], std::string("lone.ps"));
  }
};

QTEST_GUILESS_MAIN(WatchParallelTest)
#include "tst_watch_parallel.moc"
