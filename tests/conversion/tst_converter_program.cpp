// The converter program on real PostScript: pages, EPS boxes, failures,
// limits and hostile jobs.

#include "PostScriptSamples.h"
#include "conversion/ConverterProcess.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Run {
  int exitCode = -1;
  QByteArray errors;
};

}  // namespace

class ConverterProgram : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_tmp;  // TMPDIR of every run, to see what is left there

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

  Run Convert(const fs::path& input, const fs::path& output, const QStringList& extra = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
    p.setProcessEnvironment(env);
    QStringList args{QFile::decodeName(input.c_str()), QStringLiteral("-o"),
                     QFile::decodeName(output.c_str())};
    p.start(QFile::decodeName((samples::BinDir() / "pstopdf").c_str()), args + extra);
    if (!p.waitForFinished(120000)) return {};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardError()};
  }

  // Runs a producer program with its input on stdin into a .ps file.
  fs::path Produce(const QString& program, const QStringList& args, const QByteArray& input,
                   const std::string& name) {
    if (QStandardPaths::findExecutable(program).isEmpty()) return {};
    const fs::path out = Root() / name;
    QProcess p;
    p.setStandardOutputFile(QFile::decodeName(out.c_str()));
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return {};
    return out;
  }

  // A converter that was stopped leaves the removal to its watchdog, which
  // may finish a moment after the converter has ended.
  void VerifyTempFolderEmpty() {
    QTRY_VERIFY2_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).empty(),
                              "the converter left files in its temporary folder", 30000);
  }

 private Q_SLOTS:
  void keepsEveryPageAndItsSize() {
    const fs::path ps = Root() / "pages.ps";
    samples::WriteFile(ps, samples::PostScriptWithPages({{612, 792}, {595, 842}, {300, 200}}));
    const fs::path pdf = Root() / "pages.pdf";
    const Run run = Convert(ps, pdf);
    QCOMPARE(run.exitCode, 0);
    const auto pages = samples::PdfPageSizes(pdf);
    QCOMPARE(pages.size(), std::size_t(3));
    QCOMPARE(pages[0].width, 612.0);
    QCOMPARE(pages[1].height, 842.0);
    QCOMPARE(pages[2].width, 300.0);
    QCOMPARE(pages[2].height, 200.0);
    QVERIFY(samples::QpdfCheckPasses(pdf));
    VerifyTempFolderEmpty();
  }

  void epsGetsThePageOfItsBoundingBox() {
    const fs::path eps = Root() / "figure.eps";
    samples::WriteFile(eps, samples::EpsWithBox(100, 200, 250, 260));
    const fs::path pdf = Root() / "figure.pdf";
    QCOMPARE(Convert(eps, pdf).exitCode, 0);
    const auto pages = samples::PdfPageSizes(pdf);
    QCOMPARE(pages.size(), std::size_t(1));
    QCOMPARE(pages[0].width, 150.0);
    QCOMPARE(pages[0].height, 60.0);
    QVERIFY(samples::QpdfCheckPasses(pdf));
  }

  void convertsWhatOtherProgramsWrite_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("minPages");
    QByteArray text;
    for (int i = 0; i < 150; ++i) text += "Line " + QByteArray::number(i) + " of a long listing.\n";
    QTest::newRow("groff") << "groff" << QStringList{"-ms", "-Tps"}
                           << QByteArray(".TL\nA report\n.PP\n.nf\n") + text << 2;
    QTest::newRow("enscript") << "enscript" << QStringList{"-q", "-p", "-"} << text << 2;
    QTest::newRow("a2ps") << "a2ps" << QStringList{"-q", "-o", "-", "--stdin=listing"} << text << 1;
    QTest::newRow("gnuplot") << "gnuplot" << QStringList{}
                             << QByteArray("set terminal postscript eps\nplot sin(x)\n") << 1;
  }

  void convertsWhatOtherProgramsWrite() {
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, minPages);
    const fs::path ps = Produce(program, args, input, program.toStdString() + ".ps");
    if (ps.empty()) QSKIP("producer not installed (scripts/setup-deps.sh installs it)");
    const fs::path pdf = Root() / (program.toStdString() + ".pdf");
    const Run run = Convert(ps, pdf);
    QVERIFY2(run.exitCode == 0, run.errors.constData());
    const auto pages = samples::PdfPageSizes(pdf);
    QVERIFY(pages.size() >= std::size_t(minPages));
    QVERIFY(samples::QpdfCheckPasses(pdf));
  }

  void interpreterErrorLeavesNoOutput() {
    // A page is written before the error: the output must still not appear.
    const fs::path ps = Root() / "broken.ps";
    samples::WriteFile(ps, "%!PS\n72 72 moveto (one) show showpage\n/undefinedthing load\n");
    const fs::path pdf = Root() / "broken.pdf";
    const Run run = Convert(ps, pdf);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.errors.contains("undefined"));
    QVERIFY(!fs::exists(pdf));

    const fs::path truncated = Root() / "truncated.ps";
    samples::WriteFile(truncated, "%!PS\n/p { 72 72 moveto (x) show showpage } def p p\n/q { 1 2 \n");
    QCOMPARE(Convert(truncated, pdf).exitCode, 1);
    QVERIFY(!fs::exists(pdf));

    VerifyTempFolderEmpty();
  }

  void hostileJobTouchesNothingOutside() {
    const fs::path victim = Root() / "victim.txt";
    const fs::path planted = Root() / "planted.txt";
    samples::WriteFile(victim, "keep me");
    samples::WriteFile(m_tmp.path().toStdString() + "/tmp-victim.txt", "keep me too");
    const std::string tmpVictim = m_tmp.path().toStdString() + "/tmp-victim.txt";
    const fs::path ps = Root() / "hostile.ps";
    samples::WriteFile(ps, "%!PS\n"
                           "{ (" + victim.string() + ") deletefile } stopped pop\n"
                           "{ (" + tmpVictim + ") deletefile } stopped pop\n"
                           "{ (" + planted.string() + ") (w) file (x) writestring } stopped pop\n"
                           "{ (" + m_tmp.path().toStdString() + "/planted) (w) file (x) writestring } stopped pop\n"
                           "72 72 moveto /Helvetica findfont 12 scalefont setfont (done) show showpage\n");
    const fs::path pdf = Root() / "hostile.pdf";
    Convert(ps, pdf);
    QVERIFY(fs::exists(victim));
    QVERIFY(fs::exists(tmpVictim));
    QVERIFY(!fs::exists(planted));
    QVERIFY(!fs::exists(m_tmp.path().toStdString() + "/planted"));
    fs::remove(tmpVictim);
    VerifyTempFolderEmpty();
  }

  void endlessAndGreedyJobsAreStopped() {
    const fs::path loop = Root() / "loop.ps";
    samples::WriteFile(loop, "%!PS\n{} loop\n");
    const Run endless = Convert(loop, Root() / "loop.pdf", {QStringLiteral("--cpu-seconds"), QStringLiteral("1")});
    QCOMPARE(endless.exitCode, 1);
    QVERIFY(endless.errors.contains("CPU time"));
    QVERIFY(!fs::exists(Root() / "loop.pdf"));

    const fs::path greedy = Root() / "greedy.ps";
    samples::WriteFile(greedy, "%!PS\n/a [ { 100000 string } 100000 { dup exec exch } repeat ] def\n");
    const Run eaten = Convert(greedy, Root() / "greedy.pdf", {QStringLiteral("--memory-mib"), QStringLiteral("300")});
    QVERIFY(eaten.exitCode != 0);
    QVERIFY(!fs::exists(Root() / "greedy.pdf"));
    VerifyTempFolderEmpty();
  }

  void killedConverterLeavesNothingBehind_data() {
    QTest::addColumn<bool>("atOnce");
    // The very moment its private folder appears, before it may know of it.
    QTest::newRow("as its folder appears") << true;
    QTest::newRow("while it interprets") << false;
  }

  void killedConverterLeavesNothingBehind() {
    // Killed outright, the converter can clean up nothing itself.
    QFETCH(bool, atOnce);
    const fs::path loop = Root() / "forever.ps";
    samples::WriteFile(loop, "%!PS\n{} loop\n");
    const int watch = inotify_init1(IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, m_tmp.path().toLocal8Bit().constData(), IN_CREATE) >= 0);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
    p.setProcessEnvironment(env);
    p.start(QFile::decodeName((samples::BinDir() / "pstopdf").c_str()),
            {QFile::decodeName(loop.c_str()), QStringLiteral("-o"),
             QFile::decodeName((Root() / "forever.pdf").c_str())});
    QVERIFY(p.waitForStarted());
    pollfd created{watch, POLLIN, 0};
    const bool appeared = poll(&created, 1, 30000) == 1;
    close(watch);
    QVERIFY(appeared);
    if (!atOnce) {
      // The link to its input is made just before the interpreter starts.
      QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).size() >= 2, 30000);
    }
    p.kill();
    QVERIFY(p.waitForFinished());
    QVERIFY(!fs::exists(Root() / "forever.pdf"));
    VerifyTempFolderEmpty();
  }

  void errorsCloseOnlyOnceTheOutputIsComplete() {
    // A caller starts on the output when our errors close, while we end.
    const fs::path ps = Root() / "long.ps";
    samples::WriteFile(ps, samples::PostScriptWithPages(std::vector<std::pair<int, int>>(40, {612, 792})));
    const fs::path pdf = Root() / "long.pdf";
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    bool completeWhenClosed = true;
    const ProcessOutcome run =
        RunProcess(samples::BinDir() / "pstopdf", {ps.native(), "-o", pdf.native()}, {}, {},
                   [&] { completeWhenClosed = samples::PdfPageSizes(pdf).size() == 40; });
    qunsetenv("TMPDIR");
    QCOMPARE(run.exitStatus, 0);
    QVERIFY(completeWhenClosed);
    QVERIFY(samples::QpdfCheckPasses(pdf));
    VerifyTempFolderEmpty();
  }

  void usageErrors() {
    QProcess p;
    const QString program = QFile::decodeName((samples::BinDir() / "pstopdf").c_str());
    p.start(program, {});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.exitCode(), 2);
    p.start(program, {QStringLiteral("/nonexistent/x.ps"), QStringLiteral("-o"), QStringLiteral("/tmp/x.pdf")});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardError().contains("cannot read"));
    p.start(program, {QStringLiteral("/etc/hostname")});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.exitCode(), 2);
  }
};

QTEST_GUILESS_MAIN(ConverterProgram)
#include "tst_converter_program.moc"
