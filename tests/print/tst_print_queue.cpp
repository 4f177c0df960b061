// Print queues end to end: a private CUPS scheduler, a queue set up by
// `quillpress-cli printer add`, jobs printed with lp, the watch service
// converting the spool; and the backend on its own for what lp cannot send.

#include "PostScriptSamples.h"
#include "PrivateCups.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace fs = std::filesystem;

namespace {

std::string PdfInfo(const fs::path& pdf, const std::string& key) {
  std::string value = "(unreadable)";
  samples::ReadPdf(pdf, [&](QPDF& doc) {
    QPDFObjectHandle info = doc.getTrailer().getKey("/Info");
    value = info.isDictionary() && info.hasKey(key) ? info.getKey(key).getUTF8Value() : "(none)";
  });
  return value;
}

std::string PdfMetadata(const fs::path& pdf) {
  std::string xmp;
  samples::ReadPdf(pdf, [&](QPDF& doc) {
    QPDFObjectHandle metadata = doc.getRoot().getKey("/Metadata");
    if (!metadata.isStream()) return;
    const auto data = metadata.getStreamData(qpdf_dl_generalized);
    xmp.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
  });
  return xmp;
}

// A PostScript job with some bulk in its page, for jobs of a given size.
std::string Job(std::size_t padding = 0) {
  std::string ps = samples::OnePagePostScript();
  std::string bulk;
  for (std::size_t line = 0; line < padding / 64; ++line) bulk += "%" + std::string(62, 'x') + "\n";
  return ps.insert(ps.find("showpage"), bulk);
}

}  // namespace

class PrintQueue : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  std::unique_ptr<PrivateCups> m_cups;
  QProcess m_watch;

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  fs::path Out() const { return Root() / "out"; }
  fs::path State() const { return Root() / "home" / ".local" / "state" / "quillpress"; }
  fs::path Spool() const { return State() / "print" / "Archive"; }
  std::string Journal() const { return samples::ReadAll(State() / "watch.log"); }

  QStringList Environment() const {
    const QString home = samples::Arg(Root() / "home");
    return {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config", "XDG_STATE_HOME=" + home + "/.local/state",
            "XDG_RUNTIME_DIR=" + samples::Arg(Root() / "runtime"),
            "CUPS_SERVER=" + QString::fromStdString(m_cups->server())};
  }
  samples::ProgramRun Cli(const QStringList& args) {
    return samples::RunProgram("quillpress-cli", args, Environment(), Root());
  }
  // Prints; answers the job's number.
  int Print(const std::string& queue, const std::string& title, const std::string& bytes,
            const QStringList& options = {}) {
    const fs::path file = Root() / "job.data";
    samples::WriteFile(file, bytes);
    const samples::ProgramRun run = samples::RunProgram(
        "/usr/bin/lp",
        QStringList{"-h", QString::fromStdString(m_cups->server()), "-d", QString::fromStdString(queue), "-t",
                    QString::fromStdString(title)} + options + QStringList{samples::Arg(file)},
        {}, Root());
    const auto match = QRegularExpression("request id is .*-(\\d+) ").match(QString::fromUtf8(run.output));
    return run.exitCode == 0 && match.hasMatch() ? match.captured(1).toInt() : -1;
  }
  bool LogHas(int job, const std::string& text) const {
    return m_cups->Log().find("[Job " + std::to_string(job) + "] " + text) != std::string::npos;
  }
  static std::vector<std::string> Entries(const fs::path& folder) { return samples::ListTree(folder); }

  void StartWatching() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : Environment()) env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    m_watch.setProcessEnvironment(env);
    m_watch.setProcessChannelMode(QProcess::ForwardedChannels);
    m_watch.start(samples::Arg(samples::BinDir() / "quillpress-cli"), {"watch"});
    QVERIFY(m_watch.waitForStarted());
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_dir.isValid());
    fs::create_directories(Root() / "runtime");
    fs::permissions(Root() / "runtime", fs::perms::owner_all);
  }

  void cleanupTestCase() {
    if (m_watch.state() != QProcess::NotRunning) {
      m_watch.terminate();
      m_watch.waitForFinished(30000);
    }
    m_cups.reset();
  }

  // The backend as CUPS runs it, for what lp never sends: an empty job,
  // titles with control characters or of any length. A refused job leaves
  // only its record for the watch service's journal, a title made safe a
  // record beside the job.
  void backendOnItsOwn_data() {
    QTest::addColumn<std::string>("title");
    QTest::addColumn<std::string>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<std::string>("said");
    QTest::addColumn<std::vector<std::string>>("left");
    const std::string ps = Job();
    QTest::newRow("plain") << std::string("Minutes") << ps << 0 << std::string("INFO: job 7 (\"Minutes\" from ann")
                           << std::vector<std::string>{"Minutes.ps"};
    const std::string record = ".quillpress-record-7-";
    QTest::newRow("empty") << std::string("Minutes") << std::string() << 5
                           << std::string("ERROR: job 7 (\"Minutes\" from ann) is empty; nothing was handed over")
                           << std::vector<std::string>{record};
    QTest::newRow("Ctrl-D only") << std::string("Minutes") << std::string("\x04") << 5
                                 << std::string("ERROR: job 7 (\"Minutes\" from ann) is empty")
                                 << std::vector<std::string>{record};
    QTest::newRow("not PostScript") << std::string("Minutes") << std::string("\x1b%-12345X@PJL\n") << 5
                                    << std::string("is not PostScript (it begins with \"\\x1b%-12345X@PJL\\n\")")
                                    << std::vector<std::string>{record};
    QTest::newRow("newline") << std::string("first\nsecond\r\x1b[2J") << ps << 0
                             << std::string("INFO: job title \"first\\nsecond\\x0d\\x1b[2J\": the title's control characters")
                             << std::vector<std::string>{record, "first second [2J.ps"};
    QTest::newRow("path") << std::string("../../etc/passwd") << ps << 0
                          << std::string("the title names a path: the file is named after its last part")
                          << std::vector<std::string>{record, "passwd.ps"};
    QTest::newRow("hidden") << std::string("..") << ps << 0 << std::string("handed over as")
                            << std::vector<std::string>{record, "Print job 7.ps"};
    QTest::newRow("4,000 characters") << std::string(4000, 'x') << ps << 0
                                      << std::string("the file name was shortened")
                                      << std::vector<std::string>{record, std::string(100, 'x') + ".ps"};
    QTest::newRow("document name") << std::string("smbprn.00000012 Report.docx") << ps << 0
                                   << std::string("the title's spool name was dropped")
                                   << std::vector<std::string>{"Report.ps"};
  }
  void backendOnItsOwn() {
    QFETCH(std::string, title);
    QFETCH(std::string, bytes);
    QFETCH(int, status);
    QFETCH(std::string, said);
    QFETCH(std::vector<std::string>, left);
    const fs::path spool = Root() / "alone" / QTest::currentDataTag();
    fs::create_directories(spool);
    QProcess backend;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DEVICE_URI", "quillpress:" + samples::Arg(spool).replace(" ", "%20"));
    backend.setProcessEnvironment(env);
    backend.start(samples::Arg(samples::BinDir() / "cups" / "backend" / "quillpress"),
                  {"7", "ann", QString::fromStdString(title), "1", ""});
    QVERIFY(backend.waitForStarted());
    backend.write(bytes.data(), qint64(bytes.size()));
    backend.closeWriteChannel();
    QVERIFY(backend.waitForFinished(60000));
    const std::string stderrText = backend.readAllStandardError().toStdString();
    QVERIFY2(stderrText.find(said) != std::string::npos, stderrText.c_str());
    QCOMPARE(backend.exitCode(), status);
    const std::vector<std::string> entries = Entries(spool);
    QCOMPARE(entries.size(), left.size());
    for (std::size_t i = 0; i < left.size(); ++i) QVERIFY2(entries[i].rfind(left[i], 0) == 0, entries[i].c_str());
    if (status == 0) {
      // The title, user and job number go first, on one line each.
      const std::string handed = samples::ReadAll(spool / left.back());
      QVERIFY(handed.rfind("%!PS", 0) == 0);
      QVERIFY2(handed.find("\n%%For: (ann)\n%%QuillpressJob: 7\n") != std::string::npos, handed.c_str());
      QCOMPARE(std::count(handed.begin(), handed.end(), '\n'), std::count(bytes.begin(), bytes.end(), '\n') + 3);
    }
  }

  // As root the backend becomes the owner of the first folder on the way
  // that is not root's, and follows no link.
  void spoolFolderRights() {
    if (geteuid() != 0) QSKIP("needs root");
    const fs::path owned = Root() / "alone" / "owned";
    fs::create_directories(owned);
    QCOMPARE(chown(owned.c_str(), 65534, 65534), 0);
    fs::create_directory_symlink(owned, Root() / "alone" / "link");
    for (const fs::path& spool : {owned, Root() / "alone" / "link"}) {
      QProcess backend;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert("DEVICE_URI", "quillpress:" + samples::Arg(spool));
      backend.setProcessEnvironment(env);
      backend.start(samples::Arg(samples::BinDir() / "cups" / "backend" / "quillpress"),
                    {"9", "ann", "Owned", "1", ""});
      QVERIFY(backend.waitForStarted());
      backend.write(QByteArray::fromStdString(Job()));
      backend.closeWriteChannel();
      QVERIFY(backend.waitForFinished(60000));
      const QByteArray said = backend.readAllStandardError();
      if (spool == owned) {
        QCOMPARE(backend.exitCode(), 0);
        struct stat st {};
        QCOMPARE(stat((owned / "Owned.ps").c_str(), &st), 0);
        QCOMPARE(st.st_uid, uid_t(65534));
      } else {
        QCOMPARE(backend.exitCode(), 1);
        QVERIFY2(said.contains("ERROR: cannot open the spool folder") && said.contains("a folder on its way is a link"),
                 said.constData());
        QCOMPARE(Entries(owned), std::vector<std::string>{"Owned.ps"});
      }
    }
  }

  void queueIsSetUp() {
    if (const QString why = PrivateCups::Unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    m_cups = std::make_unique<PrivateCups>(Root() / "cups");
    QTRY_VERIFY_WITH_TIMEOUT(m_cups->Answers(), 60000);
    const samples::ProgramRun add =
        Cli({"printer", "add", "Archive", "--destination", samples::Arg(Out()), "--preset", "pdfa-2b"});
    QVERIFY2(add.exitCode == 0, add.output.constData());
    QVERIFY(add.output.contains("added queue Archive: lpadmin -p Archive -E -v quillpress:" +
                                QByteArray(Spool().c_str())));
    QVERIFY(add.output.contains("added watch folder \"printer Archive\""));
    const samples::ProgramRun list = Cli({"printer", "list"});
    QCOMPARE(list.exitCode, 0);
    QCOMPARE(list.output, QByteArray("Archive  " + QByteArray(Spool().c_str()) + " -> " +
                                     QByteArray(Out().c_str()) + "  preset pdfa-2b\n"));
    QCOMPARE(Cli({"printer", "add", "Archive", "--destination", samples::Arg(Out())}).exitCode, 1);
    QCOMPARE(Cli({"printer", "add", "../x", "--destination", samples::Arg(Out())}).exitCode, 2);
  }

  // Refused jobs, while no watch service runs: a line in the job's log, no
  // completed job, and only the refusal's record left in the spool.
  void badJobsAreRefused_data() {
    QTest::addColumn<std::string>("bytes");
    QTest::addColumn<std::string>("said");
    QTest::newRow("text") << std::string("Dear Sir,\n") << std::string("is not PostScript (it begins with \\\"Dear Sir,\\\\n\\\")");
    QTest::newRow("PDF") << std::string("%PDF-1.4\n%\xe2\xe3\n") << std::string("is not PostScript (it begins with \\\"%PDF-1.4");
  }
  void badJobsAreRefused() {
    if (!m_cups) QSKIP("no private scheduler");
    QFETCH(std::string, bytes);
    QFETCH(std::string, said);
    const int job = Print("Archive", "Bad", bytes, {"-o", "raw"});
    QVERIFY(job > 0);
    QTRY_VERIFY_WITH_TIMEOUT(LogHas(job, "Job canceled at printer."), 60000);
    QVERIFY2(LogHas(job, "job " + std::to_string(job) + " (\\\"Bad\\\" from root) " + said), m_cups->Log().c_str());
    QVERIFY(!LogHas(job, "Job completed."));
    const std::vector<std::string> left = Entries(Spool());
    QVERIFY(std::count_if(left.begin(), left.end(), [&](const std::string& name) {
              return name.rfind(".quillpress-record-" + std::to_string(job) + "-", 0) == 0;
            }) == 1);
  }

  // With no watch service the jobs wait, complete, in the spool; once it
  // runs they become PDFs named and titled after the jobs, and the
  // refusals reach its journal.
  void jobsWaitThenBecomePdfs() {
    if (!m_cups) QSKIP("no private scheduler");
    const std::vector<std::pair<std::string, std::string>> jobs = {
        {"Quarterly Report", "Quarterly Report"}, {"Quarterly Report", "Quarterly Report 1"},
        {"smbprn.00000012 Report", "Report"}, {"../../etc/passwd", "passwd"}};
    for (const auto& [title, name] : jobs) {
      const int job = Print("Archive", title, Job());
      QVERIFY(job > 0);
      QTRY_VERIFY_WITH_TIMEOUT(LogHas(job, "Job completed."), 60000);
      QVERIFY(fs::exists(Spool() / (name + ".ps")));
    }
    QVERIFY(!fs::exists(Out()) || Entries(Out()).empty());

    StartWatching();
    const std::vector<std::string> pdfs = {"Quarterly Report 1.pdf", "Quarterly Report.pdf", "Report.pdf",
                                           "passwd.pdf"};
    QTRY_COMPARE_WITH_TIMEOUT(Entries(Out()), pdfs, 120000);
    QTRY_COMPARE_WITH_TIMEOUT(Entries(Spool()), std::vector<std::string>{}, 30000);
    QCOMPARE(PdfInfo(Out() / "Quarterly Report 1.pdf", "/Title"), std::string("Quarterly Report"));
    QCOMPARE(PdfInfo(Out() / "Report.pdf", "/Title"), std::string("Report"));
    QCOMPARE(PdfInfo(Out() / "passwd.pdf", "/Title"), std::string("../../etc/passwd"));
    QCOMPARE(PdfInfo(Out() / "passwd.pdf", "/Author"), std::string("root"));
    // In the queue's preset.
    QVERIFY(PdfMetadata(Out() / "Report.pdf").find("pdfaid:part='2'") != std::string::npos);
    QVERIFY(!fs::exists(Root() / "etc") && !fs::exists(Root() / "home" / ".local" / "etc"));
    const std::string journal = Journal();
    QVERIFY2(journal.find("(\"Bad\" from root) is not PostScript (it begins with \"Dear Sir,\\n\"); nothing was handed over)") != std::string::npos,
             journal.c_str());
    QCOMPARE(QString::fromStdString(journal).count("refused: "), 2);
    QVERIFY2(journal.find(" (\"../../etc/passwd\" from root) was handed over as "
                          "\"passwd.ps\": the title names a path: the file is named after its last part)") !=
                 std::string::npos, journal.c_str());
  }

  // A job cancelled while the backend reads it: the part goes, nothing is
  // converted, and the cancellation is said in the journal. A filter of the
  // test's own holds the transfer half-way until the job is cancelled.
  void cancelledMidTransfer() {
    if (!m_cups) QSKIP("no private scheduler");
    const fs::path gate = Root() / "gate";
    QCOMPARE(mkfifo(gate.c_str(), 0644), 0);
    m_cups->AddFilter("quillpress-stall", "#!/bin/sh\nhead -c 4096\nread line < '" + gate.native() + "'\ncat\n");
    const fs::path ppd = Root() / "stall.ppd";
    samples::WriteFile(ppd, samples::ReadAll(samples::BinDir().parent_path() / "share" / "ppd" / "quillpress" /
                                             "quillpress.ppd") +
                                "*cupsFilter: \"application/vnd.cups-postscript 0 quillpress-stall\"\n");
    const samples::ProgramRun admin = samples::RunProgram(
        "/usr/sbin/lpadmin", {"-h", QString::fromStdString(m_cups->server()), "-p", "Stall", "-E", "-v",
                              "quillpress:" + samples::Arg(Spool()), "-P", samples::Arg(ppd)}, {}, Root());
    QVERIFY2(admin.exitCode == 0, admin.output.constData());
    const int job = Print("Stall", "Half", Job(256 * 1024));
    QVERIFY(job > 0);
    const std::string part = ".quillpress-job-" + std::to_string(job) + "-";
    QTRY_VERIFY_WITH_TIMEOUT(Entries(Spool()).size() == 1 && Entries(Spool()).front().rfind(part, 0) == 0 &&
                                 fs::file_size(Spool() / Entries(Spool()).front()) > 0, 60000);
    samples::RunProgram("/usr/bin/cancel", {"-h", QString::fromStdString(m_cups->server()), QString::number(job)});
    QTRY_VERIFY_WITH_TIMEOUT(Journal().find("(job " + std::to_string(job) +
                                            " (\"Half\" from root) was cancelled while it was handed over; "
                                            "nothing was handed over)") != std::string::npos, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(Entries(Spool()), std::vector<std::string>{}, 30000);
    QCOMPARE(Entries(Out()).size(), std::size_t(4));
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
    const samples::ProgramRun add = Cli({"printer", "add", "Tiny", "--destination", samples::Arg(Root() / "out2"),
                                         "--spool", samples::Arg(tiny)});
    QVERIFY2(add.exitCode == 0, add.output.constData());
    QVERIFY(Print("Tiny", "Small", Job()) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(Entries(Root() / "out2"), std::vector<std::string>{"Small.pdf"}, 120000);

    const int job = Print("Tiny", "Too big", Job(1024 * 1024));
    QVERIFY(job > 0);
    const std::string said = "job " + std::to_string(job) + " (\"Too big\" from root) does not fit into the spool folder";
    QTRY_VERIFY_WITH_TIMEOUT(Journal().find(said) != std::string::npos, 60000);
    QVERIFY(LogHas(job, "job " + std::to_string(job) + " (\\\"Too big\\\" from root) does not fit into the spool folder"));
    QVERIFY(!LogHas(job, "Job completed."));
    samples::RunProgram("/usr/bin/cancel", {"-h", QString::fromStdString(m_cups->server()), "-a", "Tiny"});
    QTRY_COMPARE_WITH_TIMEOUT(Entries(tiny), std::vector<std::string>{}, 30000);

    const samples::ProgramRun removed = Cli({"printer", "remove", "Tiny"});
    QVERIFY2(removed.exitCode == 0, removed.output.constData());
    QVERIFY(removed.output.contains("removed queue Tiny: lpadmin -x Tiny"));
    QVERIFY(removed.output.contains("removed watch folder of " + QByteArray(tiny.c_str())));
    QVERIFY(!Cli({"printer", "list"}).output.contains("Tiny"));
    QCOMPARE(Cli({"printer", "remove", "Tiny"}).exitCode, 1);
  }
};

QTEST_GUILESS_MAIN(PrintQueue)
#include "tst_print_queue.moc"
