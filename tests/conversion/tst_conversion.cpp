// Converting one file through the runner: what lands in the destination,
// what never does, and what is cleaned up.

#include "BMTUtil.h"
#include "conversion/ConversionFailureText.h"
#include "conversion/DestinationFolder.h"
#include "conversion/LeftoverFiles.h"
#include "conversion/PostScriptConverter.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <future>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;

class Conversion : public QObject, samples::TestFolders {
  Q_OBJECT

 private:
  fs::path m_out;
  const fs::path m_source = samples::TestFile("data/report.ps");  // two pages

  // A stand-in converter with that shell body, for the runs that follow.
  void UseConverter(const std::string& body) {
    qputenv("QUILLPRESS_PSTOPDF", samples::WriteStandInConverter(Root(), "stand-in", body).c_str());
  }
  // A stand-in's shell lines that write the good PDF as its output, close its
  // errors as pstopdf does once done, and wait (a minute at most) until the
  // PDF has been staged in the output folder meanwhile, noting that it was.
  static std::string DoneButStillRunning() {
    return "cp \"$QP_GOOD_PDF\" \"$3\"; exec 2>&-\n"
           "end=$(( $(date +%s) + 60 ))\n"
           "until ls -A \"$QP_OUT\" | grep -q '^\\.quillpress-'; do [ $(date +%s) -lt $end ] || break; done\n"
           "ls -A \"$QP_OUT\" | grep -q '^\\.quillpress-' && : > \"$QP_OUT.staged-early\"\n";
  }
  bool StagedEarly() const { return fs::exists(m_out.string() + ".staged-early"); }

 private Q_SLOTS:
  void initTestCase() {
    // Real PDFs for stand-ins to hand out: the source's, and another.
    fs::create_directories(Root() / "good");
    const ConversionResult good = ConvertIntoFolder(m_source, Root() / "good");
    const ConversionResult other = ConvertIntoFolder(samples::TestFile("data/hello.ps"), Root() / "good");
    QVERIFY(good.ok && other.ok);
    qputenv("QP_GOOD_PDF", good.writtenPath.c_str());
    qputenv("QP_OTHER_PDF", other.writtenPath.c_str());
  }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    m_out = Root() / "out";
    fs::remove_all(m_out);
    fs::remove(m_out.string() + ".staged-early");
    fs::remove(m_out.string() + ".ignoring");
    fs::create_directories(m_out);
    qputenv("QP_OUT", m_out.c_str());
  }

  // Names are taken when the PDFs are ready, the first free one then:
  // somebody else's file, folder and dangling links that appeared under the
  // chosen names meanwhile, and the other runs, among them sources whose
  // names are hard to pass to a program, or to make a PDF's name of (only
  // the last extension goes).
  void concurrentConversionsNeverReplaceAnything() {
    samples::WriteFile(m_out / "report.pdf", "somebody else's");
    fs::create_directory(m_out / "report 1.pdf");
    for (int n = 3; n <= 10; ++n) fs::create_symlink("nowhere", m_out / ("report " + std::to_string(n) + ".pdf"));
    std::vector<std::pair<fs::path, fs::path>> jobs;  // the source, and the PDF it must give
    for (int n : {2, 11, 12, 13}) jobs.emplace_back(m_source, m_out / ("report " + std::to_string(n) + ".pdf"));
    for (const std::string name : {"my report (final).ps", "it's \"quoted\" $HOME `x`.ps", "Übersicht – 日本.eps",
                                   "caf\xe9\xff.ps", "-o.ps", "chart.final.eps", "noext", ".ps"}) {
      samples::WriteFile(Root() / "names" / name,
                         name.ends_with(".eps") ? samples::EpsWithBox(0, 0, 50, 50) : samples::OnePagePostScript());
      jobs.emplace_back(Root() / "names" / name, m_out / (fs::path(name).stem().string() + ".pdf"));
    }
    // The longest name a folder takes, twice: shortened from the end of its
    // base, never inside a character, keeping the number and the extension.
    const std::string longest = std::string(250, 'a') + "\xc3\xa9.ps";  // 255 bytes, "é" at 250
    for (const std::string& pdf : {std::string(250, 'a') + ".pdf", std::string(249, 'a') + " 1.pdf"}) {
      samples::WriteFile(Root() / pdf / longest, samples::OnePagePostScript());
      jobs.emplace_back(Root() / pdf / longest, m_out / pdf);
    }
    std::vector<ConversionResult> results(jobs.size());
    {
      std::vector<std::jthread> threads;
      for (std::size_t i = 0; i < jobs.size(); ++i) {
        threads.emplace_back([&, i] {
          results[i] = jobs[i].first == m_source ? RunPostScriptConverter(m_source, m_out / "report.pdf")
                                                 : ConvertIntoFolder(jobs[i].first, m_out);
        });
      }
    }
    std::set<fs::path> written, expected;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      QVERIFY2(results[i].ok, ConversionFailureSentence(results[i].failure).c_str());
      written.insert(results[i].writtenPath);
      expected.insert(jobs[i].second);
      QCOMPARE(samples::PdfPageSizes(results[i].writtenPath).size(), std::size_t(jobs[i].first == m_source ? 2 : 1));
      if (jobs[i].first == m_source) QVERIFY(samples::QpdfCheckPasses(results[i].writtenPath));
    }
    QCOMPARE(written, expected);
    QCOMPARE(samples::ListTree(m_out).size(), jobs.size() + 10);  // no staging file left
    QCOMPARE(samples::ReadAll(m_out / "report.pdf"), std::string("somebody else's"));
    VerifyNothingLeftInTemp();
    fs::remove_all(Root() / "names");  // which the temporary folder's removal cannot decode
    // Asked to compress: smaller, the same pages.
    samples::WriteFile(Root() / "big.ps", samples::PostScriptWithPages(std::vector<std::pair<int, int>>(30, {612, 792})));
    const ConversionResult plain = ConvertIntoFolder(Root() / "big.ps", m_out);
    const ConversionResult small = ConvertIntoFolder(Root() / "big.ps", m_out, {.compress = true, .stop = {}});
    QVERIFY(plain.ok && small.ok && fs::file_size(small.writtenPath) < fs::file_size(plain.writtenPath));
    QCOMPARE(samples::PdfPageSizes(small.writtenPath).size(), std::size_t(30));
    QVERIFY(samples::QpdfCheckPasses(small.writtenPath));
  }

  void whatTheConverterDidDecides_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("kind");  // empty: the run succeeds, with a one-page PDF
    QTest::addColumn<QByteArray>("detail");
    auto row = [](const char* name, const std::string& script, const char* kind, const char* detail = "") {
      QTest::newRow(name) << QByteArray::fromStdString(script) << QByteArray(kind) << QByteArray(detail);
    };
    // A converter of the user's own that reports nothing is judged by what
    // its process did; what it said last is only the detail, even when it
    // poses as a report of ours on its standard error.
    row("non-zero exit", "echo 'Error: /bad in x' >&2; printf 'failure cpu-limit\\nend\\n' >&2; exit 3",
        "converter-failed", "end");
    row("partial output, then failure", "printf '%%PDF-1.4 partial' > \"$3\"; exit 1", "converter-failed");
    row("exit 0 without output", "exit 0", "no-output");
    row("empty output", ": > \"$3\"", "no-output", "not a readable PDF");
    row("truncated PDF", "head -c 300 \"$QP_GOOD_PDF\" > \"$3\"", "no-output", "not a readable PDF");
    row("crash", "kill -SEGV $$", "crashed");
    // One that reports as ours does is taken at its word, for its own failure.
    row("reported failure", "printf 'failure cpu-limit\\nlimit 7\\ndetail \\033[2Jslow\\nend\\n' >&3; exit 1",
        "cpu-limit", "[2Jslow");
    // Made while the converter was still running, the PDF is not kept...
    row("done, then failure", DoneButStillRunning() + "exit 1", "converter-failed");
    row("done, then crash", DoneButStillRunning() + "kill -SEGV $$", "crashed");
    // ...and one changed after the errors closed is the one kept.
    row("done, then changed", DoneButStillRunning() + "cp \"$QP_OTHER_PDF\" \"$3.new\" && mv \"$3.new\" \"$3\"", "");
    // Asked to stop once under way, the run ends promptly: an endless job of
    // the real converter, one that ignores the request, also once it has
    // closed its errors, its PDF made meanwhile.
    const std::string stubborn = "trap '' TERM\n: > \"$QP_OUT.ignoring\"\nwhile :; do :; done";
    row("stopped: endless job", "", "cancelled");
    row("stopped: converter that ignores it", stubborn, "cancelled");
    row("stopped: converter that ignores it, once done", DoneButStillRunning() + stubborn, "cancelled");
  }

  void whatTheConverterDidDecides() {
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, kind);
    QFETCH(QByteArray, detail);
    if (!script.isEmpty()) UseConverter(script.toStdString());
    const fs::path source = script.isEmpty() ? samples::TestFile("data/endless.ps") : m_source;
    std::stop_source stop;
    auto run = std::async(std::launch::async, [&] {
      return ConvertIntoFolder(source, m_out, {.stop = stop.get_token()});
    });
    if (kind == "cancelled") {
      // Under way once the stand-in says so, or the converter has made its private folder.
      auto underWay = [&] {
        return script.isEmpty() ? !samples::ListTree(Tmp()).empty() : fs::exists(m_out.string() + ".ignoring");
      };
      const bool wasUnderWay = QTest::qWaitFor(underWay, 30000);
      stop.request_stop();
      QVERIFY(wasUnderWay);
    }
    auto ended = [&] { return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    QVERIFY(QTest::qWaitFor(ended, 120000));
    const ConversionResult result = run.get();
    QCOMPARE(StagedEarly(), script.contains("exec 2>&-"));
    VerifyNothingLeftInTemp();
    if (kind.isEmpty()) {
      QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
      QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{"report.pdf"});
      QCOMPARE(samples::PdfPageSizes(result.writtenPath).size(), std::size_t(1));
      return;
    }
    QVERIFY(!result.ok);
    QCOMPARE(ConversionFailureKindName(result.failure.kind), std::string_view(kind.constData()));
    QVERIFY2(QByteArray::fromStdString(result.failure.detail).contains(detail), result.failure.detail.c_str());
    QCOMPARE(result.failure.file, source);
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{});
  }

  void activeContentIsRemovedAndSaid_data() {
    QTest::addColumn<bool>("byTheConverter");
    QTest::newRow("by the converter") << true;
    // A converter of the user's own that leaves it in: the runner removes it.
    QTest::newRow("by the runner") << false;
  }

  void activeContentIsRemovedAndSaid() {
    QFETCH(bool, byTheConverter);
    const fs::path source = samples::TestFile("data/active-content.ps"), active = Root() / "active-by-gs.pdf";
    const std::vector<std::string> kept = {"Named /NextPage", "http://example.org/", "https://example.org/",
                                           "internal", "mailto:someone@example.org"};
    if (!byTheConverter) {
      QVERIFY(samples::RunTool("gs", {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-o",
                                      samples::Arg(active), samples::Arg(source)}));
      QCOMPARE(samples::ActionsIn(active).active,
               (std::vector<std::string>{"EF", "EmbeddedFile", "GoToE", "GoToR", "ImportData", "JS", "JavaScript",
                                         "Launch", "RichMedia", "SubmitForm", "URI file:///etc/passwd",
                                         "URI javascript:app.alert(1)", "XFA"}));
      UseConverter("cp '" + active.string() + "' \"$3\"");
    }
    const ConversionResult result = ConvertIntoFolder(source, m_out);
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
    QCOMPARE(samples::ActionsIn(result.writtenPath).active, std::vector<std::string>{});
    QCOMPARE(samples::ActionsIn(result.writtenPath).links, kept);
    QCOMPARE(samples::PdfPageSizes(result.writtenPath).size(), std::size_t(2));
    QVERIFY(samples::QpdfCheckPasses(result.writtenPath));
    for (const char* said :
         {"removed 2 JavaScript actions from the PDF", "removed 1 launch action from the PDF",
          "removed 1 embedded file from the PDF", "removed 2 actions that send or fetch form data from the PDF",
          "removed 2 links into other documents from the PDF", "removed 1 rich media item from the PDF",
          "removed 1 XFA form from the PDF", "removed 1 link to an address that is not a web page or mail from the PDF"}) {
      QVERIFY2(std::count(result.warnings.begin(), result.warnings.end(), said) == 1, said);
    }
    // A plain document has nothing to say, even when it prints what looks
    // like the converter's warnings.
    qunsetenv("QUILLPRESS_PSTOPDF");
    QCOMPARE(ConvertIntoFolder(samples::TestFile("data/fake-warnings.ps"), m_out).warnings, std::vector<std::string>{});
    VerifyNothingLeftInTemp();
  }

  // Refused before anything is written: what is not a regular file (without
  // starting the converter, which could wait on it for ever), a converter
  // that is not there, a destination that cannot be made or written.
  void whatCannotBeStartedOrWrittenFails() {
    const fs::path started = Root() / "converter-started", pipe = Root() / "pipe.ps";
    UseConverter(": > '" + started.string() + "'");
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    QCOMPARE(RunPostScriptConverter(pipe, m_out / "pipe.pdf").failure,
             (ConversionFailure{ConversionFailureKind::NotRegularFile, pipe,
                                pipe.string() + " is a named pipe, not a regular file", {}, {}}));
    QCOMPARE(ConvertIntoFolder("/dev/zero", m_out).failure.kind, ConversionFailureKind::NotRegularFile);
    QVERIFY(!fs::exists(started));
    fs::remove(pipe);
    qputenv("QUILLPRESS_PSTOPDF", (Root() / "no-such-converter").c_str());
    QCOMPARE(ConvertIntoFolder(m_source, m_out).failure.kind, ConversionFailureKind::ConverterMissing);
    // A relative path is not taken from the environment: the real one runs.
    qputenv("QUILLPRESS_PSTOPDF", "relative/converter");
    QVERIFY(ConvertIntoFolder(m_source, m_out).ok);
    QCOMPARE(ConvertIntoFolder(m_source, m_out / "missing" / "folder").failure.kind,
             ConversionFailureKind::DestinationProblem);
    QVERIFY(!ConvertIntoFolder(m_source, "/proc/self").ok);
    // A destination folder is made where it can be, from what its caller gives.
    QVERIFY(!DestinationFolderForSource("/proc/quillpress-test", "/D/a.ps", std::nullopt));
    QVERIFY(!DestinationFolderForSource(m_out, "", std::nullopt));
    QVERIFY(!DestinationFolderForSource("", "/a.ps", std::nullopt));
    QCOMPARE(*DestinationFolderForSource(m_out, "/a/b.ps", fs::path("/a/b/c/d")), m_out);  // a parent deeper
    QCOMPARE(samples::ListTree(m_out), std::vector<std::string>{"report.pdf"});
    VerifyNothingLeftInTemp();
  }

  void leftoversOfKilledRunsAreRemoved() {
    // Named as a process that has ended (no process id reaches pid_max), and
    // as this live one.
    const std::string live = OwnerTag();
    long pidMax = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
    const std::string ended = live.substr(0, live.find('.')) + "." + std::to_string(pidMax) + ".1";
    QTemporaryDir tmp;  // a temporary folder no run of this process has seen
    const fs::path tmpFolder = tmp.path().toStdString(), out = Root() / "out-after-a-kill";
    const std::string uuid = "-0A1B2C3D-0000-4000-8000-00000000000";
    // The runner's temporary outputs and staged PDFs, and the converter's
    // private folders.
    const fs::path dead[] = {tmpFolder / ("pstopdf-" + ended + "-AbCdEf") / "out.pdf",
                             tmpFolder / ("quillpress-" + ended + uuid + "0"),
                             out / (".quillpress-" + ended + uuid + "0.part")};
    const fs::path kept[] = {tmpFolder / ("pstopdf-" + live + "-GhIjKl") / "out.pdf", tmpFolder / "pstopdf-not-ours",
                             tmpFolder / ("quillpress-" + live + uuid + "1"),
                             out / (".quillpress-" + live + uuid + "1.part"), out / ".quillpress-not-ours.part"};
    for (const fs::path& file : dead) samples::WriteFile(file, "partial");
    for (const fs::path& file : kept) samples::WriteFile(file, "in use");
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    const ConversionResult result = ConvertIntoFolder(m_source, out);
    qputenv("TMPDIR", Tmp().c_str());
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
    // The converter's watchdog removes them, a moment after the run.
    for (const fs::path& file : dead) QTRY_VERIFY2_WITH_TIMEOUT(!fs::exists(file), file.c_str(), 30000);
    for (const fs::path& file : kept) QVERIFY2(fs::exists(file), file.c_str());
  }

  // What came from a file or a job is shown with its control characters
  // and reordering marks escaped, and bounded (the command line's test shows
  // the words for a failure escaping what the interpreter quoted).
  void hostileTextIsShownEscaped() {
    for (const auto& [text, bound, shown] : std::initializer_list<std::tuple<std::string, std::size_t, std::string>>{
             {"a\nb\r\tc", 0, "a\\nb\\r\\tc"},
             {"\x1b[2J", 0, "\\x1b[2J"},
             {"x\u0085y", 0, "x\\u0085y"},                         // a C1 control
             {"evil\u202Efdp.ps", 0, "evil\\u202efdp.ps"},         // right-to-left override
             {"ééé", 3, "é…"},                                     // bounded at a character
             {"\x1b\x1b", 5, "\\x1b…"},                           // and between escapes
             {"caf\xe9 \u2028.ps", 0, "caf\\xe9 \\u2028.ps"},          // not UTF-8; a line separator
             {"Überschrift “1”.ps", 0, "Überschrift “1”.ps"}}) {
      QCOMPARE(BMTUtil::EscapedForDisplay(text, bound), shown);
    }
  }
};

QTEST_GUILESS_MAIN(Conversion)
#include "tst_conversion.moc"
