// Print queues end to end: a private CUPS scheduler, a queue set up by
// `quillpress-cli printer add`, jobs printed with lp, the watch service
// converting the spool; and the backend on its own for what lp cannot send.

#include "PostScriptSamples.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace fs = std::filesystem;
using namespace samples;
using Strings = std::vector<std::string>;

namespace {

// A CUPS scheduler of the test's own: its configuration, spool, logs and
// state in a folder of the test, listening on a free port of 127.0.0.1, with
// the system's filters (and room for a test's own in bin/filter) and our
// backend as its only backend. The machine's own CUPS is never touched.

struct PrivateCups {
  explicit PrivateCups(const fs::path& root) : folder(root) {
    for (const char* sub : {"root", "bin/backend", "bin/filter", "spool", "tmp", "cache", "state", "log"}) {
      fs::create_directories(folder / sub);
    }
    // Filters run as lp and must reach their programs and files.
    for (fs::path p = folder; p != p.parent_path() && p != "/tmp"; p = p.parent_path()) {
      fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    }
    for (const char* sub : {"daemon", "cgi-bin", "monitor", "notifier", "driver"}) {
      fs::create_directory_symlink(fs::path("/usr/lib/cups") / sub, folder / "bin" / sub);
    }
    for (const auto& filter : fs::directory_iterator("/usr/lib/cups/filter")) {
      fs::create_symlink(filter.path(), folder / "bin" / "filter" / filter.path().filename());
    }
    fs::copy_file(BinDir() / "cups" / "backend" / "quillpress", folder / "bin" / "backend" / "quillpress");
    fs::permissions(folder / "bin" / "backend" / "quillpress", fs::perms::owner_all);
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    port = probe.serverPort();
    probe.close();
    // Its configuration files, given this folder and address.
    const fs::path data = fs::path(qgetenv("QUILLPRESS_TEST_SOURCE_DIR").toStdString()) / "tests" / "data" / "print";
    for (const char* conf : {"cupsd.conf", "cups-files.conf"}) {
      QString text = QString::fromStdString(ReadAll(data / conf));
      text.replace("@FOLDER@", Arg(folder)).replace("@LISTEN@", QString::fromStdString(server()));
      WriteFile(folder / "root" / conf, text.toStdString());
    }
    cupsd.setProcessChannelMode(QProcess::ForwardedChannels);
    cupsd.start("/usr/sbin/cupsd", {"-f", "-c", Arg(folder / "root" / "cupsd.conf"), "-s", Arg(folder / "root" / "cups-files.conf")});
  }
  ~PrivateCups() {
    cupsd.terminate();
    if (!cupsd.waitForFinished(30000)) cupsd.kill();
    cupsd.waitForFinished(30000);
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port); }
  // The scheduler's log, where each job's lines go.
  std::string Log() const { return ReadAll(folder / "log" / "error_log"); }

  fs::path folder;
  quint16 port = 0;
  QProcess cupsd;
};

std::string PdfInfo(const fs::path& pdf, const std::string& key) {
  std::string value = "(unreadable)";
  ReadPdf(pdf, [&](QPDF& doc) { value = doc.getTrailer().getKey("/Info").getKey(key).getUTF8Value(); });
  return value;
}

// A PostScript job with some bulk in its page, for jobs of a given size.
std::string Job(std::size_t padding = 0) {
  std::string ps = OnePagePostScript();
  return ps.insert(ps.find("showpage"), QByteArray("%" + QByteArray(62, 'x') + "\n").repeated(qsizetype(padding / 64)).toStdString());
}

// The backend as CUPS runs it for job 7 of ann: its exit status and what it
// said.
std::pair<int, std::string> Backend(const fs::path& spool, const std::string& title, const std::string& bytes) {
  QProcess backend;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DEVICE_URI", "quillpress:" + Arg(spool).replace(" ", "%20"));
  backend.setProcessEnvironment(env);
  backend.start(Arg(BinDir() / "cups" / "backend" / "quillpress"), {"7", "ann", QString::fromStdString(title), "1", ""});
  backend.write(bytes.data(), qint64(bytes.size()));
  backend.closeWriteChannel();
  if (!backend.waitForFinished(60000)) return {-1, "did not end"};
  return {backend.exitCode(), backend.readAllStandardError().toStdString()};
}

}  // namespace

class PrintQueue : public QObject {
  Q_OBJECT

  QTemporaryDir m_dir;
  std::unique_ptr<PrivateCups> m_cups;
  QProcess m_watch;

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  fs::path Out() const { return Root() / "out"; }
  fs::path State() const { return Root() / "home" / ".local" / "state" / "quillpress"; }
  fs::path Spool() const { return State() / "print" / "Archive"; }
  std::string Journal() const { return ReadAll(State() / "watch.log"); }
  ProgramRun Cli(const QStringList& args) const { return RunProgram("quillpress-cli", args, {}, Root()); }
  // Prints; answers the job's number.
  int Print(const std::string& queue, const std::string& title, const std::string& bytes, const QStringList& options = {}) {
    WriteFile(Root() / "job.data", bytes);
    const ProgramRun run = RunProgram("/usr/bin/lp", QStringList{"-d", QString::fromStdString(queue), "-t", QString::fromStdString(title)} +
                                                         options + QStringList{Arg(Root() / "job.data")});
    const auto match = QRegularExpression("request id is .*-(\\d+) ").match(QString::fromUtf8(run.output));
    return run.exitCode == 0 && match.hasMatch() ? match.captured(1).toInt() : -1;
  }
  bool LogHas(int job, const std::string& text) const {
    return m_cups->Log().find("[Job " + std::to_string(job) + "] " + text) != std::string::npos;
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_dir.isValid());
    fs::create_directories(Root() / "runtime");
    fs::permissions(Root() / "runtime", fs::perms::owner_all);
    // Our programs, and the CUPS tools, find everything of theirs here.
    for (const auto& [name, folder] : {std::pair{"HOME", "home"}, {"XDG_CONFIG_HOME", "home/.config"},
                                       {"XDG_STATE_HOME", "home/.local/state"}, {"XDG_RUNTIME_DIR", "runtime"}}) {
      qputenv(name, (Root() / folder).c_str());
    }
  }

  void cleanupTestCase() {
    m_watch.terminate();
    m_watch.waitForFinished(30000);
    m_cups.reset();
  }

  // The backend on its own, for what lp never sends: an empty job, titles
  // with control characters or of any length. A refused job leaves only its
  // record for the watch service's journal, a title made safe a record
  // beside the job.
  void backendOnItsOwn_data() {
    QTest::addColumn<std::string>("title");
    QTest::addColumn<std::string>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<std::string>("said");
    QTest::addColumn<Strings>("left");
    const std::string ps = Job(), record = ".quillpress-record-7-", refused = "ERROR: job 7 (\"Minutes\" from ann) is ";
    const auto row = [](const char* tag, std::string title, std::string bytes, int status, std::string said, Strings left) {
      QTest::newRow(tag) << title << bytes << status << said << left;
    };
    row("plain", "Minutes", ps, 0, "INFO: job 7 (\"Minutes\" from ann", {"Minutes.ps"});
    row("empty", "Minutes", "", 5, refused + "empty; nothing was handed over", {record});
    row("Ctrl-D only", "Minutes", "\x04", 5, refused + "empty", {record});
    row("not PostScript", "Minutes", "\x1b%-12345X@PJL\n", 5, "is not PostScript (it begins with \"\\x1b%-12345X@PJL\\n\")", {record});
    row("newline", "first\nsecond\r\x1b[2J", ps, 0, "INFO: job title \"first\\nsecond\\r\\x1b[2J\": the title's control characters",
        {record, "first second [2J.ps"});
    row("hidden", "..", ps, 0, "handed over as", {record, "Print job 7.ps"});
    row("4,000 characters", std::string(4000, 'x'), ps, 0, "the file name was shortened", {record, std::string(100, 'x') + ".ps"});
  }
  void backendOnItsOwn() {
    QFETCH(std::string, title);
    QFETCH(std::string, bytes);
    QFETCH(int, status);
    QFETCH(std::string, said);
    QFETCH(Strings, left);
    const fs::path spool = Root() / "alone" / QTest::currentDataTag();
    fs::create_directories(spool);
    const auto [exitCode, stderrText] = Backend(spool, title, bytes);
    QVERIFY2(stderrText.find(said) != std::string::npos && exitCode == status, stderrText.c_str());
    const Strings entries = ListTree(spool);
    QCOMPARE(entries.size(), left.size());
    for (std::size_t i = 0; i < left.size(); ++i) QVERIFY2(entries[i].starts_with(left[i]), entries[i].c_str());
    if (status != 0) return;
    // The title, user and job number go first, on one line each.
    const std::string handed = ReadAll(spool / left.back());
    QVERIFY2(handed.starts_with("%!PS") && handed.find("\n%%For: (ann)\n%%QuillpressJob: 7\n") != std::string::npos, handed.c_str());
    QCOMPARE(std::count(handed.begin(), handed.end(), '\n'), std::count(bytes.begin(), bytes.end(), '\n') + 3);
  }

  // As root the backend becomes the owner of the first folder on the way
  // that is not root's, and follows no link.
  void spoolFolderRights() {
    if (geteuid() != 0) QSKIP("needs root");
    const fs::path owned = Root() / "alone" / "owned";
    fs::create_directories(owned);
    QCOMPARE(chown(owned.c_str(), 65534, 65534), 0);
    fs::create_directory_symlink(owned, Root() / "alone" / "link");
    QCOMPARE(Backend(owned, "Owned", Job()).first, 0);
    struct stat st {};
    QVERIFY(stat((owned / "Owned.ps").c_str(), &st) == 0 && st.st_uid == uid_t(65534));
    const auto [exitCode, said] = Backend(Root() / "alone" / "link", "Linked", Job());
    QVERIFY2(exitCode == 1 && said.find("ERROR: cannot open the spool folder") != std::string::npos &&
                 said.find("a folder on its way is a link") != std::string::npos, said.c_str());
    QCOMPARE(ListTree(owned), Strings{"Owned.ps"});
  }

  // The queue set up; while no watch service runs, bad jobs are refused (a
  // line in the job's log, no completed job, only the refusal's record left
  // in the spool) and good ones wait, complete, in the spool. Once it runs
  // they become PDFs named and titled after the jobs (a path or a document's
  // spool name in a title kept out of the name), and the refusals reach its
  // journal.
  void jobsWaitThenBecomePdfs() {
    if (access("/usr/sbin/cupsd", X_OK) != 0) QSKIP("cupsd is not installed (scripts/setup-deps.sh installs it)");
    // The scheduler runs a backend as root only when it is root itself and
    // the backend is root's alone, as the package installs ours.
    if (geteuid() != 0) QSKIP("a scheduler that runs our backend as it is installed needs root");
    m_cups = std::make_unique<PrivateCups>(Root() / "cups");
    qputenv("CUPS_SERVER", m_cups->server().c_str());
    QTRY_VERIFY_WITH_TIMEOUT(RunProgram("/usr/bin/lpstat", {"-r"}).output.contains("scheduler is running"), 60000);
    const ProgramRun add = Cli({"printer", "add", "Archive", "--destination", Arg(Out()), "--preset", "pdfa-2b"});
    QVERIFY(add.exitCode == 0 && add.output.contains("added watch folder \"printer Archive\"") &&
            add.output.contains("added queue Archive: lpadmin -p Archive -E -v quillpress:" + QByteArray(Spool().c_str())));
    QCOMPARE(Cli({"printer", "list"}).output, "Archive  " + QByteArray(Spool().c_str()) + " -> " + QByteArray(Out().c_str()) + "  preset pdfa-2b\n");
    QCOMPARE(Cli({"printer", "add", "Archive", "--destination", Arg(Out())}).exitCode, 1);
    QCOMPARE(Cli({"printer", "add", "../x", "--destination", Arg(Out())}).exitCode, 2);

    for (const auto& [bytes, said] : {std::pair<std::string, std::string>{"Dear Sir,\n", "(it begins with \\\"Dear Sir,\\\\n\\\")"},
                                      {"%PDF-1.4\n%\xe2\xe3\n", "(it begins with \\\"%PDF-1.4"}}) {
      const int job = Print("Archive", "Bad", bytes, {"-o", "raw"});
      QTRY_VERIFY_WITH_TIMEOUT(job > 0 && LogHas(job, "Job canceled at printer."), 60000);
      QVERIFY(LogHas(job, "job " + std::to_string(job) + " (\\\"Bad\\\" from root) is not PostScript " + said));
      QVERIFY(!LogHas(job, "Job completed."));
      std::string left;
      for (const std::string& name : ListTree(Spool())) left += "\n" + name;
      QCOMPARE(Occurrences(left, "\n.quillpress-record-" + std::to_string(job) + "-"), 1u);
    }
    for (const auto& [title, name] : std::vector<std::pair<std::string, std::string>>{
             {"Quarterly Report", "Quarterly Report"}, {"Quarterly Report", "Quarterly Report 1"},
             {"smbprn.00000012 Report", "Report"}, {"../../etc/passwd", "passwd"}}) {
      const int job = Print("Archive", title, Job());
      QTRY_VERIFY_WITH_TIMEOUT(job > 0 && LogHas(job, "Job completed."), 60000);
      QVERIFY(fs::exists(Spool() / (name + ".ps")));
    }
    QVERIFY(!fs::exists(Out()) || ListTree(Out()).empty());

    m_watch.setProcessChannelMode(QProcess::ForwardedChannels);
    m_watch.start(Arg(BinDir() / "quillpress-cli"), {"watch"});
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(Out()), (Strings{"Quarterly Report 1.pdf", "Quarterly Report.pdf", "Report.pdf", "passwd.pdf"}),
                              120000);
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(Spool()), Strings{}, 30000);
    QCOMPARE((Strings{PdfInfo(Out() / "Quarterly Report 1.pdf", "/Title"), PdfInfo(Out() / "Report.pdf", "/Title"),
                      PdfInfo(Out() / "passwd.pdf", "/Title"), PdfInfo(Out() / "passwd.pdf", "/Author")}),
             (Strings{"Quarterly Report", "Report", "../../etc/passwd", "root"}));
    // In the queue's preset; nothing written where a title's path points.
    QVERIFY(ReadAll(Out() / "Report.pdf").find("pdfaid:part='2'") != std::string::npos);
    QVERIFY(!fs::exists(Root() / "etc") && !fs::exists(Root() / "home" / ".local" / "etc"));
    const std::string journal = Journal();
    QCOMPARE(Occurrences(journal, "refused: "), 2u);
    QVERIFY(journal.find("(\"Bad\" from root) is not PostScript (it begins with \"Dear Sir,\\n\"); nothing was handed over)") !=
            std::string::npos);
    QVERIFY(journal.find(" (\"../../etc/passwd\" from root) was handed over as \"passwd.ps\": the title names a path: "
                         "the file is named after its last part)") != std::string::npos);
  }

  // A job cancelled while it is handed over: the part goes, nothing is
  // converted, and the cancellation is said in the journal. A filter of the
  // test's own ends its output half-way and lives on until the job is
  // cancelled, so the backend reads the end of its input before the cancel.
  void cancelledMidTransfer() {
    if (!m_cups) QSKIP("no private scheduler");
    const fs::path gate = Root() / "gate", ppd = Root() / "stall.ppd", filter = Root() / "cups" / "bin" / "filter" / "quillpress-stall";
    QCOMPARE(mkfifo(gate.c_str(), 0644), 0);
    WriteFile(filter, "#!/bin/sh\nhead -c 4096\nexec >&-\nread line < '" + gate.native() + "'\n");
    fs::permissions(filter, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    WriteFile(ppd, ReadAll(BinDir().parent_path() / "share" / "ppd" / "quillpress" / "quillpress.ppd") +
                       "*cupsFilter: \"application/vnd.cups-postscript 0 quillpress-stall\"\n");
    const ProgramRun admin = RunProgram("/usr/sbin/lpadmin", {"-p", "Stall", "-E", "-v", "quillpress:" + Arg(Spool()), "-P", Arg(ppd)});
    QVERIFY2(admin.exitCode == 0, admin.output.constData());
    const int job = Print("Stall", "Half", Job(256 * 1024));
    QVERIFY(job > 0);
    QTRY_VERIFY_WITH_TIMEOUT(LogHas(job, "the input has ended; waiting for the filters"), 60000);
    RunProgram("/usr/bin/cancel", {QString::number(job)});
    QTRY_VERIFY_WITH_TIMEOUT(Journal().find("(job " + std::to_string(job) + " (\"Half\" from root) was cancelled while it "
                                            "was handed over; nothing was handed over)") != std::string::npos, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(Spool()), Strings{}, 30000);
    QCOMPARE(ListTree(Out()).size(), std::size_t(4));
  }

  // A queue added while the watch service runs is converted at once. A job
  // larger than the spool's free space waits for space, nothing of it
  // stays, and the journal says so. Then the queue goes, with its watch
  // folder.
  void newQueueFullSpoolAndRemoval() {
    if (!m_cups) QSKIP("no private scheduler");
    const fs::path tiny = Root() / "tiny";
    fs::create_directories(tiny);
    if (mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=256k") != 0) QSKIP("cannot mount a small file system");
    const auto unmount = qScopeGuard([&] { umount2(tiny.c_str(), MNT_DETACH); });
    const ProgramRun add = Cli({"printer", "add", "Tiny", "--destination", Arg(Root() / "out2"), "--spool", Arg(tiny)});
    QVERIFY2(add.exitCode == 0, add.output.constData());
    QVERIFY(Print("Tiny", "Small", Job()) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(Root() / "out2"), Strings{"Small.pdf"}, 120000);

    const int job = Print("Tiny", "Too big", Job(1024 * 1024));
    const std::string said = "job " + std::to_string(job) + " (\"Too big\" from root) does not fit into the spool folder";
    QTRY_VERIFY_WITH_TIMEOUT(job > 0 && Journal().find(said) != std::string::npos, 60000);
    QVERIFY(LogHas(job, "job " + std::to_string(job) + " (\\\"Too big\\\" from root) does not fit into the spool folder"));
    QVERIFY(!LogHas(job, "Job completed."));
    RunProgram("/usr/bin/cancel", {"-a", "Tiny"});
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(tiny), Strings{}, 30000);

    const ProgramRun removed = Cli({"printer", "remove", "Tiny"});
    QVERIFY(removed.exitCode == 0 && removed.output.contains("removed queue Tiny: lpadmin -x Tiny") &&
            removed.output.contains("removed watch folder of " + QByteArray(tiny.c_str())));
    QVERIFY(!Cli({"printer", "list"}).output.contains("Tiny") && Cli({"printer", "remove", "Tiny"}).exitCode == 1);
  }
};

QTEST_GUILESS_MAIN(PrintQueue)
#include "tst_print_queue.moc"
