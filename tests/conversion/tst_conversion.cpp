// Converting one file through the runner: what lands in the destination,
// what never does, and what is cleaned up.

#include "conversion/LeftoverFiles.h"
#include "conversion/PostScriptConverter.h"
#include "PostScriptSamples.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace fs = std::filesystem;

class Conversion : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_tmp;
  fs::path m_out;
  fs::path m_source;

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  void UseConverter(const fs::path& program) { qputenv("QUILLPRESS_PSTOPDF", program.c_str()); }
  // A stand-in's shell lines that write the good PDF as its output, close its
  // errors as pstopdf does once done, and wait (a minute at most) until the
  // PDF has been staged in the output folder meanwhile, noting that it was.
  static std::string DoneButStillRunning() {
    return "cp \"$QP_GOOD_PDF\" \"$3\"; exec 2>&-\n"
           "end=$(( $(date +%s) + 60 ))\n"
           "until ls -A \"$QP_OUT\" | grep -q '^\\.quillpress-'; do [ $(date +%s) -lt $end ] || break; done\n"
           "ls -A \"$QP_OUT\" | grep -q '^\\.quillpress-' && : > \"$QP_OUT.staged-early\"\n";
  }
  // Converts m_source once into Root(), for stand-ins to hand out.
  fs::path GoodPdf() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    const ConversionResult good = ConvertIntoFolder(m_source, Root());
    if (!good.ok) return {};
    qputenv("QP_GOOD_PDF", good.writtenPath.c_str());
    qputenv("QP_OUT", m_out.c_str());
    return good.writtenPath;
  }
  bool StagedEarly() const { return fs::exists(m_out.string() + ".staged-early"); }
  void VerifyNothingLeftInTemp() {
    QCOMPARE(samples::ListTree(m_tmp.path().toStdString()), std::vector<std::string>{});
  }

  // Starts converting source on a worker, asks it to stop once the converter
  // is under way (underWay says so), and answers the result once the run has
  // ended.
  ConversionResult ConvertAndStop(const fs::path& source, const std::function<bool()>& underWay) {
    std::stop_source stop;
    ConversionOptions options;
    options.stop = stop.get_token();
    std::atomic<bool> done = false;
    ConversionResult result;
    std::thread worker([&] {
      result = ConvertIntoFolder(source, m_out, options);
      done = true;
    });
    if (!QTest::qWaitFor(underWay, 30000)) qWarning("the converter never got under way");
    stop.request_stop();
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, 30000);
    worker.join();
    if (!ended) result.error = "the run did not end after the stop";
    return result;
  }

 private Q_SLOTS:
  void initTestCase() {
    // Temporary outputs and the converter's private folders go here.
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    m_source = Root() / "report.ps";
    samples::WriteFile(m_source, samples::PostScriptWithPages({{612, 792}, {400, 300}}));
  }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    m_out = Root() / "out";
    fs::remove_all(m_out);
    fs::remove(m_out.string() + ".staged-early");
    fs::create_directories(m_out);
  }

  void convertsIntoExactlyOneNewFile() {
    const ConversionResult result = ConvertIntoFolder(m_source, m_out);
    QVERIFY2(result.ok, result.error.c_str());
    QCOMPARE(result.writtenPath, m_out / "report.pdf");
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{"report.pdf"});
    QCOMPARE(samples::PdfPageSizes(result.writtenPath).size(), std::size_t(2));
    QVERIFY(samples::QpdfCheckPasses(result.writtenPath));
    VerifyNothingLeftInTemp();

    QCOMPARE(ConvertIntoFolder(m_source, m_out).writtenPath, m_out / "report 1.pdf");
    QCOMPARE(ConvertIntoFolder(m_source, m_out).writtenPath, m_out / "report 2.pdf");
  }

  // Names are taken when the PDFs are ready: somebody else's file and folder
  // that appeared under the chosen names meanwhile, and the other runs.
  void concurrentConversionsNeverReplaceAnything() {
    samples::WriteFile(m_out / "report.pdf", "somebody else's");
    fs::create_directory(m_out / "report 1.pdf");
    constexpr int kRuns = 6;
    std::vector<std::thread> threads;
    std::vector<ConversionResult> results(kRuns);
    for (int i = 0; i < kRuns; ++i) {
      threads.emplace_back([&, i] {
        results[std::size_t(i)] = RunPostScriptConverter(m_source, m_out / "report.pdf");
      });
    }
    for (auto& t : threads) t.join();
    std::set<fs::path> written;
    for (const auto& r : results) {
      QVERIFY2(r.ok, r.error.c_str());
      written.insert(r.writtenPath);
    }
    QCOMPARE(int(written.size()), kRuns);
    QVERIFY(!written.count(m_out / "report.pdf") && !written.count(m_out / "report 1.pdf"));
    QCOMPARE(int(samples::ListTree(m_out).size()), kRuns + 2);  // no staging file left
    for (const auto& p : written) QCOMPARE(samples::PdfPageSizes(p).size(), std::size_t(2));
    QCOMPARE(samples::ReadAll(m_out / "report.pdf"), std::string("somebody else's"));
  }

  void namesThatAreHardToPass_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("spaces") << QByteArray("my report (final).ps");
    QTest::newRow("quotes") << QByteArray("it's \"quoted\" $HOME `x`.ps");
    QTest::newRow("non-ascii") << QByteArray("Übersicht – 日本.eps");
    QTest::newRow("not utf-8") << QByteArray("caf\xe9\xff.ps");
    QTest::newRow("leading dash") << QByteArray("-o.ps");
  }

  void namesThatAreHardToPass() {
    QFETCH(QByteArray, name);
    const fs::path source = Root() / "names" / name.toStdString();
    samples::WriteFile(source, name.endsWith(".eps") ? samples::EpsWithBox(0, 0, 50, 50)
                                                     : samples::OnePagePostScript());
    const ConversionResult result = ConvertIntoFolder(source, m_out);
    QVERIFY2(result.ok, result.error.c_str());
    std::string expected = name.toStdString();
    expected = expected.substr(0, expected.rfind('.')) + ".pdf";
    QCOMPARE(result.writtenPath, m_out / expected);
    QCOMPARE(samples::PdfPageSizes(result.writtenPath).size(), std::size_t(1));
  }

  void compressedOutputIsSmallerAndEquivalent() {
    std::vector<std::pair<int, int>> pages(30, {612, 792});
    const fs::path big = Root() / "big.ps";
    samples::WriteFile(big, samples::PostScriptWithPages(pages));
    const ConversionResult plain = ConvertIntoFolder(big, m_out);
    const ConversionResult small = ConvertIntoFolder(big, m_out, {.compress = true, .preset = PdfPreset::Faithful, .stop = {}});
    QVERIFY(plain.ok && small.ok);
    QVERIFY(fs::file_size(small.writtenPath) < fs::file_size(plain.writtenPath));
    QCOMPARE(samples::PdfPageSizes(small.writtenPath).size(), std::size_t(30));
    QVERIFY(samples::QpdfCheckPasses(small.writtenPath));
  }

  void converterFailuresLeaveNothing_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("non-zero exit") << QByteArray("echo 'Error: /bad in x' >&2; exit 3") << QByteArray("status 3");
    QTest::newRow("partial output, then failure")
        << QByteArray("printf '%%PDF-1.4 partial' > \"$3\"; exit 1") << QByteArray("status 1");
    QTest::newRow("exit 0 without output") << QByteArray("exit 0") << QByteArray("no output");
    QTest::newRow("empty output") << QByteArray(": > \"$3\"") << QByteArray("not a readable PDF");
    QTest::newRow("truncated PDF")
        << QByteArray("head -c 300 \"$QP_GOOD_PDF\" > \"$3\"") << QByteArray("not a readable PDF");
    QTest::newRow("crash") << QByteArray("kill -SEGV $$") << QByteArray("crashed");
    // Made while the converter was still running, the PDF is not kept.
    QTest::newRow("done, then failure")
        << QByteArray::fromStdString(DoneButStillRunning() + "exit 1") << QByteArray("status 1");
    QTest::newRow("done, then crash")
        << QByteArray::fromStdString(DoneButStillRunning() + "kill -SEGV $$") << QByteArray("crashed");
  }

  void converterFailuresLeaveNothing() {
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, reason);
    const fs::path good = GoodPdf();
    QVERIFY(!good.empty());
    UseConverter(samples::WriteStandInConverter(Root(), "fake-converter", script.toStdString()));
    const ConversionResult result = ConvertIntoFolder(m_source, m_out);
    QVERIFY2(!result.ok && QByteArray::fromStdString(result.error).contains(reason), result.error.c_str());
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{});
    QCOMPARE(StagedEarly(), script.contains("exec 2>&-"));
    VerifyNothingLeftInTemp();
    fs::remove(good);
  }

  void outputChangedAfterItsErrorsClosedIsTheOneKept() {
    const fs::path good = GoodPdf();
    QVERIFY(!good.empty());
    const fs::path onePage = Root() / "one-page.ps";
    samples::WriteFile(onePage, samples::PostScriptWithPages({{300, 200}}));
    const ConversionResult other = ConvertIntoFolder(onePage, Root());
    QVERIFY(other.ok);
    qputenv("QP_OTHER_PDF", other.writtenPath.c_str());
    UseConverter(samples::WriteStandInConverter(
        Root(), "second-thoughts",
        DoneButStillRunning() + "cp \"$QP_OTHER_PDF\" \"$3.new\" && mv \"$3.new\" \"$3\""));
    const ConversionResult result = ConvertIntoFolder(m_source, m_out);
    QVERIFY2(result.ok, result.error.c_str());
    QVERIFY(StagedEarly());
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{"report.pdf"});
    QCOMPARE(samples::PdfPageSizes(result.writtenPath).size(), std::size_t(1));
    VerifyNothingLeftInTemp();
    fs::remove(good);
    fs::remove(other.writtenPath);
  }

  void activeContentIsRemovedAndSaid_data() {
    QTest::addColumn<bool>("byTheConverter");
    QTest::newRow("by the converter") << true;
    // A converter of the user's own that leaves it in: the runner removes it.
    QTest::newRow("by the runner") << false;
  }

  void activeContentIsRemovedAndSaid() {
    QFETCH(bool, byTheConverter);
    const fs::path source = Root() / "active.ps";
    samples::WriteFile(source, samples::PostScriptWithActiveContent());
    const std::vector<std::string> kept = {"Named /NextPage", "http://example.org/",
                                           "https://example.org/", "internal",
                                           "mailto:someone@example.org"};
    if (!byTheConverter) {
      const fs::path active = Root() / "active-by-gs.pdf";
      QVERIFY(samples::RunTool("gs", {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-o",
                                      samples::Arg(active), samples::Arg(source)}));
      QCOMPARE(samples::ActiveContentIn(active),
               (std::vector<std::string>{"EF", "EmbeddedFile", "GoToE", "GoToR", "ImportData", "JS",
                                         "JavaScript", "Launch", "RichMedia", "SubmitForm",
                                         "URI file:///etc/passwd", "URI javascript:app.alert(1)", "XFA"}));
      QCOMPARE(samples::KeptLinksIn(active),
               (std::vector<std::string>{"Named /NextPage", "file:///etc/passwd", "http://example.org/",
                                         "https://example.org/", "internal", "javascript:app.alert(1)",
                                         "mailto:someone@example.org"}));
      qputenv("QP_ACTIVE_PDF", active.c_str());
      UseConverter(samples::WriteStandInConverter(Root(), "keeps-it", "cp \"$QP_ACTIVE_PDF\" \"$3\""));
    }
    const ConversionResult result = ConvertIntoFolder(source, m_out);
    QVERIFY2(result.ok, result.error.c_str());
    QCOMPARE(samples::ActiveContentIn(result.writtenPath), std::vector<std::string>{});
    QCOMPARE(samples::KeptLinksIn(result.writtenPath), kept);
    QCOMPARE(samples::PdfPageSizes(result.writtenPath).size(), std::size_t(2));
    QVERIFY(samples::QpdfCheckPasses(result.writtenPath));
    for (const char* said :
         {"removed 2 JavaScript actions from the PDF", "removed 1 launch action from the PDF",
          "removed 1 embedded file from the PDF",
          "removed 2 actions that send or fetch form data from the PDF",
          "removed 2 links into other documents from the PDF", "removed 1 rich media item from the PDF",
          "removed 1 XFA form from the PDF",
          "removed 1 link to an address that is not a web page or mail from the PDF"}) {
      QVERIFY2(std::count(result.warnings.begin(), result.warnings.end(), said) == 1, said);
    }
    // A plain document has nothing to say, even when it prints what looks
    // like the converter's warnings.
    qunsetenv("QUILLPRESS_PSTOPDF");
    const fs::path posing = Root() / "posing.ps";
    samples::WriteFile(posing, "%!PS\n(%stderr) (w) file dup "
                               "(pstopdf: warning: removed 7 launch actions from the PDF\\n) "
                               "writestring flushfile\n" + samples::OnePagePostScript());
    QCOMPARE(ConvertIntoFolder(posing, m_out).warnings, std::vector<std::string>{});
    VerifyNothingLeftInTemp();
  }

  void whatIsNotARegularFileIsRefusedAtOnce() {
    const fs::path started = Root() / "converter-started";
    UseConverter(samples::WriteStandInConverter(Root(), "records", ": > '" + started.string() + "'"));
    const fs::path pipe = Root() / "pipe.ps";
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    QCOMPARE(RunPostScriptConverter(pipe, m_out / "pipe.pdf").error,
             pipe.string() + " is a named pipe, not a regular file");
    QCOMPARE(ConvertIntoFolder("/dev/zero", m_out).error,
             std::string("/dev/zero is a character device, not a regular file"));
    QVERIFY(!fs::exists(started));
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{});
    fs::remove(pipe);
  }

  void leftoversOfKilledRunsAreRemoved() {
    // Named as a process that has ended (no process id reaches pid_max), and
    // as this live one.
    const std::string live = OwnerTag();
    std::ifstream pidMaxFile("/proc/sys/kernel/pid_max");
    long pidMax = 0;
    pidMaxFile >> pidMax;
    const std::string ended = live.substr(0, live.find('.')) + "." + std::to_string(pidMax) + ".1";
    QTemporaryDir tmp;  // a temporary folder no run of this process has seen
    const fs::path tmpFolder = tmp.path().toStdString();
    const fs::path out = Root() / "out-after-a-kill";
    // The runner's temporary outputs and staged PDFs, and the converter's
    // private folders.
    const std::vector<fs::path> dead = {
        tmpFolder / ("pstopdf-" + ended + "-AbCdEf") / "out.pdf",
        tmpFolder / ("quillpress-" + ended + "-0A1B2C3D-0000-4000-8000-000000000000"),
        out / (".quillpress-" + ended + "-0A1B2C3D-0000-4000-8000-000000000000.part")};
    const std::vector<fs::path> kept = {
        tmpFolder / ("pstopdf-" + live + "-GhIjKl") / "out.pdf", tmpFolder / "pstopdf-not-ours",
        tmpFolder / ("quillpress-" + live + "-0A1B2C3D-0000-4000-8000-000000000001"),
        out / (".quillpress-" + live + "-0A1B2C3D-0000-4000-8000-000000000001.part"),
        out / ".quillpress-not-ours.part"};
    for (const fs::path& file : dead) samples::WriteFile(file, "partial");
    for (const fs::path& file : kept) samples::WriteFile(file, "in use");
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    const ConversionResult result = ConvertIntoFolder(m_source, out);
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    QVERIFY2(result.ok, result.error.c_str());
    // The converter's watchdog removes them, a moment after the run.
    for (const fs::path& file : dead) QTRY_VERIFY2_WITH_TIMEOUT(!fs::exists(file), file.c_str(), 30000);
    for (const fs::path& file : kept) QVERIFY2(fs::exists(file), file.c_str());
  }

  void whatCannotBeStartedOrWrittenFails() {
    UseConverter(Root() / "no-such-converter");
    const ConversionResult missing = ConvertIntoFolder(m_source, m_out);
    QVERIFY(!missing.ok && missing.error.find("could not be started") != std::string::npos);
    // A relative path is not taken from the environment: the real one runs.
    qputenv("QUILLPRESS_PSTOPDF", "relative/converter");
    QVERIFY(ConvertIntoFolder(m_source, m_out).ok);
    const ConversionResult gone = ConvertIntoFolder(m_source, m_out / "missing" / "folder");
    QVERIFY(!gone.ok && gone.error.find("cannot write") != std::string::npos);
    QVERIFY(!ConvertIntoFolder(m_source, "/proc/self").ok);
    VerifyNothingLeftInTemp();
  }

  void stopEndsTheRunPromptly_data() {
    QTest::addColumn<std::string>("converter");  // a stand-in's body; empty: the real one
    QTest::newRow("endless job") << std::string();
    const std::string stubborn = "trap '' TERM\n: > \"$QP_OUT.ignoring\"\nwhile :; do :; done";
    QTest::newRow("converter that ignores it") << stubborn;
    // Also once it has closed its errors, its PDF made meanwhile.
    QTest::newRow("converter that ignores it, once done") << DoneButStillRunning() + stubborn;
  }

  void stopEndsTheRunPromptly() {
    QFETCH(std::string, converter);
    const fs::path good = converter.empty() ? fs::path() : GoodPdf();
    QVERIFY(converter.empty() || !good.empty());
    fs::remove(m_out.string() + ".ignoring");
    fs::path source = m_source;
    std::function<bool()> underWay = [&] { return fs::exists(m_out.string() + ".ignoring"); };
    if (converter.empty()) {
      source = Root() / "loop.ps";
      samples::WriteFile(source, "%!PS\n{} loop\n");
      // Under way once the converter has made its private folder.
      underWay = [&] { return !samples::ListTree(m_tmp.path().toStdString()).empty(); };
    } else {
      UseConverter(samples::WriteStandInConverter(Root(), "stubborn", converter));
    }
    QVERIFY(!ConvertAndStop(source, underWay).ok);
    QCOMPARE(StagedEarly(), converter.find("exec 2>&-") != std::string::npos);
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{});
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).empty(), 30000);
    if (!good.empty()) fs::remove(good);
  }
};

QTEST_GUILESS_MAIN(Conversion)
#include "tst_conversion.moc"
