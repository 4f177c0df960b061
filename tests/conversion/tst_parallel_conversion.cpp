// Several conversions at once, through the batch and the command line: the
// result must be the one a run of one file after another gives, a cancel
// must end every conversion in flight without leaving anything, the memory
// bound must hold, and no job may reach the next one.

#include "conversion/BatchExport.h"
#include "conversion/ConversionPool.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <mutex>
#include <tuple>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

// Everything a batch tells its host, in the order told.
struct RecordingHost : BatchExportHost {
  bool BeginProgressSheet(std::int64_t) override { return true; }
  bool ChangeProgressStatus(ExportProgress step, const fs::path& file) override {
    return Record(progress, std::to_string(static_cast<int>(step)) + " " + file.string());
  }
  bool EndProgressSheet() override { return true; }
  bool ShowClosingAlert(ClosingAlert shown, const fs::path& first, const fs::path&) override {
    return Record(alerts, std::pair(shown, first));
  }
  void ItemStarted(const FileListItemRef& item) override { Record(started, item.get()); }
  void ItemFinished(const FileListItemRef& item, const ConversionResult& result) override {
    Record(finished, std::tuple(std::find(items.begin(), items.end(), item) - items.begin(), result.ok,
                                result.ok ? result.writtenPath.lexically_relative(destination).string() : ""));
  }
  void BatchEnded() override { ended = true; }
  template <typename T, typename V>
  bool Record(std::vector<T>& list, V value) {
    std::lock_guard lock(mutex);
    list.push_back(value);
    return true;
  }

  std::vector<FileListItemRef> items;
  fs::path destination;
  std::mutex mutex;
  std::vector<std::string> progress;
  std::vector<std::pair<ClosingAlert, fs::path>> alerts;
  std::vector<const FileListItem*> started;
  std::vector<std::tuple<std::ptrdiff_t, bool, std::string>> finished;  // index, ok, PDF in the destination
  std::atomic<bool> ended = false;
};

}  // namespace

class ParallelConversion : public QObject, samples::TestFolders {
  Q_OBJECT

 private:

  // A converter that logs its start and end to log and runs the real one;
  // a file whose path holds "/held/" first waits until holdUntil files have
  // ended; one whose path holds "/stuck/" writes part of its output and
  // never ends by itself.
  void UseWrapperConverter(const fs::path& log, int holdUntil) {
    qputenv("QUILLPRESS_PSTOPDF",
            samples::LoggingConverter(Root(), "logging-pstopdf-" + std::to_string(holdUntil), log, "/held/", holdUntil,
                                      "case \"$1\" in *'/stuck/'*) printf '%%PDF-1.4 partial' > \"$3\"; "
                                      "while :; do sleep 0.02; done;; esac\n").c_str());
  }

  // Items for files of tests/data/batch; a kept tree's items name their tree.
  static std::vector<FileListItemRef> Items(const std::vector<std::string>& names) {
    const fs::path folder = samples::TestFile("data/batch");
    std::vector<FileListItemRef> items;
    for (const std::string& name : names) {
      const bool inTree = name.starts_with("tree/");
      items.push_back(
          std::make_shared<FileListItem>(folder / name, inTree ? std::optional(folder / "tree") : std::nullopt));
    }
    return items;
  }

  // Starts a batch of items into destination with that many converters.
  static void Start(BatchExport& batch, RecordingHost& host, const std::vector<FileListItemRef>& items,
                    const fs::path& destination, std::size_t converters) {
    host.items = items;
    host.destination = destination;
    batch.setConcurrentConversions(converters);
    QVERIFY(batch.Start(items, destination, false));
  }

  // Runs a batch to its end.
  static void RunBatch(RecordingHost& host, const std::vector<FileListItemRef>& items, const fs::path& destination,
                       std::size_t converters) {
    BatchExport batch(host);
    Start(batch, host, items, destination, converters);
    QTRY_VERIFY_WITH_TIMEOUT(host.ended.load(), kDeadline);
  }

 private Q_SLOTS:
  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    qunsetenv("QUILLPRESS_PSTOPDF_MEMORY_MIB");
    qputenv("QUILLPRESS_PSTOPDF_READY", "0");
  }

  // Repeated stems, a failure that frees a name, kept trees and an item whose
  // folder cannot be made; the first item is held until three later ones
  // have ended, so that the parallel run finishes them out of order.
  void namesOrderAndProgressAreThoseOfASerialRun() {
    // x/b.ps fails, leaving b.pdf to y/b.ps; so does z/a.ps; tree/blocked's
    // folder is a file in the destination.
    const std::vector<FileListItemRef> items = Items({"held/a.ps", "x/a.ps", "x/b.ps", "y/b.ps", "y/a.ps",
                                                      "tree/sub/a.ps", "tree/sub/c.eps", "tree/blocked/d.ps",
                                                      "z/a.ps", "z/c.ps"});
    std::map<std::size_t, RecordingHost> hosts;
    for (const std::size_t converters : {std::size_t{1}, std::size_t{4}}) {
      const fs::path dest = Root() / ("names-out-" + std::to_string(converters));
      samples::WriteFile(dest / "blocked", "a file where a folder would go");
      const fs::path log = Root() / ("names-" + std::to_string(converters) + ".log");
      UseWrapperConverter(log, converters == 1 ? 0 : 3);
      RunBatch(hosts[converters], items, dest, converters);
      if (QTest::currentTestFailed()) return;
      // No staging file left.
      QCOMPARE(samples::ListTree(dest), (std::vector<std::string>{"a 1.pdf", "a 2.pdf", "a.pdf", "b.pdf", "blocked",
                                                                   "c.pdf", "sub", "sub/a.pdf", "sub/c.pdf"}));
      if (converters > 1) QVERIFY(samples::MostAtOnce(log) > 1);
    }
    const RecordingHost &serial = hosts[1], &parallel = hosts[4];
    QCOMPARE(parallel.progress, serial.progress);
    QCOMPARE(serial.progress.size(), std::size_t{1 + 9 + 1});  // no step for the blocked item
    QCOMPARE(parallel.alerts, serial.alerts);
    QCOMPARE(serial.alerts.size(), std::size_t{1});
    QCOMPARE(serial.alerts[0].first, ClosingAlert::PartialSuccess);
    QCOMPARE(parallel.finished, serial.finished);
    QCOMPARE(std::get<2>(serial.finished.front()), std::string("a.pdf"));
    QCOMPARE(std::get<2>(serial.finished[3]), std::string("b.pdf"));
    VerifyNothingLeftInTemp();
  }

  // One item is done; one more is converted but waits to be put in place
  // after those before it; three more are in flight (and would never end by
  // themselves) when the user cancels.
  void cancelStopsEveryConversionInFlight() {
    const fs::path dest = Root() / "cancel-out", log = Root() / "cancel.log";
    fs::create_directories(dest);
    const std::vector<FileListItemRef> items =
        Items({"first.ps", "stuck/a.ps", "stuck/b.ps", "x/a.ps", "stuck/c.ps", "later.ps"});
    UseWrapperConverter(log, 0);
    RecordingHost host;
    BatchExport batch(host);
    Start(batch, host, items, dest, 3);
    QTRY_COMPARE_WITH_TIMEOUT(samples::Occurrences(samples::ReadAll(log), "/stuck/"), std::size_t{3}, kDeadline);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(dest / "first.pdf"), kDeadline);
    batch.cancelConversion();
    QTRY_VERIFY_WITH_TIMEOUT(host.ended.load(), kDeadline);

    QCOMPARE(samples::ListTree(dest), std::vector<std::string>{"first.pdf"});
    QVERIFY(samples::QpdfCheckPasses(dest / "first.pdf"));
    QVERIFY(host.alerts.empty());
    // Every item taken up is reported; the one never started is not.
    QCOMPARE(host.finished.size(), std::size_t{5});
    for (std::size_t i = 0; i < 5; ++i) QCOMPARE(std::get<1>(host.finished[i]), i == 0);
    QCOMPARE(std::count(host.started.begin(), host.started.end(), items[5].get()), 0);
    QVERIFY(!batch.isBusy());
    VerifyNothingLeftInTemp();
  }

  void converterCountFitsTheMemory() {
    const auto clamped = ChooseConverterCount(8, 4096, 10000);
    QVERIFY(clamped.count == 2 && clamped.note.find("not 8") != std::string::npos);
    QCOMPARE(ChooseConverterCount(3, 4096, 100).count, std::size_t{1});
    QCOMPARE(ChooseConverterCount(4, 4096, std::nullopt).count, std::size_t{4});
    QVERIFY(ChooseConverterCount(4, 4096, 20000).note.empty());
    QVERIFY(ChooseConverterCount(0, 1, 1u << 30).count >= 1);
    // The window and the watch service take their number from the user's
    // setting; a request of the command line's --jobs still wins.
    qputenv("QUILLPRESS_JOBS", "5");
    QCOMPARE(ChooseConverterCount(0, 1, 1u << 30).count, std::size_t{5});
    QCOMPARE(ChooseConverterCount(3, 1, 1u << 30).count, std::size_t{3});
    qputenv("QUILLPRESS_JOBS", "many");
    QVERIFY(ChooseConverterCount(0, 1, 1u << 30).count >= 1);
    qunsetenv("QUILLPRESS_JOBS");

    // Through the command line: a limit of which only one fits.
    const auto available = AvailableMemoryMiB();
    QVERIFY(available && *available > 16);
    qputenv("QUILLPRESS_PSTOPDF_MEMORY_MIB", QByteArray::number(static_cast<qulonglong>(*available * 3 / 4)));
    const fs::path log = Root() / "memory.log";
    UseWrapperConverter(log, 0);
    QStringList args = {"convert", "--jobs", "4", "-o", samples::Arg(Root() / "memory-out")};
    for (const char* name : {"first.ps", "later.ps", "x/a.ps", "y/a.ps"}) {
      args << samples::Arg(samples::TestFile("data/batch") / name);
    }
    const samples::ProgramRun cli = samples::RunProgram("quillpress-cli", args);
    QCOMPARE(cli.exitCode, 0);
    QVERIFY(cli.output.contains("1 conversion at a time, not 4"));
    QCOMPARE(samples::MostAtOnce(log), 1);
    QCOMPARE(samples::ListTree(Root() / "memory-out").size(), std::size_t{4});
  }

  void aJobCannotReachTheNextOne_data() {
    QTest::addColumn<bool>("ready");
    QTest::newRow("fresh interpreters") << false;
    QTest::newRow("ready interpreters") << true;
  }

  // The first job tries to change what the interpreter does for later jobs
  // and to leave files where a later job could find them (beside its input,
  // the converter's test shows, it cannot write); the second job's PDF must
  // be the one it gives alone.
  void aJobCannotReachTheNextOne() {
    QFETCH(bool, ready);
    if (ready) {
      qputenv("QUILLPRESS_PSTOPDF_READY", "require");
    }
    const fs::path hostile = samples::TestFile("data/state-hostile.ps");
    const fs::path victim = samples::TestFile("data/state-victim.ps");
    const fs::path reference = Root() / (ready ? "state-alone-ready" : "state-alone") / "state-victim.pdf";
    RecordingHost alone;
    RunBatch(alone, {std::make_shared<FileListItem>(victim)}, reference.parent_path(), 1);
    QCOMPARE(samples::PdfPageSizes(reference), (samples::Sizes{{500, 400}}));
    QVERIFY(!samples::PdfFontNames(reference).empty());

    for (const std::size_t converters : {std::size_t{1}, std::size_t{2}}) {
      const fs::path dest = Root() / ((ready ? "state-ready-" : "state-") + std::to_string(converters));
      std::vector<FileListItemRef> items;
      for (int i = 0; i < 6; ++i) items.push_back(std::make_shared<FileListItem>(i % 2 ? victim : hostile));
      RecordingHost host;
      RunBatch(host, items, dest, converters);
      for (const char* name : {"state-victim.pdf", "state-victim 1.pdf", "state-victim 2.pdf"}) {
        QCOMPARE(samples::PdfPageSizes(dest / name), (samples::Sizes{{500, 400}}));
        QCOMPARE(samples::PdfFontNames(dest / name), samples::PdfFontNames(reference));
      }
    }
    QVERIFY(!fs::exists("/tmp/quillpress-shared-state"));
    VerifyNothingLeftInTemp();
  }
};

QTEST_GUILESS_MAIN(ParallelConversion)
#include "tst_parallel_conversion.moc"
