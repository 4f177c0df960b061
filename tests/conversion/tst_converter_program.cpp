// The converter program on real PostScript: pages, EPS boxes, failures,
// limits, and hostile jobs against the barrier around them.

#include "PostScriptSamples.h"
#include "conversion/ConverterProcess.h"
#include "conversion/LeftoverFiles.h"

#include <QLocalServer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <linux/landlock.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

// Makes a temporary file, which its private folder then holds, and never ends.
const std::string kForeverWithATemporaryFile = "%!PS\nnull (w) .tempfile pop pop\n{} loop\n";

struct Run {
  int exitCode = -1;
  QByteArray errors;
};

bool KernelHasLandlock() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) > 0;
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether a running process has marker among its arguments.
bool ProcessWithArgumentRuns(const std::string& marker) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string cmdline = ReadAll(entry.path() / "cmdline");
    if (cmdline.find(marker) != std::string::npos) {
      // A zombie has no arguments left; one that has them still runs.
      return true;
    }
  }
  return false;
}

}  // namespace

class ConverterProgram : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_tmp;  // TMPDIR of every run, to see what is left there

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

  Run Convert(const fs::path& input, const fs::path& output, const QStringList& extra = {},
              const std::string& program = "pstopdf",
              const QStringList& environment = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
    for (const QString& setting : environment) {
      env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    }
    p.setProcessEnvironment(env);
    QStringList args{QFile::decodeName(input.c_str()), QStringLiteral("-o"),
                     QFile::decodeName(output.c_str())};
    p.start(QFile::decodeName((samples::BinDir() / program).c_str()), args + extra);
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

  void hostileJobChangesAndReadsNothingOutsideItsFolder_data() {
    QTest::addColumn<std::string>("program");
    QTest::newRow("SAFER and the system's barrier") << std::string("pstopdf");
    // Shows what the operating system's barrier stops by itself, should a
    // job ever escape SAFER.
    QTest::newRow("the system's barrier alone") << std::string("pstopdf-without-safer");
  }

  void hostileJobChangesAndReadsNothingOutsideItsFolder() {
    QFETCH(std::string, program);
    if (!fs::exists(samples::BinDir() / program)) {
      QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER (scripts/test.sh turns it on)");
    }
    const bool withoutSafer = program != "pstopdf";
    const bool landlock = KernelHasLandlock();
    const std::string tmp = m_tmp.path().toStdString();
    const fs::path input = Root() / "hostile.ps";
    const fs::path victim = Root() / "victim.txt";
    const fs::path secret = Root() / "secret.txt";
    const fs::path tmpVictim = tmp + "/tmp-victim.txt";
    const std::vector<fs::path> planted = {Root() / "planted.txt", tmp + "/planted",
                                           Root() / "planted-by-a-program"};
    samples::WriteFile(victim, "keep me");
    samples::WriteFile(tmpVictim, "keep me too");
    samples::WriteFile(secret, "SECRET-OF-THE-USER");
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    const std::string port = std::to_string(listener.serverPort());
    auto attempt = [](const std::string& what) { return "{ " + what + " } stopped pop\n"; };
    std::string job = "%!PS\n";
    // Its own input, by every name it may find: the path it was given, and
    // the descriptors the interpreter holds.
    job += attempt("(" + input.string() + ") (a) file (APPENDED) writestring");
    job += attempt("(" + input.string() + ") (r+) file (OVERWRITTEN) writestring");
    job += attempt("(" + input.string() + ") deletefile");
    job += attempt("(" + input.string() + ") (" + input.string() + ".moved) renamefile");
    job += "0 1 31 { /n exch def n 3 ge {\n";
    job += attempt("(/proc/self/fd/) n 3 string cvs concatstrings (a) file (APPENDED) writestring");
    job += attempt("(/dev/fd/) n 3 string cvs concatstrings (a) file (APPENDED) writestring");
    job += "} if } for\n";
    // Files outside, to change, plant, read.
    job += attempt("(" + victim.string() + ") deletefile");
    job += attempt("(" + tmpVictim.string() + ") deletefile");
    job += attempt("(" + planted[0].string() + ") (w) file (x) writestring");
    job += attempt("(" + planted[1].string() + ") (w) file (x) writestring");
    for (const std::string& file : {secret.string(), std::string("/etc/passwd")}) {
      job += attempt("(" + file + ") (r) file 200 string readstring pop (READ:) print print (\\n) print");
    }
    // A program, and through one a connection.
    job += attempt("(%pipe%touch " + planted[2].string() + ") (w) file closefile");
    job += attempt("(%pipe%bash -c 'echo x > /dev/tcp/127.0.0.1/" + port + "') (w) file closefile");
    job += "(JOB-END\n) print\n";
    job += "72 72 moveto /Helvetica findfont 12 scalefont setfont (done) show showpage\n";
    samples::WriteFile(input, job);

    const Run run = Convert(input, Root() / "hostile.pdf", {}, program);
    QVERIFY2(run.errors.contains("JOB-END"), run.errors.constData());  // it tried everything
    QVERIFY(!fs::exists(planted[2]));
    QVERIFY(!listener.waitForNewConnection(0));
    // A kernel without the file barrier is said once.
    QCOMPARE(run.errors.count("pstopdf: note:"), landlock ? 0 : 1);
    if (withoutSafer && !landlock) {
      fs::remove(tmpVictim);
      QSKIP("this kernel has no Landlock: without SAFER nothing guards the files");
    }
    QCOMPARE(ReadAll(input), job);
    QVERIFY(!fs::exists(input.string() + ".moved"));
    QCOMPARE(ReadAll(victim), std::string("keep me"));
    QCOMPARE(ReadAll(tmpVictim), std::string("keep me too"));
    for (const fs::path& file : planted) QVERIFY2(!fs::exists(file), file.c_str());
    QVERIFY(!run.errors.contains("READ:"));
    fs::remove(tmpVictim);
    VerifyTempFolderEmpty();
  }

  void activeContentNeverReachesThePdf() {
    const fs::path ps = Root() / "active.ps";
    samples::WriteFile(ps, samples::PostScriptWithActiveContent());
    const fs::path pdf = Root() / "active.pdf";
    const Run run = Convert(ps, pdf);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(samples::ActiveContentIn(pdf), std::vector<std::string>{});
    QCOMPARE(samples::PdfPageSizes(pdf).size(), std::size_t(1));
    QVERIFY(samples::QpdfCheckPasses(pdf));
    for (const char* said : {"pstopdf: warning: removed 1 JavaScript action from the PDF",
                             "pstopdf: warning: removed 1 launch action from the PDF",
                             "pstopdf: warning: removed 1 embedded file from the PDF"}) {
      QVERIFY2(run.errors.contains(said), run.errors.constData());
    }
    VerifyTempFolderEmpty();
  }

  void jobsOverALimitAreStopped_data() {
    QTest::addColumn<std::string>("job");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("reason");
    const std::string write = "%!PS\n/buf 65536 string def\n";
    // 8 MiB into one temporary file; 9 MiB through files of 1.5 MiB that it
    // removes as it goes, so that its folder never holds much at once.
    const std::string oneLargeFile =
        write + "null (w) .tempfile /f exch def pop 128 { f buf writestring } repeat f closefile\n";
    const std::string manySmallFiles =
        write + "6 { null (w) .tempfile /f exch def /n exch def\n"
                "24 { f buf writestring } repeat f closefile n deletefile } repeat\n";
    const QStringList none;
    QTest::newRow("endless") << std::string("%!PS\n{} loop\n")
                             << QStringList{"--cpu-seconds", "1"} << none << QByteArray("CPU time");
    QTest::newRow("greedy")
        << std::string("%!PS\n/a [ { 100000 string } 100000 { dup exec exch } repeat ] def\n")
        << QStringList{"--memory-mib", "300"} << none << QByteArray();
    QTest::newRow("one large file") << oneLargeFile << QStringList{"--max-output-mib", "4"} << none
                                    << QByteArray("more than 4 MiB, its output limit");
    QTest::newRow("many files in turn") << manySmallFiles << QStringList{"--max-output-mib", "4"}
                                        << none << QByteArray("more than 4 MiB, its output limit");
    QTest::newRow("output limit from the environment")
        << oneLargeFile << none << QStringList{"QUILLPRESS_PSTOPDF_MAX_OUTPUT_MIB=4"}
        << QByteArray("more than 4 MiB, its output limit");
  }

  void jobsOverALimitAreStopped() {
    QFETCH(std::string, job);
    QFETCH(QStringList, options);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, reason);
    const fs::path ps = Root() / "over.ps";
    samples::WriteFile(ps, job + "72 72 moveto /Helvetica findfont 12 scalefont setfont (x) show showpage\n");
    const fs::path pdf = Root() / "over.pdf";
    const Run run = Convert(ps, pdf, options, "pstopdf", environment);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.errors.contains(reason), run.errors.constData());
    QVERIFY(!fs::exists(pdf));
    VerifyTempFolderEmpty();
  }

  void refusesWhatItCannotRead_data() {
    QTest::addColumn<std::string>("kind");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("missing") << std::string("missing") << QByteArray("No such file");
    QTest::newRow("folder") << std::string("folder") << QByteArray("it is a folder");
    QTest::newRow("named pipe") << std::string("fifo") << QByteArray("it is a named pipe");
    QTest::newRow("device") << std::string("device") << QByteArray("it is a character device");
    QTest::newRow("socket") << std::string("socket") << QByteArray("it is a socket");
  }

  void refusesWhatItCannotRead() {
    // At once: a pipe nobody writes to, or an endless device, would
    // otherwise hold the converter before any limit applies.
    QFETCH(std::string, kind);
    QFETCH(QByteArray, reason);
    fs::path input = Root() / "inputs" / (kind + ".ps");
    fs::create_directories(input.parent_path());
    QLocalServer socket;
    if (kind == "folder") fs::create_directories(input);
    if (kind == "fifo") QCOMPARE(mkfifo(input.c_str(), 0600), 0);
    if (kind == "device") input = "/dev/zero";
    if (kind == "socket") QVERIFY(socket.listen(QFile::decodeName(input.c_str())));
    const Run run = Convert(input, Root() / "inputs" / "out.pdf");
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.errors.contains("cannot read " + QByteArray(input.c_str())), run.errors.constData());
    QVERIFY2(run.errors.contains(reason), run.errors.constData());
    QVERIFY(!fs::exists(Root() / "inputs" / "out.pdf"));
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
    samples::WriteFile(loop, kForeverWithATemporaryFile);
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
      // Its temporary file is made once the interpreter runs.
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
    p.start(program, {QStringLiteral("/etc/hostname")});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.exitCode(), 2);
    p.start(program, {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().contains("--max-output-mib"));
  }

  void killedCallerTakesTheConverterAlong() {
    // The command line converts; it is killed outright while the job runs.
    const fs::path input = Root() / "caller-killed-forever.ps";
    samples::WriteFile(input, kForeverWithATemporaryFile);
    QProcess caller;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
    caller.setProcessEnvironment(env);
    caller.start(QFile::decodeName((samples::BinDir() / "quillpress-cli").c_str()),
                 {QStringLiteral("convert"), QFile::decodeName(input.c_str()), QStringLiteral("-o"),
                  QFile::decodeName((Root() / "caller-killed").c_str())});
    QVERIFY(caller.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).size() >= 2, 60000);
    QVERIFY(ProcessWithArgumentRuns(input.string()));
    caller.kill();
    QVERIFY(caller.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!ProcessWithArgumentRuns(input.string()), 30000);
    QVERIFY(samples::ListTree(Root() / "caller-killed").empty());
    VerifyTempFolderEmpty();
  }

  void leftoversOfKilledRunsAreRemoved() {
    // Named as a process that has ended (no process id reaches pid_max), as
    // this live one, and as nobody of ours.
    const std::string live = OwnerTag();
    const std::string boot = live.substr(0, live.find('.'));
    const std::string pidMax = ReadAll("/proc/sys/kernel/pid_max");
    const std::string ended = boot + "." + std::to_string(std::stol(pidMax)) + ".1";
    const fs::path tmp = m_tmp.path().toStdString();
    const fs::path deadFolder = tmp / ("pstopdf-" + ended + "-AbCdEf");
    const fs::path liveFolder = tmp / ("pstopdf-" + live + "-GhIjKl");
    const fs::path foreign = tmp / "pstopdf-not-ours";
    for (const fs::path& folder : {deadFolder, liveFolder, foreign}) {
      samples::WriteFile(folder / "out.pdf", "partial");
    }
    const fs::path ps = Root() / "after-a-kill.ps";
    samples::WriteFile(ps, samples::OnePagePostScript());
    QCOMPARE(Convert(ps, Root() / "after-a-kill.pdf").exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(deadFolder), 30000);
    QVERIFY(fs::exists(liveFolder / "out.pdf"));
    QVERIFY(fs::exists(foreign / "out.pdf"));
    fs::remove_all(liveFolder);
    fs::remove_all(foreign);
    VerifyTempFolderEmpty();
  }
};

QTEST_GUILESS_MAIN(ConverterProgram)
#include "tst_converter_program.moc"
