// Several conversions at once, through the batch and the command line: the
// result must be the one a run of one file after another gives, a cancel
// must end every conversion in flight without leaving anything, the memory
// bound must hold, and no job may reach the next one.

#include "conversion/BatchExport.h"
#include "conversion/ConversionPool.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <map>
#include <mutex>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

// Everything a batch tells its host, in the order told.
class RecordingHost : public BatchExportHost {
 public:
  struct Item {
    std::size_t index;
    bool ok;
    std::string written;  // relative to the destination
    bool operator==(const Item&) const = default;
  };

  bool BeginProgressSheet(std::int64_t) override { return true; }
  bool ChangeProgressStatus(ExportProgress step, const fs::path& fileName) override {
    std::lock_guard lock(m_mutex);
    progress.push_back(std::to_string(static_cast<int>(step)) + " " + fileName.string());
    return true;
  }
  bool EndProgressSheet() override { return true; }
  bool ShowClosingAlert(ClosingAlert shown, const fs::path& first, const fs::path&) override {
    std::lock_guard lock(m_mutex);
    alerts.push_back({shown, first});
    return true;
  }
  void ItemStarted(const FileListItemRef& item) override {
    std::lock_guard lock(m_mutex);
    ++started[item.get()];
  }
  void ItemFinished(const FileListItemRef& item, const ConversionResult& result) override {
    std::lock_guard lock(m_mutex);
    std::size_t index = 0;
    while (index < items.size() && items[index].get() != item.get()) ++index;
    const std::string written = result.ok ? result.writtenPath.lexically_relative(destination).string()
                                          : std::string();
    finished.push_back({index, result.ok, written});
  }
  void BatchEnded() override { ended = true; }

  std::vector<FileListItemRef> items;
  fs::path destination;
  std::mutex m_mutex;
  std::vector<std::string> progress;
  std::vector<std::pair<ClosingAlert, fs::path>> alerts;
  std::map<const FileListItem*, int> started;
  std::vector<Item> finished;
  std::atomic<bool> ended = false;
};

}  // namespace

class ParallelConversion : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_tmp;
  QTemporaryDir m_runtime;

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

  // A converter that logs its start and end to log and runs the real one;
  // a file whose path holds "/held/" first waits until holdUntil files have
  // ended; one whose path holds "/stuck/" writes part of its output and
  // never ends by itself.
  fs::path WrapperConverter(const fs::path& log, int holdUntil) {
    return samples::LoggingConverter(
        Root(), "logging-pstopdf-" + std::to_string(holdUntil), log, "/held/", holdUntil,
        "case \"$1\" in *'/stuck/'*) printf '%%PDF-1.4 partial' > \"$3\"; while :; do sleep 0.02; done;; esac\n");
  }

  // Runs a batch of items into destination with that many converters and
  // waits until it has ended.
  void RunBatch(RecordingHost& host, const std::vector<FileListItemRef>& items,
                const fs::path& destination, std::size_t converters) {
    host.items = items;
    host.destination = destination;
    BatchExport batch(host);
    batch.setConcurrentConversions(converters);
    QVERIFY(batch.Start(items, destination, false));
    QTRY_VERIFY_WITH_TIMEOUT(host.ended.load(), kDeadline);
  }

  void VerifyNothingLeftInTemp() {
    QCOMPARE(samples::ListTree(m_tmp.path().toStdString()), std::vector<std::string>{});
  }

  static std::string Good() { return samples::OnePagePostScript(); }
  static std::string Bad() { return "%!PS-Adobe-3.0\n/undefinedname-here cvx exec\nshowpage\n"; }

 private Q_SLOTS:
  void initTestCase() {
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
  }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    qunsetenv("QUILLPRESS_PSTOPDF_MEMORY_MIB");
    qputenv("QUILLPRESS_PSTOPDF_READY", "0");
  }

  void cleanupTestCase() {
    // Ready interpreters end once their folder is gone.
    std::error_code ec;
    fs::remove_all(fs::path(m_runtime.path().toStdString()) / "quillpress", ec);
  }

  // Repeated stems, a failure that frees a name, kept trees and an item whose
  // folder cannot be made; the first item is held until three later ones
  // have ended, so that the parallel run finishes them out of order.
  void namesOrderAndProgressAreThoseOfASerialRun() {
    const fs::path in = Root() / "names";
    std::vector<FileListItemRef> items;
    auto add = [&](const fs::path& file, const std::string& ps,
                   std::optional<fs::path> parent = std::nullopt) {
      samples::WriteFile(in / file, ps);
      items.push_back(std::make_shared<FileListItem>(in / file, parent ? std::optional(in / *parent)
                                                                       : std::nullopt));
    };
    add("held/a.ps", samples::PostScriptWithPages({{612, 792}, {300, 300}}));
    add("x/a.ps", Good());
    add("x/b.ps", Bad());                   // fails: b.pdf stays free...
    add("y/b.ps", Good());                  // ...for this one
    add("y/a.ps", Good());
    add("tree/sub/a.ps", Good(), "tree");   // kept tree
    add("tree/sub/c.eps", samples::EpsWithBox(0, 0, 20, 30), "tree");
    add("tree/blocked/d.ps", Good(), "tree");  // its folder is a file
    add("z/a.ps", Bad());
    add("z/c.ps", Good());

    std::map<std::size_t, std::vector<std::string>> trees;
    std::map<std::size_t, RecordingHost> hosts;
    for (const std::size_t converters : {std::size_t{1}, std::size_t{4}}) {
      const fs::path dest = Root() / ("names-out-" + std::to_string(converters));
      samples::WriteFile(dest / "blocked", "a file where a folder would go");
      const fs::path log = Root() / ("names-" + std::to_string(converters) + ".log");
      qputenv("QUILLPRESS_PSTOPDF", WrapperConverter(log, converters == 1 ? 0 : 3).c_str());
      RunBatch(hosts[converters], items, dest, converters);
      if (QTest::currentTestFailed()) return;
      trees[converters] = samples::ListTree(dest);
      if (converters > 1) QVERIFY(samples::MostAtOnce(log) > 1);
      QVERIFY(std::none_of(trees[converters].begin(), trees[converters].end(),
                           [](const std::string& n) { return n.find(".quillpress") != std::string::npos; }));
    }
    const RecordingHost& serial = hosts[1];
    const RecordingHost& parallel = hosts[4];
    QCOMPARE(trees[4], trees[1]);
    QCOMPARE(trees[1], (std::vector<std::string>{"a 1.pdf", "a 2.pdf", "a.pdf", "b.pdf", "blocked",
                                                  "c.pdf", "sub", "sub/a.pdf", "sub/c.pdf"}));
    QCOMPARE(parallel.progress, serial.progress);
    QCOMPARE(serial.progress.size(), std::size_t{1 + 9 + 1});  // no step for the blocked item
    QCOMPARE(parallel.alerts, serial.alerts);
    QCOMPARE(serial.alerts.size(), std::size_t{1});
    QCOMPARE(serial.alerts[0].first, ClosingAlert::PartialSuccess);
    QVERIFY(parallel.finished == serial.finished);
    QCOMPARE(serial.finished.front().written, std::string("a.pdf"));
    QCOMPARE(serial.finished[3].written, std::string("b.pdf"));
    VerifyNothingLeftInTemp();
  }

  // One item is done; three more are in flight (and would never end by
  // themselves) when the user cancels.
  void cancelStopsEveryConversionInFlight() {
    const fs::path in = Root() / "cancel";
    const fs::path dest = Root() / "cancel-out";
    fs::create_directories(dest);
    std::vector<FileListItemRef> items;
    for (const char* name : {"first.ps", "stuck/a.ps", "stuck/b.ps", "stuck/c.ps", "later.ps"}) {
      samples::WriteFile(in / name, Good());
      items.push_back(std::make_shared<FileListItem>(in / name));
    }
    const fs::path log = Root() / "cancel.log";
    qputenv("QUILLPRESS_PSTOPDF", WrapperConverter(log, 0).c_str());

    RecordingHost host;
    host.items = items;
    host.destination = dest;
    BatchExport batch(host);
    batch.setConcurrentConversions(3);
    QVERIFY(batch.Start(items, dest, false));
    auto stuckStarted = [&log] {
      const std::string text = samples::ReadAll(log);
      int n = 0;
      for (auto at = text.find("/stuck/"); at != std::string::npos; at = text.find("/stuck/", at + 1)) ++n;
      return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(stuckStarted(), 3, kDeadline);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(dest / "first.pdf"), kDeadline);
    batch.cancelConversion();
    QTRY_VERIFY_WITH_TIMEOUT(host.ended.load(), kDeadline);

    QCOMPARE(samples::ListTree(dest), std::vector<std::string>{"first.pdf"});
    QVERIFY(samples::QpdfCheckPasses(dest / "first.pdf"));
    QVERIFY(host.alerts.empty());
    // Every item taken up is reported; the one never started is not.
    QCOMPARE(host.finished.size(), std::size_t{4});
    for (std::size_t i = 0; i < 4; ++i) QCOMPARE(host.finished[i].ok, i == 0);
    QCOMPARE(host.started.count(items[4].get()), std::size_t{0});
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
    const std::uint64_t limit = *available * 3 / 4;
    qputenv("QUILLPRESS_PSTOPDF_MEMORY_MIB", QByteArray::number(static_cast<qulonglong>(limit)));
    const fs::path log = Root() / "memory.log";
    qputenv("QUILLPRESS_PSTOPDF", WrapperConverter(log, 0).c_str());
    const fs::path in = Root() / "memory";
    QStringList args = {"convert", "--jobs", "4", "-o", samples::Arg(Root() / "memory-out")};
    for (const char* name : {"a.ps", "b.ps", "c.ps", "d.ps"}) {
      samples::WriteFile(in / name, Good());
      args << samples::Arg(in / name);
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
  // and to leave files where a later job could find them; the second job's
  // PDF must be the one it gives alone.
  void aJobCannotReachTheNextOne() {
    QFETCH(bool, ready);
    if (ready) {
      qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
      qputenv("QUILLPRESS_PSTOPDF_READY", "require");
    }
    const fs::path in = Root() / "state";
    const std::string shared = (Root() / "state" / "shared-state").string();
    const std::string hostile =
        "%!PS-Adobe-3.0\n"
        "{ true 0 startjob pop } stopped pop\n"
        "{ serverdict begin 0 exitserver } stopped pop\n"
        "{ systemdict /showpage { } put } stopped pop\n"
        "{ /Helvetica /Courier findfont definefont pop } stopped pop\n"
        "{ globaldict /Helvetica /Courier findfont put } stopped pop\n"
        "{ userdict /show { pop } put } stopped pop\n"
        "{ << /PageSize [100 100] >> setpagedevice } stopped pop\n"
        "/leave { { (w) file dup (left) writestring closefile } stopped pop } def\n"
        "(" + shared + ") leave (shared-state) leave (../shared-state) leave\n"
        "(/tmp/quillpress-shared-state) leave\n"
        "/Courier findfont 12 scalefont setfont 20 20 moveto (hostile) show showpage\n";
    const std::string victim =
        "%!PS-Adobe-3.0\n"
        "<< /PageSize [500 400] >> setpagedevice /found false def\n"
        "/look { { (r) file closefile /found true def } stopped pop } def\n"
        "(" + shared + ") look (shared-state) look (../shared-state) look\n"
        "(/tmp/quillpress-shared-state) look\n"
        "found { << /PageSize [200 200] >> setpagedevice } if\n"
        "/Helvetica findfont 12 scalefont setfont 20 20 moveto (Page 1) show showpage\n";
    samples::WriteFile(in / "hostile.ps", hostile);
    samples::WriteFile(in / "victim.ps", victim);
    samples::WriteFile(in / "alone" / "victim.ps", victim);

    const fs::path aloneOut = Root() / (ready ? "state-alone-ready" : "state-alone");
    RecordingHost alone;
    RunBatch(alone, {std::make_shared<FileListItem>(in / "alone" / "victim.ps")}, aloneOut, 1);
    const fs::path reference = aloneOut / "victim.pdf";
    QCOMPARE(samples::Rounded(samples::PdfPageSizes(reference)), (samples::Sizes{{500, 400}}));
    QVERIFY(!samples::PdfFontNames(reference).empty());

    for (const std::size_t converters : {std::size_t{1}, std::size_t{2}}) {
      const fs::path dest =
          Root() / ((ready ? "state-ready-" : "state-") + std::to_string(converters));
      RecordingHost host;
      std::vector<FileListItemRef> items;
      for (int i = 0; i < 3; ++i) {
        items.push_back(std::make_shared<FileListItem>(in / "hostile.ps"));
        items.push_back(std::make_shared<FileListItem>(in / "victim.ps"));
      }
      RunBatch(host, items, dest, converters);
      for (const char* name : {"victim.pdf", "victim 1.pdf", "victim 2.pdf"}) {
        QCOMPARE(samples::Rounded(samples::PdfPageSizes(dest / name)), (samples::Sizes{{500, 400}}));
        QCOMPARE(samples::PdfFontNames(dest / name), samples::PdfFontNames(reference));
      }
    }
    QVERIFY(!fs::exists(shared));
    QVERIFY(!fs::exists(Root() / "shared-state"));
    VerifyNothingLeftInTemp();
  }
};

QTEST_GUILESS_MAIN(ParallelConversion)
#include "tst_parallel_conversion.moc"
