// The watch engine where print rooms put it: FUSE and sshfs folders, a
// watcher killed, a writer pausing where no event reaches us, a destination
// too full, links, a clock ahead, the longest names. Real folders, real
// mounts, the real converter.

#include "watch/FileSystemKind.h"
#include "watch/FolderClaims.h"
#include "watch/Notifier.h"
#include "watch/WatchEngine.h"
#include "watch/WatchJournal.h"
#include "PostScriptSamples.h"
#include "WatchTestFolders.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kDeadline = 120000;

QString Q(const fs::path& p) { return QFile::decodeName(p.c_str()); }

// A FUSE or sshfs mount, undone when it goes.
struct Mount {
  fs::path at;
  bool mounted = false;
  ~Mount() {
    if (!mounted) return;
    // FUSE 3 names its tool fusermount3; FUSE 2's is fusermount.
    if (QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-uz"), Q(at)}) != 0) {
      QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-uz"), Q(at)});
    }
  }
};

// Mounts program's file system at `at`; false (and a reason) when this
// machine allows none.
bool MountWith(Mount& mount, const QString& program, const QStringList& args, const fs::path& at,
               QByteArray& why) {
  mount.at = at;
  fs::create_directories(at);
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    why = "no FUSE here";
    return false;
  }
  QProcess p;
  p.start(program, args + QStringList{Q(at)});
  if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    why = program.toUtf8() + ": " + p.readAllStandardError();
    return false;
  }
  mount.mounted = true;
  return true;
}

// The engine as the service runs it: inotify events for folders that have
// them, a look every poll interval for shared ones; every event recorded.
class Watcher {
 public:
  explicit Watcher(WatchTimings timings)
      : m_notifier([this](int watch, std::vector<FolderEvent> events) {
          if (watch < 0) {
            m_engine.RequestScan(-1);
          } else if (auto id = m_watches.find(watch); id != m_watches.end()) {
            m_engine.FolderChanged(id->second, std::move(events));
          }
        }),
        m_engine(
            timings,
            [this](const WatchEvent& e) {
              std::lock_guard lock(m_mutex);
              m_events.push_back(e);
              m_journal.Append(e);
            },
            {}),
        m_journal(m_dir.filePath(QStringLiteral("watch.log")).toStdString()) {}

  void Add(const WatchConfiguration& config) {
    const int id = static_cast<int>(m_watches.size()) + 1;
    const bool polled = IsSharedFileSystem(config.source);
    if (!polled) m_watches[m_notifier.AddFolder(config.source)] = id;
    m_engine.AddFolder(id, config, polled);
  }

  std::size_t count(WatchEvent::Kind kind) {
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_events.begin(), m_events.end(), [&](const WatchEvent& e) { return e.kind == kind; }));
  }
  std::string journal() const { return samples::ReadAll(m_journal.path()); }
  WatchEngine& engine() { return m_engine; }

 private:
  QTemporaryDir m_dir;
  std::mutex m_mutex;
  std::vector<WatchEvent> m_events;
  std::map<int, int> m_watches;
  Notifier m_notifier;
  WatchEngine m_engine;
  WatchJournal m_journal;
};

// Short waits, so that a test takes seconds; the rescan that would find
// anything in the end is an hour away, so that what is found is found by
// the way under test.
WatchTimings Quick() {
  WatchTimings t;
  t.settleTime = 150ms;
  t.pollInterval = 300ms;
  t.stableInterval = 600ms;
  t.rescanInterval = 1h;
  t.disposalRetry = 300ms;
  return t;
}

WatchConfiguration Into(const fs::path& source, const fs::path& destination,
                        SourceDisposal disposal = SourceDisposal::Delete) {
  WatchConfiguration c;
  c.source = source;
  c.destination = destination;
  c.disposal = disposal;
  return c;
}

std::string HostName() {
  const std::string own = FolderClaims::OwnOwner();
  return own.substr(0, own.find('~'));
}

// A port on 127.0.0.1 that nothing listens on just now.
int FreePort() {
  QTcpServer probe;
  return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : -1;
}

bool Listening(int port) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
  return socket.waitForConnected(1000);
}

}  // namespace

class WatchFieldTest : public QObject {
  Q_OBJECT

 private:
  WatchTestFolders m_f;

 private Q_SLOTS:
  void init() { m_f = WatchTestFolders(); }

  // The claims of a watcher that ended are taken back: one of this machine
  // that was killed, one of another machine long silent; on a local folder
  // and on a FUSE one (bindfs, which refuses RENAME_NOREPLACE, as NFS and
  // others do).
  void claimsLeftBehindAreTakenBack_data() {
    QTest::addColumn<QString>("owner");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("fuse");
    const QString killed = QString::fromStdString(HostName() + "~1~0");
    QTest::newRow("a killed watcher of this machine") << killed << 0 << false;
    QTest::newRow("a killed watcher, on FUSE") << killed << 0 << true;
    QTest::newRow("another machine's, long silent, on FUSE") << "elsewhere~4242~99" << 3600 << true;
  }

  void claimsLeftBehindAreTakenBack() {
    QFETCH(QString, owner);
    QFETCH(int, ageSeconds);
    QFETCH(bool, fuse);
    Mount mount;
    mount.at = m_f.source;
    QByteArray why;
    if (fuse && !MountWith(mount, "bindfs", {Q(m_f.source)}, m_f.root / "mount", why)) QSKIP(why.constData());
    const fs::path claim = m_f.source / FolderClaims::kClaimsFolder / owner.toStdString();
    samples::WriteFile(claim / "orphan.ps", samples::OnePagePostScript());
    const auto old = fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds);
    fs::last_write_time(claim, old);
    Watcher w(Quick());
    w.Add(Into(mount.at, m_f.destination));
    QTRY_COMPARE_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted), std::size_t(1), kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::TakenBack), std::size_t(1));
    QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(1));
    QCOMPARE(samples::ListTree(m_f.destination), std::vector<std::string>{"orphan.pdf"});
    QTRY_COMPARE_WITH_TIMEOUT(samples::ListTree(m_f.source), std::vector<std::string>{}, kDeadline);
  }

  // A writer on the folder beneath a FUSE mount, pausing longer than the
  // file must hold still, while the mount is watched: its file is never
  // put away with a part of it converted, and the PDF has every page. The
  // source is then copied to another file system, beside a file of its
  // name, which it does not replace.
  void aWriterPausingUnderneathAFuseMount() {
    Mount mount;
    QByteArray why;
    if (!MountWith(mount, "bindfs", {Q(m_f.source)}, m_f.root / "mount", why)) QSKIP(why.constData());
    const fs::path far = "/dev/shm";
    struct stat a {}, b {};
    // A destination on another file system: the source goes there by a copy.
    std::unique_ptr<QTemporaryDir> other;
    fs::path destination = m_f.destination;
    if (stat(far.c_str(), &a) == 0 && stat(m_f.root.c_str(), &b) == 0 && a.st_dev != b.st_dev) {
      other = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/quillpress-test-XXXXXX"));
      destination = other->path().toStdString();
    }
    // A file of the source's name there already: it stays as it is.
    samples::WriteFile(destination / "paused.ps", "already here");
    Watcher w(Quick());
    w.Add(Into(mount.at, destination, SourceDisposal::MoveToDestination));
    const std::string doc = samples::PostScriptWithPages(std::vector<std::pair<int, int>>(4, {300, 300}));
    std::atomic<bool> closed = false;
    std::thread writer([&] {
      const int fd = open((m_f.source / "paused.ps").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const std::size_t quarter = doc.size() / 4 + 1;
      for (std::size_t at = 0; at < doc.size(); at += quarter) {
        const std::size_t n = std::min(quarter, doc.size() - at);
        if (write(fd, doc.data() + at, n) != ssize_t(n)) break;
        // The writer's pause: three times what the file must hold still.
        if (at + quarter < doc.size()) std::this_thread::sleep_for(1800ms);
      }
      close(fd);
      closed = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(closed.load(), kDeadline);
    writer.join();
    QTRY_COMPARE_WITH_TIMEOUT(w.count(WatchEvent::Kind::Moved), std::size_t(1), kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(1));
    QCOMPARE(samples::PdfPageSizes(destination / "paused.pdf").size(), std::size_t(4));
    QCOMPARE(samples::ReadAll(destination / "paused1.ps"), doc);
    QCOMPARE(samples::ReadAll(destination / "paused.ps"), std::string("already here"));
  }

  // The destination too full to take the source: the PDF is there, the
  // source is put away once there is room, and never converted again,
  // even when touched meanwhile.
  void aDestinationTooFullForTheSource() {
    const fs::path small = m_f.root / "small";
    fs::create_directories(small);
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", Q(small)}) != 0) {
      QSKIP("no tmpfs of a chosen size can be mounted here");
    }
    struct Unmount {
      fs::path at;
      ~Unmount() { QProcess::execute("umount", {"-l", Q(at)}); }
    } unmount{small};
    // 640 KB of comments after one page: its PDF fits, the source not.
    std::string big = samples::OnePagePostScript();
    for (int i = 0; i < 10000; ++i) big += "% " + std::string(61, 'p') + "\n";
    samples::WriteFile(m_f.source / "big.ps", big);
    Watcher w(Quick());
    w.Add(Into(m_f.source, small, SourceDisposal::MoveToDestination));
    QTRY_COMPARE_WITH_TIMEOUT(w.count(WatchEvent::Kind::Failed), std::size_t(1), kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.source / "big.ps"), kDeadline);
    QVERIFY(fs::exists(small / "big.pdf"));
    // Touched while it waits: the same bytes, still only to be put away.
    fs::last_write_time(m_f.source / "big.ps", fs::file_time_type::clock::now());
    QCOMPARE(QProcess::execute("mount", {"-o", "remount,size=4m", Q(small)}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(w.count(WatchEvent::Kind::Moved), std::size_t(1), kDeadline);
    QCOMPARE(w.count(WatchEvent::Kind::Converted), std::size_t(1));
    QCOMPARE(samples::ListTree(small), (std::vector<std::string>{"big.pdf", "big.ps"}));
    QCOMPARE(samples::ListTree(m_f.source), std::vector<std::string>{});
  }

  // What arrives without a writer's close: a hard link (whole at once), a
  // symbolic link (never followed, said once), a file found dated a day
  // ahead; and a name as long as a name can be.
  void entriesThatArriveOddly_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("pdf");  // empty: none
    QTest::newRow("hard link") << "hard" << "linked.pdf";
    QTest::newRow("symbolic link") << "symbolic" << "";
    QTest::newRow("a day ahead") << "ahead" << "ahead.pdf";
    QTest::newRow("255-byte name") << "long" << QString(251, u'n') + ".pdf";
  }

  void entriesThatArriveOddly() {
    QFETCH(QString, how);
    QFETCH(QString, pdf);
    const fs::path outside = m_f.root / "outside.ps";
    samples::WriteFile(outside, samples::OnePagePostScript());
    const std::string longName = std::string(252, 'n') + ".ps";
    if (how == "ahead") {
      samples::WriteFile(m_f.source / "ahead.ps", samples::OnePagePostScript());
      fs::last_write_time(m_f.source / "ahead.ps", fs::file_time_type::clock::now() + 24h);
    }
    if (how == "long") samples::WriteFile(m_f.source / longName, samples::OnePagePostScript());
    Watcher w(Quick());
    w.Add(Into(m_f.source, m_f.destination));
    if (how == "hard") fs::create_hard_link(outside, m_f.source / "linked.ps");
    if (how == "symbolic") fs::create_symlink(outside, m_f.source / "pointer.ps");

    if (pdf.isEmpty()) {
      QTRY_COMPARE_WITH_TIMEOUT(w.count(WatchEvent::Kind::Skipped), std::size_t(1), kDeadline);
      // Looked at again: said once.
      w.engine().RequestScan(-1);
      QTRY_VERIFY_WITH_TIMEOUT(w.journal().find("skipped: " + (m_f.source / "pointer.ps").native()) !=
                                   std::string::npos,
                               kDeadline);
      QCOMPARE(samples::Occurrences(w.journal(), "skipped:"), std::size_t(1));
      QVERIFY(fs::is_symlink(m_f.source / "pointer.ps"));
      QCOMPARE(samples::ListTree(m_f.destination), std::vector<std::string>{});
    } else {
      QTRY_COMPARE_WITH_TIMEOUT(w.count(WatchEvent::Kind::Deleted), std::size_t(1), kDeadline);
      QCOMPARE(samples::ListTree(m_f.destination), std::vector<std::string>{pdf.toStdString()});
      QCOMPARE(samples::PdfPageSizes(m_f.destination / pdf.toStdString()).size(), std::size_t(1));
    }
    QCOMPARE(w.count(WatchEvent::Kind::Failed), std::size_t(0));
    QVERIFY(fs::exists(outside));
  }

  // The journal keeps several older files: a flood keeps its last lines.
  void theJournalKeepsSeveralOlderFiles() {
    const fs::path file = m_f.root / "journal" / "watch.log";
    WatchJournal journal(file, 4096);
    const int events = 1000;
    for (int i = 0; i < events; ++i) {
      journal.Append({WatchEvent::Kind::Converted, std::chrono::system_clock::now(), 0,
                      m_f.source / ("file" + std::to_string(i) + ".ps"), {}, {}});
    }
    std::string all;
    for (int n = WatchJournal::kKeptFiles; n >= 0; --n) {
      fs::path older = file;
      if (n > 0) older += "." + std::to_string(n);
      QVERIFY2(fs::exists(older), older.c_str());
      QVERIFY(fs::file_size(older) <= 4096);
      all += samples::ReadAll(older);
    }
    fs::path beyond = file;
    beyond += "." + std::to_string(WatchJournal::kKeptFiles + 1);
    QVERIFY(!fs::exists(beyond));
    // The newest lines, in order, none torn.
    const auto last = all.rfind("file" + std::to_string(events - 1) + ".ps");
    QVERIFY(last != std::string::npos);
    QVERIFY(all.find("file" + std::to_string(events - 100) + ".ps") < last);
    QCOMPARE(samples::Occurrences(all, "\n"), samples::Occurrences(all, "converted: "));
  }

  // A network file system of its own kind (its own caches and rename
  // rules): a folder reached through sshfs from an SSH server on 127.0.0.1.
  // Two watchers, as on two machines, each through its own mount, convert
  // 200 files exactly once; the files a killed one had in hand are taken
  // back by the other and converted.
  void twoWatchersOnAnSshfsFolder() {
    const fs::path sshd = "/usr/sbin/sshd";
    if (!fs::exists(sshd) || !fs::exists("/usr/bin/sshfs")) QSKIP("no SSH server or sshfs here");
    const fs::path keys = m_f.root / "ssh";
    fs::create_directories(keys);
    fs::permissions(keys, fs::perms::owner_all);
    for (const char* key : {"host", "client"}) {
      QCOMPARE(QProcess::execute("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", Q(keys / key)}), 0);
    }
    fs::copy_file(keys / "client.pub", keys / "authorized_keys");
    const int port = FreePort();
    QVERIFY(port > 0);
    std::ofstream(keys / "sshd_config")
        << "ListenAddress 127.0.0.1\nPort " << port << "\nHostKey " << (keys / "host").native()
        << "\nAuthorizedKeysFile " << (keys / "authorized_keys").native()
        << "\nPidFile " << (keys / "sshd.pid").native()
        << "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
           "PermitRootLogin prohibit-password\nSubsystem sftp internal-sftp\nLogLevel QUIET\n";
    // The server wants its privilege separation folder when started as root.
    if (getuid() == 0) fs::create_directories("/run/sshd");
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(Q(sshd), {"-D", "-e", "-f", Q(keys / "sshd_config")});
    QVERIFY(server.waitForStarted());
    struct Stop {
      QProcess& p;
      ~Stop() {
        p.terminate();
        p.waitForFinished(30000);
      }
    } stopServer{server};
    QTRY_VERIFY_WITH_TIMEOUT(Listening(port) || server.state() != QProcess::Running, kDeadline);
    QVERIFY(server.state() == QProcess::Running);

    const passwd* user = getpwuid(getuid());
    QVERIFY(user);
    const QString remote = QString::fromUtf8(user->pw_name) + "@127.0.0.1:" + Q(m_f.source);
    const QString options = "IdentityFile=" + Q(keys / "client") +
                            ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes";
    Mount first, second;
    QByteArray why;
    for (const auto& [mount, name] : {std::pair{&first, "one"}, std::pair{&second, "two"}}) {
      if (!MountWith(*mount, "sshfs", {"-p", QString::number(port), "-o", options, remote}, m_f.root / name, why)) {
        QSKIP(why.constData());
      }
    }
    QVERIFY(IsSharedFileSystem(first.at));
    // Each watcher a process of its own, as on a machine of its own.
    const fs::path outOne = m_f.root / "out-one", outTwo = m_f.root / "out-two";
    fs::create_directories(outOne);
    fs::create_directories(outTwo);
    auto start = [&](QProcess& p, const fs::path& mount, const fs::path& out) {
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert("XDG_CONFIG_HOME", Q(m_f.root / "config"));
      env.insert("XDG_STATE_HOME", Q(m_f.root / "state"));
      p.setProcessEnvironment(env);
      p.setProcessChannelMode(QProcess::MergedChannels);
      p.start(Q(samples::BinDir() / "quillpress-cli"),
              {"watch", "--source", Q(mount), "--destination", Q(out), "--delete"});
      return p.waitForStarted();
    };
    auto pdfs = [&] {
      std::multiset<std::string> all;
      for (const fs::path& out : {outOne, outTwo}) {
        for (const std::string& name : samples::ListTree(out)) {
          if (name.ends_with(".pdf")) all.insert(name);
        }
      }
      return all;
    };
    QProcess one, two;
    QVERIFY(start(one, first.at, outOne));
    QVERIFY(start(two, second.at, outTwo));
    const int files = 200;
    std::multiset<std::string> expected;
    for (int i = 0; i < files; ++i) {
      const std::string stem = "f" + std::to_string(1000 + i);
      samples::WriteFile(m_f.source / (stem + ".ps"), samples::OnePagePostScript());
      expected.insert(stem + ".pdf");
    }
    QTRY_VERIFY_WITH_TIMEOUT(pdfs().size() >= expected.size() && samples::ListTree(m_f.source).empty(),
                             5 * kDeadline);
    QCOMPARE(pdfs(), expected);
    QVERIFY(!samples::ListTree(outOne).empty() && !samples::ListTree(outTwo).empty());

    // The second stopped, the first killed with files in hand; the second
    // again takes them back.
    two.terminate();
    QVERIFY(two.waitForFinished(kDeadline));
    for (int i = 0; i < 20; ++i) {
      const std::string stem = "g" + std::to_string(1000 + i);
      samples::WriteFile(m_f.source / (stem + ".ps"), samples::OnePagePostScript());
      expected.insert(stem + ".pdf");
    }
    const fs::path claims = m_f.source / FolderClaims::kClaimsFolder;
    auto inHand = [&] {
      std::size_t n = 0;
      std::error_code ec;
      for (fs::recursive_directory_iterator it(claims, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file()) ++n;
      }
      return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(inHand() > 0, kDeadline);
    kill(static_cast<pid_t>(one.processId()), SIGKILL);
    QVERIFY(one.waitForFinished(kDeadline));
    QVERIFY(inHand() > 0);
    QVERIFY(start(two, second.at, outTwo));
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(m_f.source).empty() && inHand() == 0, 2 * kDeadline);
    // Every file has its PDF; only a file the killed one had converted but
    // not yet removed may have two.
    const std::multiset<std::string> made = pdfs();
    for (const std::string& name : std::set<std::string>(expected.begin(), expected.end())) {
      QVERIFY2(made.count(name) >= 1, name.c_str());
      if (name[0] == 'f') QCOMPARE(made.count(name), std::size_t(1));
    }
    QVERIFY(made.size() <= expected.size() + 4);
    two.terminate();
    QVERIFY(two.waitForFinished(kDeadline));
  }
};

QTEST_GUILESS_MAIN(WatchFieldTest)
#include "tst_watch_field.moc"
