// The watch engine where print rooms put it: FUSE and sshfs folders, a
// watcher killed, a writer pausing where no event reaches us, a destination
// too full, links, a clock ahead, the longest names; and several files
// converted at once. Real folders, real mounts, the real converter.

#include "watch/FileSystemKind.h"
#include "watch/FolderClaims.h"
#include "watch/Notifier.h"
#include "watch/WatchEngine.h"
#include "watch/WatchJournal.h"
#include "PostScriptSamples.h"
#include "WatchTestFolders.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <signal.h>

#include <map>
#include <mutex>
#include <set>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace samples;
using Kind = WatchEvent::Kind;

namespace {

constexpr int kDeadline = 120000;
QString Q(const fs::path& p) { return QFile::decodeName(p.c_str()); }

// A FUSE mount of program's file system at `at`, undone when it goes; why
// not, when this machine allows none.
struct Mount {
  Mount(const QString& program, const QStringList& args, const fs::path& mountPoint) : at(mountPoint) {
    fs::create_directories(at);
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      why = "no FUSE here";
      return;
    }
    QProcess p;
    p.start(program, args + QStringList{Q(at)});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
      why = program.toUtf8() + ": " + p.readAllStandardError();
  }
  ~Mount() {
    // FUSE 3 names its tool fusermount3; FUSE 2's is fusermount.
    if (why.isEmpty() && QProcess::execute("fusermount3", {"-uz", Q(at)}) != 0) QProcess::execute("fusermount", {"-uz", Q(at)});
  }
  fs::path at;
  QByteArray why;
};

// The engine as the service runs it: inotify events for folders that have
// them, a look every poll interval for shared ones; every event recorded.
// Short waits, so that a test takes seconds; the rescan that would find
// anything in the end is an hour away, so that what is found is found by
// the way under test.
class Watcher {
 public:
  Watcher()
      : m_notifier([this](int watch, std::vector<FolderEvent> events) {
          if (watch < 0) m_engine.RequestScan(-1);
          else if (auto id = m_watches.find(watch); id != m_watches.end()) m_engine.FolderChanged(id->second, std::move(events));
        }),
        m_engine({.settleTime = 150ms, .pollInterval = 300ms, .rescanInterval = 1h, .stableInterval = 600ms,
                  .disposalRetry = 300ms},
                 [this](const WatchEvent& e) {
                   std::lock_guard lock(m_mutex);
                   m_events.push_back(e);
                   m_journal.Append(e);
                 },
                 {}),
        m_journal(m_dir.filePath("watch.log").toStdString()) {}

  void Add(const fs::path& source, const fs::path& destination, SourceDisposal disposal = SourceDisposal::Delete,
           const fs::path& moveTo = {}) {
    const int id = static_cast<int>(m_watches.size() + m_polled + 1);
    const bool polled = IsSharedFileSystem(source);
    if (polled) ++m_polled;
    else m_watches[m_notifier.AddFolder(source)] = id;
    m_engine.AddFolder(id, {.source = source, .destination = destination, .moveTo = moveTo, .disposal = disposal}, polled);
  }
  std::vector<WatchEvent> events() {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  std::size_t count(Kind kind) {
    const auto all = events();
    return std::size_t(std::count_if(all.begin(), all.end(), [&](const WatchEvent& e) { return e.kind == kind; }));
  }
  std::string journal() const { return ReadAll(m_journal.path()); }
  WatchEngine& engine() { return m_engine; }

 private:
  QTemporaryDir m_dir;
  std::mutex m_mutex;
  std::vector<WatchEvent> m_events;
  std::map<int, int> m_watches;
  std::size_t m_polled = 0;
  Notifier m_notifier;
  WatchEngine m_engine;
  WatchJournal m_journal;
};

// Closed long ago, as far as the engine can tell: one look takes the file.
void DropOld(const fs::path& file, const std::string& content = OnePagePostScript()) {
  WriteFile(file, content);
  fs::last_write_time(file, fs::file_time_type::clock::now() - 1h);
}

}  // namespace

class WatchFieldTest : public QObject {
  Q_OBJECT

  WatchTestFolders m_f;

 private Q_SLOTS:
  void init() {
    m_f = WatchTestFolders();
    qunsetenv("QUILLPRESS_PSTOPDF_READY");
    qputenv("XDG_CONFIG_HOME", (m_f.root / "config").c_str());
    qputenv("XDG_STATE_HOME", (m_f.root / "state").c_str());
  }

  // On a FUSE folder (bindfs, which refuses RENAME_NOREPLACE, as NFS and
  // others do): the claims of watchers that ended are taken back, one of
  // this machine that was killed, one of another machine long silent; a
  // writer on the folder beneath, pausing longer than the file must hold
  // still, never has a part of its file converted. The sources are then
  // copied to another file system, beside a file of their name, which they
  // do not replace.
  void aFuseFolder() {
    const std::string own = FolderClaims::OwnOwner();
    const fs::path claims = m_f.source / FolderClaims::kClaimsFolder;
    WriteFile(claims / (own.substr(0, own.find('~')) + "~1~0") / "killed.ps", OnePagePostScript());
    WriteFile(claims / "elsewhere~4242~99" / "silent.ps", OnePagePostScript());
    fs::last_write_time(claims / "elsewhere~4242~99", fs::file_time_type::clock::now() - 1h);
    Mount mount("bindfs", {Q(m_f.source)}, m_f.root / "mount");
    if (!mount.why.isEmpty()) QSKIP(mount.why.constData());
    QTemporaryDir other("/dev/shm/quillpress-test-XXXXXX");
    const fs::path destination = other.isValid() ? fs::path(other.path().toStdString()) : m_f.destination;
    WriteFile(destination / "paused.ps", "already here");
    Watcher w;
    w.Add(mount.at, destination, SourceDisposal::MoveToDestination);
    const std::string doc = PostScriptWithPages(std::vector<std::pair<int, int>>(4, {300, 300}));
    // The writer's pause: three times what the file must hold still.
    QVERIFY(WriteSlowly(m_f.source / "paused.ps", doc, 4, 1800ms, false));
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Moved), std::size_t(3), kDeadline);
    QVERIFY(w.count(Kind::Converted) == 3 && w.count(Kind::TakenBack) == 2);
    QCOMPARE(PdfPageSizes(destination / "paused.pdf").size(), std::size_t(4));
    QVERIFY(ReadAll(destination / "paused1.ps") == doc && ReadAll(destination / "paused.ps") == "already here");
    QCOMPARE(ListTree(destination), (std::vector<std::string>{"killed.pdf", "killed.ps", "paused.pdf", "paused.ps", "paused1.ps",
                                                              "silent.pdf", "silent.ps"}));
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(m_f.source), std::vector<std::string>{}, kDeadline);
  }

  // The destination too full to take the source: the PDF is there, the
  // source is put away once there is room, and never converted again,
  // even when touched meanwhile.
  void aDestinationTooFullForTheSource() {
    const fs::path small = m_f.Make("small");
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", Q(small)}) != 0) {
      QSKIP("no tmpfs of a chosen size can be mounted here");
    }
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", Q(small)}); });
    // 640 KB of comments after one page: its PDF fits, the source not.
    std::string big = OnePagePostScript();
    for (int i = 0; i < 10000; ++i) big += "% " + std::string(61, 'p') + "\n";
    WriteFile(m_f.source / "big.ps", big);
    Watcher w;
    w.Add(m_f.source, small, SourceDisposal::MoveToDestination);
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Failed), std::size_t(1), kDeadline);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.source / "big.ps") && fs::exists(small / "big.pdf"), kDeadline);
    // Touched while it waits: the same bytes, still only to be put away.
    fs::last_write_time(m_f.source / "big.ps", fs::file_time_type::clock::now());
    QCOMPARE(QProcess::execute("mount", {"-o", "remount,size=4m", Q(small)}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Moved), std::size_t(1), kDeadline);
    QCOMPARE(w.count(Kind::Converted), std::size_t(1));
    QCOMPARE(ListTree(small), (std::vector<std::string>{"big.pdf", "big.ps"}));
    QCOMPARE(ListTree(m_f.source), std::vector<std::string>{});
  }

  // What arrives without a writer's close: a hard link (whole at once), a
  // symbolic link (never followed, said once, even when looked at again),
  // a file found dated a day ahead, a name as long as a name can be, and a
  // file in the claim of a watcher of this machine that was killed.
  void entriesThatArriveOddly() {
    const std::string own = FolderClaims::OwnOwner();
    WriteFile(m_f.source / FolderClaims::kClaimsFolder / (own.substr(0, own.find('~')) + "~1~0") / "orphan.ps", OnePagePostScript());
    const fs::path outside = m_f.root / "outside.ps";
    for (const fs::path& file : {outside, m_f.source / "ahead.ps", m_f.source / (std::string(252, 'n') + ".ps")}) {
      WriteFile(file, OnePagePostScript());
    }
    fs::last_write_time(m_f.source / "ahead.ps", fs::file_time_type::clock::now() + 24h);
    Watcher w;
    w.Add(m_f.source, m_f.destination);
    fs::create_hard_link(outside, m_f.source / "linked.ps");
    fs::create_symlink(outside, m_f.source / "pointer.ps");
    QTRY_VERIFY_WITH_TIMEOUT(w.count(Kind::Deleted) == 4 && w.count(Kind::Skipped) == 1, kDeadline);
    w.engine().RequestScan(-1);
    QTRY_VERIFY_WITH_TIMEOUT(w.journal().find("skipped: " + (m_f.source / "pointer.ps").native()) != std::string::npos, kDeadline);
    QVERIFY(Occurrences(w.journal(), "skipped:") == 1 && w.count(Kind::TakenBack) == 1 && w.count(Kind::Failed) == 0);
    QCOMPARE(ListTree(m_f.destination),
             (std::vector<std::string>{"ahead.pdf", "linked.pdf", std::string(251, 'n') + ".pdf", "orphan.pdf"}));
    for (const auto& pdf : ListTree(m_f.destination)) QCOMPARE(PdfPageSizes(m_f.destination / pdf).size(), std::size_t(1));
    QVERIFY(fs::is_symlink(m_f.source / "pointer.ps") && fs::exists(outside));
  }

  // The journal keeps several older files: a flood keeps its last lines.
  void theJournalKeepsSeveralOlderFiles() {
    const fs::path file = m_f.root / "journal" / "watch.log";
    WatchJournal journal(file, 4096);
    for (int i = 0; i < 1000; ++i) {
      journal.Append({Kind::Converted, std::chrono::system_clock::now(), 0,
                      m_f.source / ("file" + std::to_string(i) + ".ps"), {}, {}});
    }
    std::string all;
    for (int n = WatchJournal::kKeptFiles + 1; n >= 0; --n) {
      const fs::path older = n > 0 ? fs::path(file.native() + "." + std::to_string(n)) : file;
      QVERIFY2(fs::exists(older) == (n <= WatchJournal::kKeptFiles), older.c_str());
      QVERIFY(!fs::exists(older) || fs::file_size(older) <= 4096);
      all += ReadAll(older);
    }
    // The newest lines, in order, none torn.
    const auto last = all.rfind("file999.ps");
    QVERIFY(last != std::string::npos && all.find("file900.ps") < last);
    QCOMPARE(Occurrences(all, "\n"), Occurrences(all, "converted: "));
  }

  // A network file system of its own kind (its own caches and rename
  // rules): a folder reached through sshfs, its SFTP server run by the
  // mount itself. Two watchers, as on two machines, each through its own
  // mount, convert 200 files exactly once; the files a killed one had in
  // hand are taken back by the other and converted.
  void twoWatchersOnAnSshfsFolder() {
    const fs::path server = "/usr/lib/openssh/sftp-server";
    if (!fs::exists(server) || !fs::exists("/usr/bin/sshfs")) QSKIP("no SFTP server or sshfs here");
    const QStringList args = {"-o", "ssh_command=" + Q(WriteStandInConverter(m_f.root, "ssh", "exec " + server.native())),
                              "localhost:" + Q(m_f.source)};
    Mount first("sshfs", args, m_f.root / "one"), second("sshfs", args, m_f.root / "two");
    if (!(first.why + second.why).isEmpty()) QSKIP((first.why + second.why).constData());
    QVERIFY(IsSharedFileSystem(first.at));
    // Each watcher a process of its own, as on a machine of its own.
    const std::vector<fs::path> outs = {m_f.Make("out-one"), m_f.Make("out-two")};
    auto start = [&](QProcess& p, const Mount& mount, const fs::path& out) {
      p.start(Q(BinDir() / "quillpress-cli"), {"watch", "--source", Q(mount.at), "--destination", Q(out), "--delete"});
      return p.waitForStarted();
    };
    std::multiset<std::string> expected, made;
    auto write = [&](const std::string& prefix, int files) {
      for (int i = 1000; i < 1000 + files; ++i) WriteFile(m_f.source / (prefix + std::to_string(i) + ".ps"), OnePagePostScript());
      for (int i = 1000; i < 1000 + files; ++i) expected.insert(prefix + std::to_string(i) + ".pdf");
    };
    auto pdfs = [&] {
      made.clear();
      for (const fs::path& out : outs) {
        for (const std::string& name : ListTree(out)) made.insert(name);
      }
      return std::count_if(made.begin(), made.end(), [](const std::string& name) { return name.ends_with(".pdf"); });
    };
    QProcess one, two;
    QVERIFY(start(one, first, outs[0]) && start(two, second, outs[1]));
    write("f", 200);
    QTRY_VERIFY_WITH_TIMEOUT(pdfs() >= 200 && ListTree(m_f.source).empty(), 5 * kDeadline);
    QVERIFY(made == expected && !fs::is_empty(outs[0]) && !fs::is_empty(outs[1]));

    // The second stopped, the first killed with files in hand; the second
    // again takes them back.
    two.terminate();
    QVERIFY(two.waitForFinished(kDeadline));
    write("g", 20);
    auto inHand = [&] { return !ListTree(m_f.source / FolderClaims::kClaimsFolder).empty(); };
    QTRY_VERIFY_WITH_TIMEOUT(inHand(), kDeadline);
    kill(static_cast<pid_t>(one.processId()), SIGKILL);
    QVERIFY(one.waitForFinished(kDeadline) && inHand() && start(two, second, outs[1]));
    QTRY_VERIFY_WITH_TIMEOUT(ListTree(m_f.source).empty(), 2 * kDeadline);
    // Every file has its PDF; only a file the killed one had converted but
    // not yet removed may have two.
    pdfs();
    for (const std::string& name : std::set<std::string>(expected.begin(), expected.end())) {
      QVERIFY2(made.count(name) >= 1 && (name[0] == 'g' || made.count(name) == 1), name.c_str());
    }
    QVERIFY(made.size() <= expected.size() + 4);
    two.terminate();
    QVERIFY(two.waitForFinished(kDeadline));
  }

  // Several conversions at once (the first file taken held until three
  // others have ended): a folder's sources are put away in the order they
  // were taken, and its PDFs named as one conversion after another names
  // them.
  void sourcesGoInTheOrderTakenAndPdfsAreNamedAsOneAfterAnother() {
    const fs::path moveTo = m_f.Make("done");
    // Stems that repeat, so that names depend on the order; one look takes
    // them all, in the order the folder lists them.
    for (const std::string name : {"a.ps", "a.eps", "b.ps", "b.eps", "c.ps", "c.eps", "d.ps", "e.ps"}) {
      DropOld(m_f.source / name, name.ends_with(".eps") ? EpsWithBox(0, 0, 30, 30) : OnePagePostScript());
    }
    std::vector<fs::path> listed, converted, putAway;
    for (const auto& entry : fs::directory_iterator(m_f.source)) listed.push_back(entry.path());
    const fs::path log = m_f.root / "converter.log";
    qputenv("QUILLPRESS_PSTOPDF", LoggingConverter(m_f.root, "held", log, "/" + listed.front().filename().string(), 3).c_str());
    qputenv("QUILLPRESS_PSTOPDF_READY", "0");
    Watcher w;
    w.engine().SetConcurrentConversions(4);
    w.Add(m_f.source, m_f.destination, SourceDisposal::MoveToFolder, moveTo);
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Moved), std::size_t(8), kDeadline);
    w.engine().Stop();
    std::set<std::string> taken;
    for (const WatchEvent& e : w.events()) {
      if (e.kind == Kind::Moved) putAway.push_back(e.file);
      if (e.kind != Kind::Converted) continue;
      converted.push_back(e.file);
      // The name one conversion after another gives, in this order.
      std::string expected = e.file.stem().string() + ".pdf";
      for (int n = 1; taken.count(expected); ++n) expected = e.file.stem().string() + " " + std::to_string(n) + ".pdf";
      taken.insert(expected);
      QCOMPARE(e.result.filename().string(), expected);
    }
    // It really ran out of order: several at once, the first ended late.
    QVERIFY(converted == listed && putAway == listed && MostAtOnce(log) > 1);
    QVERIFY(ListTree(m_f.source).empty() && ListTree(moveTo).size() == 8);
  }

  // A file arriving in a quiet folder goes before another folder's burst:
  // behind the file in hand, not behind the burst.
  void aFileInAQuietFolderIsNextInLine() {
    const fs::path busy = m_f.Make("busy"), quiet = m_f.Make("quiet"), started = m_f.root / "started", go = m_f.root / "go";
    for (int i = 0; i < 6; ++i) DropOld(busy / ("burst" + std::to_string(i) + ".ps"));
    // The first conversion waits for the word to go on.
    qputenv("QUILLPRESS_PSTOPDF", WriteStandInConverter(m_f.root, "held", "if [ ! -e '" + started.string() + "' ]; then touch '" +
                                                                             started.string() + "'\n  until [ -e '" + go.string() +
                                                                             "' ]; do sleep 0.02; done; fi\nexec '" +
                                                                             (BinDir() / "pstopdf").string() + "' \"$@\"")
                                      .c_str());
    Watcher w;
    w.engine().SetConcurrentConversions(1);
    w.Add(busy, m_f.destination);
    w.Add(quiet, m_f.destination);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(started), kDeadline);
    DropOld(quiet / "lone.ps");
    w.engine().RequestScan(2);
    WriteFile(go, "");
    QTRY_COMPARE_WITH_TIMEOUT(w.count(Kind::Converted), std::size_t(7), kDeadline);
    w.engine().Stop();
    std::vector<std::string> converted;
    for (const WatchEvent& e : w.events()) {
      if (e.kind == Kind::Converted) converted.push_back(e.file.filename().string());
    }
    QCOMPARE(converted[1], std::string("lone.ps"));
  }
};

QTEST_GUILESS_MAIN(WatchFieldTest)
#include "tst_watch_field.moc"
