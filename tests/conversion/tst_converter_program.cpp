// The converter program on real PostScript: pages, failures, limits, hostile
// jobs against the barrier around them, and being killed; and its ready
// interpreters, whose copy gives the PDF a fresh start gives, stays inside
// the same barriers, never reaches the ready interpreter's own files, and
// goes when its caller goes.

#include "BMTUtil.h"
#include "PostScriptSamples.h"
#include "conversion/ConverterInterface.h"
#include "conversion/ConverterProcess.h"
#include "conversion/PostScriptConverter.h"

#include <QDateTime>
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

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>

namespace fs = std::filesystem;

namespace {

using samples::ReadAll;

bool KernelHasLandlock() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) > 0;
}

bool Alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

// Whether a running process has marker among its arguments (a zombie has none left).
bool ProcessWithArgumentRuns(const std::string& marker) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (ReadAll(entry.path() / "cmdline").find(marker) != std::string::npos) return true;
  }
  return false;
}

// A process's name, state and parent, from its stat file; nothing once it
// has gone.
struct ProcessState {
  std::string name;
  char state = 'Z';
  pid_t parent = 0;
};
std::optional<ProcessState> StateOf(const fs::path& process) {
  const std::string stat = ReadAll(process / "stat");
  // The name may hold anything, up to its last parenthesis.
  const auto open = stat.find('('), close = stat.rfind(')');
  ProcessState p;
  if (open == std::string::npos || close == std::string::npos || close < open ||
      std::sscanf(stat.c_str() + close + 1, " %c %d", &p.state, &p.parent) != 2) {
    return std::nullopt;
  }
  p.name = stat.substr(open + 1, close - open - 1);
  return p;
}

// Whether a process that has not ended has parent as its parent. A copy made
// ahead, waiting for a job, is not at work.
bool HasLiveChild(pid_t parent) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const auto p = StateOf(entry.path());
    if (p && p->name != "pstopdf-spare" && p->parent == parent && p->state != 'Z') return true;
  }
  return false;
}

// A PDF's document information entry, or empty.
std::string InfoEntry(const fs::path& pdf, const char* key) {
  std::string value;
  samples::ReadPdf(pdf, [&](QPDF& doc) {
    QPDFObjectHandle entry = doc.getTrailer().getKey("/Info").getKey(key);
    if (entry.isString()) value = entry.getUTF8Value();
  });
  return value;
}

// A run of pstopdf that fails.
struct Failure {
  // A file of tests/data, or what stands where the input belongs: missing,
  // folder, fifo, device, socket; or the calls of the one that makes them.
  std::string job = {};
  QStringList options = {};  // and environment entries NAME=VALUE
  int exitCode = 1;
  QByteArray words = {};  // in what it says
  QByteArray kind = {};   // on its report, when it must give one
  int limit = 0;
  bool output = true;  // whether it is told where its PDF goes
  std::string program = "pstopdf";
};

// A converter killed, or asked to stop, while it works.
struct Kill {
  std::string program = "pstopdf";
  bool atOnce = false;  // the very moment its private folder appears, before it may know of it
  int signal = SIGKILL;
  QByteArray says = {};  // when it may end itself
  bool ready = false;    // its job is run by a ready interpreter's copy
};

constexpr char kNoReadyInterpreters[] = "the kernel offers no Landlock: interpreters are never kept ready";
constexpr char kRequire[] = "QUILLPRESS_PSTOPDF_READY=require";
constexpr char kFresh[] = "QUILLPRESS_PSTOPDF_READY=0";

}  // namespace

class ConverterProgram : public QObject, samples::TestFolders {
  Q_OBJECT

 private:

  // Runs program on input into output. Options may hold environment entries
  // (NAME=VALUE, or a NAME alone to remove it).
  samples::ProgramRun Convert(const fs::path& input, const fs::path& output, const QStringList& options = {},
                              const std::string& program = "pstopdf") {
    QStringList args = {samples::Arg(input), "-o", samples::Arg(output)}, environment;
    for (const QString& option : options) {
      (option.contains(u'=') || option == "XDG_RUNTIME_DIR" ? environment : args) << option;
    }
    return samples::RunProgram(program, args, environment);
  }

  // The ready interpreters now running, by the pid each wrote in its lock.
  std::vector<pid_t> Servers() const {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ReadyInterpreters(), ec)) {
      pid_t pid = 0;
      if (entry.path().extension() == ".lock" && std::ifstream(entry.path()) >> pid && Alive(pid)) pids.push_back(pid);
    }
    return pids;
  }

  // Starts a ready interpreter, when none runs yet.
  void Warm() { QCOMPARE(Convert(samples::TestFile("data/hello.ps"), Root() / "warm.pdf", {kRequire}).exitCode, 0); }

  // Whether every ready interpreter now running has its two copies made
  // ahead of their jobs, one for a job and one for a check, ready and
  // waiting.
  bool SparesWait() const {
    std::map<pid_t, int> waiting;
    for (const pid_t server : Servers()) waiting[server] = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const auto p = StateOf(entry.path());
      if (p && p->name == "pstopdf-spare" && p->state == 'S' && waiting.count(p->parent)) ++waiting[p->parent];
    }
    return !waiting.empty() && std::all_of(waiting.begin(), waiting.end(), [](const auto& w) { return w.second == 2; });
  }

  bool AnyCopyRuns() const {
    const std::vector<pid_t> servers = Servers();
    return std::any_of(servers.begin(), servers.end(), HasLiveChild);
  }

 private Q_SLOTS:
  void initTestCase() {
    qputenv("TZ", "UTC");  // the dates a PDF carries
  }

  void cleanupTestCase() {
    // A ready interpreter ends once its socket is gone.
    const std::vector<pid_t> servers = Servers();
    std::error_code ec;
    fs::remove_all(ReadyInterpreters(), ec);
    for (const pid_t server : servers) QTRY_VERIFY_WITH_TIMEOUT(!Alive(server), 120000);
  }

  void pagesKeepTheirSizesAndAreCompleteOnceErrorsClose() {
    // Forty pages, the first three of other sizes: a caller starts on the
    // output when our errors close, while we end, so it must be complete then.
    std::vector<std::pair<int, int>> pages(40, {612, 792});
    pages[1] = {595, 842};
    pages[2] = {300, 200};
    const fs::path ps = Root() / "forty.ps", pdf = Root() / "forty.pdf";
    samples::WriteFile(ps, samples::PostScriptWithPages(pages));
    // The caller is told only when it sees the errors close before the end,
    // which a busy machine may not let it do every time.
    std::optional<samples::Sizes> whenClosed;
    for (int attempt = 0; attempt < 20 && !whenClosed; ++attempt) {
      const ProcessOutcome run = RunProcess(samples::BinDir() / "pstopdf", {ps.native(), "-o", pdf.native()}, {},
                                            {}, [&] { whenClosed = samples::PdfPageSizes(pdf); });
      QCOMPARE(run.exitStatus, 0);
    }
    QVERIFY(whenClosed);
    QCOMPARE(*whenClosed, samples::Sizes(pages.begin(), pages.end()));
    QVERIFY(samples::QpdfCheckPasses(pdf));
    // An end-of-page procedure of the document's own may add a page as the
    // device is let go, in a job of its own and in a ready copy alike.
    for (const char* ready : {kFresh, kRequire}) {
      const fs::path out = Root() / ("last-page-" + std::string(ready).substr(25) + ".pdf");
      QCOMPARE(Convert(samples::TestFile("data/end-page-adds-a-page.ps"), out, {ready}).exitCode, 0);
      QCOMPARE(samples::PdfPageSizes(out), (samples::Sizes{{300, 200}, {300, 200}}));
    }
    VerifyNothingLeftInTemp();
  }

  // Refused at once (a pipe nobody writes to, or an endless device, would
  // otherwise hold the converter before any limit applies), or run as the
  // window, the command line and the watch folder run it and stopped:
  // pstopdf says why in its own words, its name shown escaped as every name
  // is; on the report its caller reads the kind and the limit, or the
  // interpreter's error; no PDF, nothing left.
  void failuresLeaveNothingAndSayWhy_data() {
    QTest::addColumn<Failure>("failure");
    // A page is written before the unknown command: the output must still not appear.
    const QByteArray overOutput = "more than 4 MiB, its output limit";
    const QByteArray overFiles = "made more than 300 files, its limit";
    const QByteArray undefined = "Error: /undefined in shwo";
    auto refused = [](const std::string& job, const char* words) {
      return Failure{.job = job, .exitCode = 2, .words = words};
    };
    auto stopped = [](const std::string& job, const QStringList& options, const QByteArray& words, const char* kind,
                      int limit = 0) {
      return Failure{.job = job, .options = options, .words = words, .kind = kind, .limit = limit};
    };
    const QByteArray cpu = "CPU time";
    // A ready interpreter's copy is held to the same limits.
    for (const auto& [name, failure] : std::initializer_list<std::pair<const char*, Failure>>{
             {"truncated", {.job = "truncated.ps", .words = "could not be converted"}},
             {"missing, named to fool a terminal", refused("missing", "No such file")},
             {"folder", refused("folder", "it is a folder")},
             {"named pipe", refused("fifo", "it is a named pipe")},
             {"device", refused("device", "it is a character device")},
             {"socket", refused("socket", "it is a socket")},
             {"no output named", {.job = "hello.ps", .exitCode = 2, .words = "no output file", .output = false}},
             {"unknown preset",
              {.job = "hello.ps", .options = {"--preset", "pdf-z"}, .exitCode = 2, .words = "--preset needs one of"}},
             {"endless", stopped("endless.ps", {"--cpu-seconds", "1"}, cpu, "cpu-limit", 1)},
             {"endless, in a ready copy, limit from the environment",
              stopped("endless.ps", {kRequire, "QUILLPRESS_PSTOPDF_CPU_SECONDS=1"}, cpu, "cpu-limit", 1)},
             {"greedy", stopped("greedy.ps", {"--memory-mib", "300"}, "", "memory-limit", 300)},
             {"one large file, limit from the environment",
              stopped("one-large-temp-file.ps", {"QUILLPRESS_PSTOPDF_MAX_OUTPUT_MIB=4"}, overOutput, "output-limit",
                      4)},
             {"many files in turn",
              stopped("many-temp-files.ps", {"--max-output-mib", "4"}, overOutput, "output-limit", 4)},
             {"many files in turn, in a ready copy",
              stopped("many-temp-files.ps", {"--max-output-mib", "4", kRequire}, overOutput, "output-limit", 4)},
             {"empty files",
              stopped("endless-empty-files.ps", {"--max-files", "300"}, overFiles, "file-count-limit", 300)},
             {"empty files, in a ready copy, limit from the environment",
              stopped("endless-empty-files.ps", {kRequire, "QUILLPRESS_PSTOPDF_MAX_FILES=300"}, overFiles,
                      "file-count-limit", 300)},
             {"unknown command", stopped("unknown-command.ps", {}, undefined, "interpreter-error")},
             {"unknown command, in a ready copy",
              stopped("unknown-command.ps", {kRequire}, undefined, "interpreter-error")},
             // A job that waits spends no processor time: the clock stops it.
             {"waiting", {.job = "sleep 600\n", .options = {"--wall-seconds", "2"},
                          .words = "took longer than 2 seconds, its time limit", .kind = "time-limit", .limit = 2,
                          .program = "pstopdf-system-calls"}}}) {
      QTest::newRow(name) << failure;
    }
  }

  void failuresLeaveNothingAndSayWhy() {
    QFETCH(Failure, failure);
    const auto& [job, options, exitCode, words, kind, limit, output, program] = failure;
    if (!fs::exists(samples::BinDir() / program)) QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER");
    const fs::path folder = Root() / "inputs", pdf = folder / "out.pdf";
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::path input = job.ends_with(".ps") ? samples::TestFile("data/" + job) : folder / "in.ps";
    if (job == "missing") input = folder / "in\x1b[2K\r\nconverted.ps";
    QLocalServer socket;
    if (job == "folder") fs::create_directories(input);
    if (job == "fifo") QCOMPARE(mkfifo(input.c_str(), 0600), 0);
    if (job == "device") input = "/dev/zero";
    if (job == "socket") QVERIFY(socket.listen(samples::Arg(input)));
    const bool refused = std::set<std::string>{"missing", "folder", "fifo", "device", "socket"}.count(job) > 0;
    if (job.starts_with("sleep")) samples::WriteFile(input, job);
    std::string report;
    ProcessSetup setup{.environment = {std::string(kReportVariable) + "=" + std::to_string(kReportDescriptor)},
                       .report = &report};
    std::vector<std::string> args = {input.native()};
    if (output) args.insert(args.end(), {"-o", pdf.native()});
    for (const QString& option : options) {
      (option.contains(u'=') ? setup.environment : args).push_back(option.toStdString());
    }
    const ProcessOutcome run = RunProcess(samples::BinDir() / program, args, {}, {}, {}, setup);
    QCOMPARE(run.exitStatus, exitCode);
    QVERIFY2(QByteArray::fromStdString(run.errorTail).contains(words), run.errorTail.c_str());
    if (!kind.isEmpty()) {
      const std::optional<ConversionFailure> said = ParseFailureReport(report);
      QVERIFY2(said, report.c_str());
      QCOMPARE(ConversionFailureKindName(said->kind), std::string_view(kind.constData()));
      QCOMPARE(said->limit, limit ? std::optional<std::uint64_t>(limit) : std::nullopt);
      if (said->kind == ConversionFailureKind::InterpreterError) QCOMPARE(said->detail, words.toStdString());
    } else {
      for (const char c : run.errorTail) QVERIFY(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
    }
    const std::string shown = "cannot read " + BMTUtil::EscapedForDisplay(input.native());
    if (refused) QVERIFY(run.errorTail.find(shown) != std::string::npos);
    QVERIFY(!fs::exists(pdf));
    VerifyNothingLeftInTemp();
  }

  void hostileJobChangesAndReadsNothingOutsideItsFolder_data() {
    QTest::addColumn<std::string>("program");
    QTest::addColumn<QString>("ready");
    QTest::newRow("SAFER and the system's barrier") << std::string("pstopdf") << QString(kFresh);
    // Shows what the operating system's barrier stops by itself, should a
    // job ever escape SAFER.
    QTest::newRow("the system's barrier alone") << std::string("pstopdf-without-safer") << QString(kFresh);
    // A copy also knows where its ready interpreter keeps its files.
    QTest::newRow("a ready interpreter's copy") << std::string("pstopdf") << QString(kRequire);
  }

  void hostileJobChangesAndReadsNothingOutsideItsFolder() {
    QFETCH(std::string, program);
    QFETCH(QString, ready);
    if (!fs::exists(samples::BinDir() / program)) QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER");
    const bool landlock = KernelHasLandlock(), copy = ready == kRequire;
    if (copy && !landlock) QSKIP(kNoReadyInterpreters);
    const fs::path input = Root() / "hostile.ps", victim = Root() / "victim.txt", secret = Root() / "secret.txt",
                   tmpVictim = Tmp() / "tmp-victim.txt";
    const fs::path planted[] = {Root() / "planted.txt", Tmp() / "planted", Root() / "planted-by-a-program"};
    samples::WriteFile(victim, "keep me");
    samples::WriteFile(tmpVictim, "keep me too");
    samples::WriteFile(secret, "SECRET-OF-THE-USER");
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    // The ready interpreter's own files.
    std::map<fs::path, std::uintmax_t> readyFiles;
    auto readyFilesNow = [&] {
      std::map<fs::path, std::uintmax_t> sized;
      std::error_code ec;
      for (const auto& entry : fs::recursive_directory_iterator(ReadyInterpreters(), ec)) {
        if (entry.path().parent_path().extension() == ".d") sized[entry.path()] = entry.file_size();
      }
      return sized;
    };
    if (copy) {
      Warm();
      readyFiles = readyFilesNow();
      QVERIFY(!readyFiles.empty());
    }
    // What the hostile document aims at, named on its first lines.
    auto ps = [](const fs::path& path) { return "(" + path.string() + ") "; };
    std::string job = "%!PS\n/input " + ps(input) + "def /victims [" + ps(victim) + ps(tmpVictim) + "] def\n";
    job += "/plants [" + ps(planted[0]) + ps(planted[1]) + "] def /secrets [" + ps(secret) + "(/etc/passwd)] def\n";
    job += "/planter " + ps(planted[2]) + "def /port (" + std::to_string(listener.serverPort()) + ") def\n/ready [";
    for (const auto& [file, size] : readyFiles) job += ps(file);
    job += "] def /readyPlants [";
    for (const auto& [file, size] : readyFiles) job += ps(file.parent_path() / "planted");
    job += "] def\n" + samples::ReadAll(samples::TestFile("data/hostile.ps"));
    samples::WriteFile(input, job);
    const samples::ProgramRun run = Convert(input, Root() / "hostile.pdf", {ready}, program);
    QVERIFY2(run.output.contains("JOB-END"), run.output.constData());  // it tried everything
    QVERIFY(!fs::exists(planted[2]));
    QVERIFY(!listener.waitForNewConnection(0));
    // A kernel without the file barrier is said once.
    QCOMPARE(run.output.count("pstopdf: note:"), landlock ? 0 : 1);
    if (program != "pstopdf" && !landlock) {
      fs::remove(tmpVictim);
      QSKIP("this kernel has no Landlock: without SAFER nothing guards the files");
    }
    QCOMPARE(ReadAll(input), job);
    QVERIFY(!fs::exists(input.string() + ".moved"));
    QCOMPARE(ReadAll(victim), std::string("keep me"));
    QCOMPARE(ReadAll(tmpVictim), std::string("keep me too"));
    for (const fs::path& file : planted) QVERIFY2(!fs::exists(file), file.c_str());
    QVERIFY(!run.output.contains("READ:"));
    if (copy) QCOMPARE(readyFilesNow(), readyFiles);
    // The ready interpreter serves on.
    if (copy) QCOMPARE(Convert(samples::TestFile("data/report.ps"), Root() / "next.pdf", {kRequire}).exitCode, 0);
    fs::remove(tmpVictim);
    VerifyNothingLeftInTemp();
  }

  // The calls that code running through an interpreter's fault would make,
  // from inside a real job: none may change a file outside, make a device,
  // touch the system or leave a process behind; threads are allowed. The job
  // then ends well, leaving a named pipe where its PDF belongs (put there
  // from outside: the barrier refuses the job one): nobody will ever write
  // to it, and opening it must not wait.
  void barrierRefusesWhatAnEscapedJobTries() {
    const std::string program = "pstopdf-system-calls";
    if (!fs::exists(samples::BinDir() / program)) QSKIP("built without QUILLPRESS_TEST_WITHOUT_SAFER");
    const fs::path victim = Root() / "victim.txt", input = Root() / "calls.ps", pdf = Root() / "calls.pdf";
    samples::WriteFile(victim, "keep me");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const auto modeAndTime = [&] { return std::pair(fs::status(victim).permissions(), fs::last_write_time(victim)); };
    const auto before = modeAndTime();
    const std::string v = victim.string();
    const std::vector<std::string> refused = {
        "chmod " + v, "chown " + v, "utimes " + v, "setxattr " + v, "removexattr " + v, "mknod-device device",
        "mkfifo fifo", "mkdir folder", "symlink link", "chroot .", "sethostname quillpress-job", "capability", "fork"};
    std::string list = "%!PS (not PostScript: one system call a line)\n";
    for (const std::string& call : refused) list += call + "\n";
    samples::WriteFile(input, list + "thread\nwait-for out.pdf\n");
    QProcess p;
    p.start(samples::Arg(samples::BinDir() / program), {samples::Arg(input), "-o", samples::Arg(pdf)});
    QVERIFY(p.waitForStarted());
    // The job's working folder, wherever pstopdf made it in the temporary folder.
    fs::path work;
    auto jobWorks = [&] {
      for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code ec;
        const fs::path cwd = fs::read_symlink(entry.path() / "cwd", ec);
        const bool ours = ReadAll(entry.path() / "cmdline").find(input.string()) != std::string::npos;
        if (!ec && ours && cwd.native().starts_with(Tmp().native() + "/") && fs::is_directory(cwd)) work = cwd;
      }
      return !work.empty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(jobWorks(), 30000);
    QCOMPARE(mkfifo((work / "out.pdf").c_str(), 0600), 0);
    QVERIFY(p.waitForFinished(120000));
    const QByteArray output = p.readAllStandardError();
    for (const std::string& call : refused) {
      QVERIFY(output.contains(("CALL " + call + ": refused (Operation not permitted)").c_str()));
    }
    QVERIFY2(output.contains("CALL thread: done") && output.contains("no complete PDF"), output.constData());
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(!fs::exists(pdf));
    QVERIFY(modeAndTime() == before);
    QCOMPARE(ReadAll(victim), std::string("keep me"));
    QVERIFY(!ProcessWithArgumentRuns(input.string()));
    VerifyNothingLeftInTemp();
  }

  void killedConverterLeavesNothingBehind_data() {
    QTest::addColumn<Kill>("killed");
    QTest::newRow("as its folder appears") << Kill{.atOnce = true};
    QTest::newRow("while it interprets") << Kill{};
    // The ready interpreter's copy goes with its caller.
    QTest::newRow("while a ready copy interprets") << Kill{.ready = true};
    // The command line converts; it is killed and must take the converter along.
    QTest::newRow("its caller, while it interprets") << Kill{.program = "quillpress-cli"};
    // Asked to stop, each ends its work and says so.
    QTest::newRow("stopped while it interprets") << Kill{.signal = SIGTERM, .says = "pstopdf: stopped"};
    QTest::newRow("its caller stopped")
        << Kill{.program = "quillpress-cli", .signal = SIGTERM, .says = "Interrupted: 0 of 1 files converted"};
  }

  void killedConverterLeavesNothingBehind() {
    QFETCH(Kill, killed);
    const auto& [program, atOnce, signal, says, ready] = killed;
    if (ready && !KernelHasLandlock()) QSKIP(kNoReadyInterpreters);
    if (ready) Warm();
    const fs::path input = Root() / ("forever-" + std::string(QTest::currentDataTag()) + ".ps");
    const fs::path out = Root() / "killed";
    fs::create_directories(out);
    // Makes a temporary file, which its private folder then holds, and never ends.
    samples::WriteFile(input, "%!PS\nnull (w) .tempfile pop pop\n{} loop\n");
    const int watch = inotify_init1(IN_CLOEXEC);
    QVERIFY(watch >= 0 && inotify_add_watch(watch, Tmp().c_str(), IN_CREATE) >= 0);
    QProcess p;
    const bool cli = program != "pstopdf";
    samples::StartProgram(p, program, QStringList(cli ? 1 : 0, "convert") +
                              QStringList{samples::Arg(input), "-o", samples::Arg(cli ? out : out / "forever.pdf")},
                          {ready ? kRequire : kFresh});
    QVERIFY(p.waitForStarted());
    pollfd created{watch, POLLIN, 0};
    QVERIFY(poll(&created, 1, 60000) == 1 && close(watch) == 0);
    // Its temporary file is made once the interpreter runs.
    if (!atOnce) QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(Tmp()).size() >= 2, 60000);
    if (ready) QTRY_VERIFY_WITH_TIMEOUT(AnyCopyRuns(), 60000);
    QCOMPARE(kill(static_cast<pid_t>(p.processId()), signal), 0);
    QVERIFY(p.waitForFinished());
    const QByteArray said = p.readAllStandardError();
    if (!says.isEmpty()) {
      QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 1 && said.contains(says), said.constData());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!ProcessWithArgumentRuns(input.string()) && !AnyCopyRuns(), 30000);
    QVERIFY(samples::ListTree(out).empty());
    VerifyNothingLeftInTemp();
  }

  // Pages, an EPS box, a document's own date and a preset, each from a
  // ready interpreter that started at least a second before.
  void aCopyGivesWhatAFreshStartGives() {
    if (!KernelHasLandlock()) QSKIP(kNoReadyInterpreters);
    const std::vector<std::pair<std::string, QStringList>> cases = {
        {"report.ps", {}}, {"box.eps", {}}, {"dated.ps", {}}, {"report.ps", {"--preset", "smallest"}}};
    auto pdf = [&](std::size_t i, const char* kind) { return Root() / (kind + std::to_string(i) + ".pdf"); };
    auto input = [&](std::size_t i) { return samples::TestFile("data/" + cases[i].first); };
    // The first copy may start the ready interpreter.
    for (std::size_t i = 0; i < cases.size(); ++i) {
      QCOMPARE(Convert(input(i), pdf(i, "fresh"), cases[i].second + QStringList{kFresh}).exitCode, 0);
      QCOMPARE(Convert(input(i), pdf(i, "copy"), cases[i].second + QStringList{kRequire}).exitCode, 0);
    }
    QVERIFY(!Servers().empty());
    auto now = [] { return "D:" + QDateTime::currentDateTimeUtc().toString("yyyyMMddHHmmss").toStdString(); };
    const std::string started = now();
    QTRY_VERIFY(now() > started);
    // Made once a server is quiet; one that ended while making itself ready
    // would leave each job to wait for a fork.
    QTRY_VERIFY_WITH_TIMEOUT(SparesWait(), 60000);
    const std::string before = now();
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const fs::path fresh = pdf(i, "fresh"), copy = pdf(i, "copy");
      QCOMPARE(Convert(input(i), copy, cases[i].second + QStringList{kRequire}).exitCode, 0);
      QCOMPARE(samples::PdfPageSizes(copy), samples::PdfPageSizes(fresh));
      QCOMPARE(samples::PdfFontNames(copy), samples::PdfFontNames(fresh));
      QVERIFY(samples::QpdfCheckPasses(copy));
      // Dated by the document, or by the time of this run: never by the time
      // the ready interpreter started.
      const std::string created = InfoEntry(copy, "/CreationDate");
      if (cases[i].first == "dated.ps") QCOMPARE(created, InfoEntry(fresh, "/CreationDate"));
      else QVERIFY2(created.substr(0, 16) >= before, created.c_str());
      QVERIFY(InfoEntry(copy, "/ModDate").substr(0, 16) >= before);
    }
    VerifyNothingLeftInTemp();
  }

  // Where ready interpreters live, and what their going costs: nothing. Its
  // session's runtime folder emptied under one (log-out with lingering
  // services), the one that starts next works on, whenever the old one
  // notices and goes; killed under a copy at work, the job is converted
  // afresh. Without a session (cron, su) they live in a folder of our own
  // under /tmp, and never in one that someone else could enter.
  void readyInterpretersLiveSafelyAndGoAtNoCost() {
    if (!KernelHasLandlock()) QSKIP(kNoReadyInterpreters);
    const fs::path input = samples::TestFile("data/hello.ps"), slow = Root() / "slow.pdf";
    const fs::path pdf = Root() / "nosession.pdf";
    Warm();
    const std::vector<pid_t> old = Servers();
    QVERIFY(!old.empty());
    // Held still, so that they go only once the next one is at work.
    for (const pid_t server : old) QVERIFY(kill(server, SIGSTOP) == 0);
    fs::remove_all(ReadyInterpreters());
    const int afterRemoval = Convert(input, Root() / "after.pdf", {kRequire}).exitCode;
    for (const pid_t server : old) QVERIFY(kill(server, SIGCONT) == 0);
    QCOMPARE(afterRemoval, 0);
    for (const pid_t server : old) QTRY_VERIFY_WITH_TIMEOUT(!Alive(server), 120000);
    for (const char* name : {"again.pdf", "more.pdf"}) {
      QCOMPARE(Convert(input, Root() / name, {kRequire}).exitCode, 0);
      QVERIFY(samples::QpdfCheckPasses(Root() / name));
    }
    QProcess p;
    samples::StartProgram(p, "pstopdf", {samples::Arg(samples::TestFile("data/slow.ps")), "-o", samples::Arg(slow)});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(AnyCopyRuns(), 120000);
    for (const pid_t server : Servers()) kill(server, SIGKILL);
    QVERIFY(p.waitForFinished(120000));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(samples::PdfPageSizes(slow).size(), std::size_t(1));
    const std::string folder = "/tmp/quillpress-runtime-" + std::to_string(getuid());
    QCOMPARE(Convert(input, pdf, {kRequire, "XDG_RUNTIME_DIR"}).exitCode, 0);
    QVERIFY(fs::is_directory(fs::symlink_status(folder)));
    QCOMPARE(fs::symlink_status(folder).permissions(), fs::perms::owner_all);
    QVERIFY(chmod(folder.c_str(), 0755) == 0);
    const samples::ProgramRun run = Convert(input, pdf, {kRequire, "XDG_RUNTIME_DIR"});
    const samples::ProgramRun fresh = Convert(input, pdf, {"XDG_RUNTIME_DIR"});
    QVERIFY(chmod(folder.c_str(), 0700) == 0);
    QVERIFY2(run.exitCode == 1 && run.output.contains("no ready interpreter"), run.output.constData());
    QCOMPARE(fresh.exitCode, 0);
    QVERIFY(samples::QpdfCheckPasses(pdf));
    VerifyNothingLeftInTemp();
  }
};

QTEST_GUILESS_MAIN(ConverterProgram)
#include "tst_converter_program.moc"
