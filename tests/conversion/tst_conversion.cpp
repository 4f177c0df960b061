// Converting one file through the runner: what lands in the destination,
// what never does, and what is cleaned up.

#include "BMTUtil.h"
#include "conversion/ConversionFailureText.h"
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
    if (!ended) result.failure = {ConversionFailureKind::Other, source, "the run did not end after the stop", {}, {}};
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
      QVERIFY2(r.ok, ConversionFailureSentence(r.failure).c_str());
      written.insert(r.writtenPath);
    }
    std::set<fs::path> next;  // the free names that come next
    for (int n = 2; n < 2 + kRuns; ++n) next.insert(m_out / ("report " + std::to_string(n) + ".pdf"));
    QCOMPARE(written, next);
    QCOMPARE(int(samples::ListTree(m_out).size()), kRuns + 2);  // no staging file left
    for (const auto& p : written) {
      QCOMPARE(samples::PdfPageSizes(p).size(), std::size_t(2));
      QVERIFY(samples::QpdfCheckPasses(p));
    }
    QCOMPARE(samples::ReadAll(m_out / "report.pdf"), std::string("somebody else's"));
    VerifyNothingLeftInTemp();
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
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
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
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<QByteArray>("detail");
    // A converter of the user's own that reports nothing is judged by what
    // its process did; what it said last is only the detail, even when it
    // poses as a report of ours on its standard error.
    QTest::newRow("non-zero exit")
        << QByteArray("echo 'Error: /bad in x' >&2; printf 'failure cpu-limit\\nend\\n' >&2; exit 3")
        << QByteArray("converter-failed") << QByteArray("end");
    QTest::newRow("partial output, then failure")
        << QByteArray("printf '%%PDF-1.4 partial' > \"$3\"; exit 1") << QByteArray("converter-failed") << QByteArray();
    QTest::newRow("exit 0 without output") << QByteArray("exit 0") << QByteArray("no-output") << QByteArray();
    QTest::newRow("empty output") << QByteArray(": > \"$3\"") << QByteArray("no-output") << QByteArray("not a readable PDF");
    QTest::newRow("truncated PDF")
        << QByteArray("head -c 300 \"$QP_GOOD_PDF\" > \"$3\"") << QByteArray("no-output") << QByteArray("not a readable PDF");
    QTest::newRow("crash") << QByteArray("kill -SEGV $$") << QByteArray("crashed") << QByteArray();
    // One that reports as ours does is taken at its word, for its own failure.
    QTest::newRow("reported failure")
        << QByteArray("printf 'failure cpu-limit\\nlimit 7\\ndetail \\033[2Jslow\\nend\\n' >&3; exit 1")
        << QByteArray("cpu-limit") << QByteArray("[2Jslow");
    // Made while the converter was still running, the PDF is not kept.
    QTest::newRow("done, then failure")
        << QByteArray::fromStdString(DoneButStillRunning() + "exit 1") << QByteArray("converter-failed") << QByteArray();
    QTest::newRow("done, then crash")
        << QByteArray::fromStdString(DoneButStillRunning() + "kill -SEGV $$") << QByteArray("crashed") << QByteArray();
  }

  void converterFailuresLeaveNothing() {
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, kind);
    QFETCH(QByteArray, detail);
    const fs::path good = GoodPdf();
    QVERIFY(!good.empty());
    UseConverter(samples::WriteStandInConverter(Root(), "fake-converter", script.toStdString()));
    const ConversionResult result = ConvertIntoFolder(m_source, m_out);
    QVERIFY(!result.ok);
    QCOMPARE(ConversionFailureKindName(result.failure.kind), std::string_view(kind.constData()));
    QVERIFY2(QByteArray::fromStdString(result.failure.detail).contains(detail), result.failure.detail.c_str());
    QCOMPARE(result.failure.file, m_source);
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
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
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
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
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
    QCOMPARE(RunPostScriptConverter(pipe, m_out / "pipe.pdf").failure,
             (ConversionFailure{ConversionFailureKind::NotRegularFile, pipe,
                                pipe.string() + " is a named pipe, not a regular file", {}, {}}));
    QCOMPARE(ConvertIntoFolder("/dev/zero", m_out).failure.kind, ConversionFailureKind::NotRegularFile);
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
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
    // The converter's watchdog removes them, a moment after the run.
    for (const fs::path& file : dead) QTRY_VERIFY2_WITH_TIMEOUT(!fs::exists(file), file.c_str(), 30000);
    for (const fs::path& file : kept) QVERIFY2(fs::exists(file), file.c_str());
  }

  void whatCannotBeStartedOrWrittenFails() {
    UseConverter(Root() / "no-such-converter");
    const ConversionResult missing = ConvertIntoFolder(m_source, m_out);
    QCOMPARE(missing.failure.kind, ConversionFailureKind::ConverterMissing);
    // A relative path is not taken from the environment: the real one runs.
    qputenv("QUILLPRESS_PSTOPDF", "relative/converter");
    QVERIFY(ConvertIntoFolder(m_source, m_out).ok);
    const ConversionResult gone = ConvertIntoFolder(m_source, m_out / "missing" / "folder");
    QCOMPARE(gone.failure.kind, ConversionFailureKind::DestinationProblem);
    QVERIFY(!ConvertIntoFolder(m_source, "/proc/self").ok);
    VerifyNothingLeftInTemp();
  }

  // What came from a file or a job is shown with its control characters
  // and reordering marks escaped, and bounded.
  void hostileTextIsShownEscaped_data() {
    QTest::addColumn<std::string>("text");
    QTest::addColumn<int>("bound");
    QTest::addColumn<std::string>("shown");
    QTest::newRow("line breaks") << std::string("a\nb\r\tc") << 0 << std::string("a\\nb\\r\\tc");
    QTest::newRow("terminal escape") << std::string("\x1b[2J") << 0 << std::string("\\x1b[2J");
    QTest::newRow("C1 control") << std::string("x\u0085y") << 0 << std::string("x\\u0085y");
    QTest::newRow("right-to-left override") << std::string("evil\u202Efdp.ps") << 0
                                            << std::string("evil\\u202efdp.ps");
    QTest::newRow("bounded at a character") << std::string("ééé") << 3 << std::string("é…");
    QTest::newRow("plain") << std::string("Überschrift “1”.ps") << 0 << std::string("Überschrift “1”.ps");
  }

  void hostileTextIsShownEscaped() {
    QFETCH(std::string, text);
    QFETCH(int, bound);
    QFETCH(std::string, shown);
    QCOMPARE(BMTUtil::EscapedForDisplay(text, static_cast<std::size_t>(bound)), shown);
    // The words for a failure escape what the interpreter quoted from the file.
    const ConversionFailure failure{ConversionFailureKind::InterpreterError, "x.ps",
                                    "Error: /undefined in " + text.substr(0, text.find(' ')), {}, 4};
    const ConversionFailureText words = DescribeConversionFailure(failure);
    QVERIFY2(words.reason.find("line 4") != std::string::npos, words.reason.c_str());
    for (const char c : words.reason + words.details) QVERIFY(static_cast<unsigned char>(c) >= 0x20);
    QVERIFY(words.reason.find("\u202E") == std::string::npos);
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
    const ConversionResult stopped = ConvertAndStop(source, underWay);
    QCOMPARE(stopped.failure.kind, ConversionFailureKind::Cancelled);
    QCOMPARE(StagedEarly(), converter.find("exec 2>&-") != std::string::npos);
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{});
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).empty(), 30000);
    if (!good.empty()) fs::remove(good);
  }
};

QTEST_GUILESS_MAIN(Conversion)
#include "tst_conversion.moc"
