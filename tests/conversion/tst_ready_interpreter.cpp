// The converter's ready interpreters: a copy gives the PDF a fresh start
// gives, stays inside the same barriers and limits, never reaches the ready
// interpreter's own files, and goes when its caller goes.

#include "PostScriptSamples.h"

#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

// A PDF's document information entry, or empty.
std::string InfoEntry(const fs::path& pdf, const char* key) {
  std::string value;
  samples::ReadPdf(pdf, [&](QPDF& doc) {
    QPDFObjectHandle entry = doc.getTrailer().getKey("/Info").getKey(key);
    if (entry.isString()) value = entry.getUTF8Value();
  });
  return value;
}

// The seconds since the epoch of a PDF date's "D:YYYYMMDDHHmmSS" and offset.
qint64 PdfDateSeconds(const std::string& date) {
  if (date.size() < 16 || date.rfind("D:", 0) != 0) return -1;
  QDateTime when = QDateTime::fromString(QString::fromStdString(date.substr(2, 14)),
                                         QStringLiteral("yyyyMMddHHmmss"));
  when.setTimeSpec(Qt::UTC);
  qint64 seconds = when.toSecsSinceEpoch();
  if (date.size() >= 22 && (date[16] == '+' || date[16] == '-')) {
    const int offset = std::stoi(date.substr(17, 2)) * 3600 + std::stoi(date.substr(20, 2)) * 60;
    seconds += date[16] == '+' ? -offset : offset;
  }
  return seconds;
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string line = samples::ReadAll(entry.path() / "stat");
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 > line.size()) continue;
    // A copy made ahead, waiting for a job, is not at work.
    if (line.find("(pstopdf-spare)") != std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    char state = 0;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent && state != 'Z') children.push_back(std::stoi(name));
  }
  return children;
}

bool Alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

}  // namespace

class ReadyInterpreterTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_tmp;
  QTemporaryDir m_runtime;

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  fs::path Runtime() const { return fs::path(m_runtime.path().toStdString()) / "quillpress"; }

  QStringList Environment(const char* ready, bool session = true) const {
    return {QStringLiteral("QUILLPRESS_PSTOPDF_READY=") + ready, "TMPDIR=" + m_tmp.path(),
            session ? "XDG_RUNTIME_DIR=" + m_runtime.path() : QStringLiteral("XDG_RUNTIME_DIR")};
  }

  samples::ProgramRun Pstopdf(const QStringList& args, const char* ready = "require",
                              bool session = true) {
    return samples::RunProgram("pstopdf", args, Environment(ready, session));
  }

  samples::ProgramRun Convert(const fs::path& input, const fs::path& output,
                              const char* ready = "require", QStringList extra = {}) {
    return Pstopdf(QStringList{samples::Arg(input), "-o", samples::Arg(output)} + extra, ready);
  }

  // The ready interpreters now running, by the pid each wrote in its lock.
  std::vector<pid_t> Servers() const {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Runtime(), ec)) {
      if (entry.path().extension() != ".lock") continue;
      std::ifstream in(entry.path());
      pid_t pid = 0;
      if (in >> pid && Alive(pid)) pids.push_back(pid);
    }
    return pids;
  }

  bool AnyCopyRuns() const {
    const std::vector<pid_t> servers = Servers();
    return std::any_of(servers.begin(), servers.end(), [](pid_t s) { return !ChildrenOf(s).empty(); });
  }

  void VerifyNothingLeftInTemp() {
    QTRY_COMPARE_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()),
                              std::vector<std::string>{}, kDeadline);
  }

 private Q_SLOTS:
  void initTestCase() {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) <= 0) {
      QSKIP("the kernel offers no Landlock: interpreters are never kept ready");
    }
    samples::WriteFile(Root() / "pages.ps", samples::PostScriptWithPages({{612, 792}, {300, 400}}));
    samples::WriteFile(Root() / "box.eps", samples::EpsWithBox(10, 20, 110, 70));
    samples::WriteFile(Root() / "dated.ps",
                       "%!PS-Adobe-3.0\n%%CreationDate: (D:20010203040506Z)\n%%EndComments\n"
                       "/Helvetica findfont 12 scalefont setfont 20 20 moveto (dated) show showpage\n");
    samples::WriteFile(Root() / "loop.ps", "%!PS\n{ } loop\n");
  }

  void cleanupTestCase() {
    // A ready interpreter ends once its socket is gone.
    const std::vector<pid_t> servers = Servers();
    std::error_code ec;
    fs::remove_all(Runtime(), ec);
    for (const pid_t server : servers) QTRY_VERIFY_WITH_TIMEOUT(!Alive(server), kDeadline);
  }

  void aCopyGivesWhatAFreshStartGives_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("pages") << "pages.ps" << QStringList{};
    QTest::newRow("eps") << "box.eps" << QStringList{};
    QTest::newRow("dated") << "dated.ps" << QStringList{};
    QTest::newRow("smallest") << "pages.ps" << QStringList{"--preset", "smallest"};
  }

  void aCopyGivesWhatAFreshStartGives() {
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    const fs::path input = Root() / file.toStdString();
    const fs::path fresh = Root() / "fresh.pdf";
    const fs::path copy = Root() / "copy.pdf";
    const samples::ProgramRun freshRun = Convert(input, fresh, "0", options);
    QVERIFY2(freshRun.exitCode == 0, freshRun.output.constData());
    // The first run may start the ready interpreter; the second is surely
    // served by one that started earlier.
    QCOMPARE(Convert(input, copy, "require", options).exitCode, 0);
    QVERIFY(!Servers().empty());
    const qint64 started = QDateTime::currentSecsSinceEpoch();
    QTRY_VERIFY(QDateTime::currentSecsSinceEpoch() > started);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const samples::ProgramRun run = Convert(input, copy, "require", options);
    QVERIFY2(run.exitCode == 0, run.output.constData());

    QCOMPARE(samples::Rounded(samples::PdfPageSizes(copy)), samples::Rounded(samples::PdfPageSizes(fresh)));
    QCOMPARE(samples::PdfFontNames(copy), samples::PdfFontNames(fresh));
    QVERIFY(samples::QpdfCheckPasses(copy));
    // Dated by the document, or by the time of this run: never by the time
    // the ready interpreter started.
    if (file == "dated.ps") {
      QCOMPARE(InfoEntry(copy, "/CreationDate"), InfoEntry(fresh, "/CreationDate"));
    } else {
      QVERIFY2(PdfDateSeconds(InfoEntry(copy, "/CreationDate")) >= before,
               InfoEntry(copy, "/CreationDate").c_str());
    }
    QVERIFY(PdfDateSeconds(InfoEntry(copy, "/ModDate")) >= before);
    VerifyNothingLeftInTemp();
  }

  // A job that knows where the ready interpreter keeps its files can neither
  // change nor read them.
  void aCopyCannotReachTheReadyInterpretersFiles() {
    QCOMPARE(Convert(Root() / "pages.ps", Root() / "warm.pdf").exitCode, 0);
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(Runtime())) {
      if (entry.path().extension() == ".d") folders.push_back(entry.path());
    }
    QVERIFY(!folders.empty());
    std::string job = "%!PS\n/found false def\n";
    auto sizes = [&] {
      std::map<fs::path, std::uintmax_t> sized;
      for (const fs::path& folder : folders) {
        for (const auto& entry : fs::directory_iterator(folder)) sized[entry.path()] = entry.file_size();
      }
      return sized;
    };
    const auto before = sizes();
    for (const fs::path& folder : folders) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        job += "{ (" + entry.path().string() + ") (r) file closefile /found true def } stopped pop\n";
        job += "{ (" + entry.path().string() + ") (a) file dup (x) writestring closefile } stopped pop\n";
        job += "{ (" + entry.path().string() + ") deletefile } stopped pop\n";
      }
      job += "{ (" + (folder / "planted").string() + ") (w) file dup (x) writestring closefile } stopped pop\n";
    }
    job += "found { << /PageSize [200 200] >> setpagedevice } if\nshowpage\n";
    samples::WriteFile(Root() / "reach.ps", job);
    const samples::ProgramRun run = Convert(Root() / "reach.ps", Root() / "reach.pdf");
    QVERIFY2(run.exitCode == 0, run.output.constData());
    QVERIFY(samples::PdfPageSizes(Root() / "reach.pdf").at(0).width != 200.0);
    QCOMPARE(sizes(), before);
    QCOMPARE(Convert(Root() / "pages.ps", Root() / "next.pdf").exitCode, 0);
    QVERIFY(samples::QpdfCheckPasses(Root() / "next.pdf"));
  }

  // Without a session (cron, su) interpreters are kept ready in a folder of
  // our own under /tmp, and never in one that someone else could enter.
  void withoutASessionOnlyAPrivateFolderServes() {
    const QStringList args{samples::Arg(Root() / "pages.ps"), "-o", samples::Arg(Root() / "nosession.pdf")};
    const std::string folder = "/tmp/quillpress-runtime-" + std::to_string(getuid());
    samples::ProgramRun run = Pstopdf(args, "require", false);
    QVERIFY2(run.exitCode == 0, run.output.constData());
    struct stat st {};
    QVERIFY(lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 0777, 0700u);

    QVERIFY(chmod(folder.c_str(), 0755) == 0);
    run = Pstopdf(args, "require", false);
    const samples::ProgramRun fresh = Pstopdf(args, "", false);
    QVERIFY(chmod(folder.c_str(), 0700) == 0);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("no ready interpreter"), run.output.constData());
    QVERIFY2(fresh.exitCode == 0, fresh.output.constData());
    QVERIFY(samples::QpdfCheckPasses(Root() / "nosession.pdf"));
  }

  // The session's runtime folder emptied under a living ready interpreter
  // (log-out with lingering services): the one that starts next works on,
  // whenever the old one notices and goes.
  void theRuntimeFolderRemovedBetweenConversions() {
    QCOMPARE(Convert(Root() / "pages.ps", Root() / "before.pdf").exitCode, 0);
    const std::vector<pid_t> old = Servers();
    QVERIFY(!old.empty());
    // Held still, so that they go only once the next one is at work.
    for (const pid_t server : old) QVERIFY(kill(server, SIGSTOP) == 0);
    fs::remove_all(Runtime());
    samples::ProgramRun run = Convert(Root() / "pages.ps", Root() / "after.pdf");
    for (const pid_t server : old) QVERIFY(kill(server, SIGCONT) == 0);
    QVERIFY2(run.exitCode == 0, run.output.constData());
    for (const pid_t server : old) QTRY_VERIFY_WITH_TIMEOUT(!Alive(server), kDeadline);
    for (const char* name : {"again.pdf", "more.pdf"}) {
      run = Convert(Root() / "pages.ps", Root() / name);
      QVERIFY2(run.exitCode == 0, run.output.constData());
      QVERIFY(samples::QpdfCheckPasses(Root() / name));
    }
  }

  // While a copy works: its ready interpreter fails under it (here it is
  // killed), which costs the job nothing, as it is converted afresh; or its
  // caller is killed, and the copy goes with it.
  void whatIsKilledWhileACopyWorks_data() {
    QTest::addColumn<bool>("caller");
    QTest::newRow("the ready interpreter") << false;
    QTest::newRow("the caller") << true;
  }

  void whatIsKilledWhileACopyWorks() {
    QFETCH(bool, caller);
    const fs::path input = Root() / (caller ? "loop.ps" : "slow.ps");
    const fs::path output = Root() / (caller ? "never.pdf" : "slow.pdf");
    samples::WriteFile(Root() / "slow.ps",
                       "%!PS\n0 1 30000000 { pop } for\n"
                       "/Helvetica findfont 12 scalefont setfont 20 20 moveto (slow) show showpage\n");
    QCOMPARE(Convert(Root() / "pages.ps", Root() / "warm.pdf").exitCode, 0);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : Environment(caller ? "require" : "")) {
      env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    }
    p.setProcessEnvironment(env);
    p.start(samples::Arg(samples::BinDir() / "pstopdf"), {samples::Arg(input), "-o", samples::Arg(output)});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(AnyCopyRuns(), kDeadline);
    if (caller) p.kill();
    else for (const pid_t server : Servers()) kill(server, SIGKILL);
    QVERIFY(p.waitForFinished(kDeadline));
    if (caller) {
      QTRY_VERIFY_WITH_TIMEOUT(!AnyCopyRuns(), kDeadline);
      QVERIFY(!fs::exists(output));
    } else {
      QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
      QCOMPARE(samples::PdfPageSizes(output).size(), std::size_t(1));
    }
    VerifyNothingLeftInTemp();
  }
};

QTEST_GUILESS_MAIN(ReadyInterpreterTest)
#include "tst_ready_interpreter.moc"
