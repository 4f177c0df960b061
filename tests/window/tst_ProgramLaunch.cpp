#include "app/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

// The program itself: launched with files, forwarding to a running
// instance, and ending cleanly on the session's termination signal.
class ProgramLaunchTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;

  static QString Program() { return qEnvironmentVariable("QUILLPRESS_TEST_BIN_DIR") + QStringLiteral("/quillpress"); }

  // Whether an instance answers on socket, waiting for it to come up.
  static bool Listening(const QString& socket) {
    return QTest::qWaitFor(
        [&] {
          return SingleInstance::ForwardToRunningInstance(socket, {}, 1000) == SingleInstance::Forwarding::Forwarded;
        },
        60000);
  }

  // Starts the program with raw argument bytes (QProcess would re-encode
  // them) in environment; answers its process id.
  pid_t SpawnRaw(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    const std::string program = QFile::encodeName(Program()).toStdString();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    for (const std::string& entry : environment) env.push_back(entry);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("QUILLPRESS_STORE_URL=http://127.0.0.1:9");  // never the real store
    env.push_back("XDG_CONFIG_HOME=" + QFile::encodeName(m_dir.path()).toStdString());
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, QFile::encodeName(m_dir.path()).constData());
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // Waits for pid to end; its exit status, or -1 when it had to be killed.
  static int Reap(pid_t pid, int timeoutMs = 60000) {
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (timer.elapsed() > timeoutMs) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      QTest::qWait(20);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static QString NewInstanceName() {
    return QStringLiteral("quillpress-launch-") + QUuid::createUuid().toString(QUuid::Id128);
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_dir.isValid());
    QVERIFY(QFileInfo(Program()).isExecutable());
    std::ofstream(QFile::encodeName(m_dir.filePath(QStringLiteral("a.ps"))).toStdString()) << "%!PS\n";
  }

  void namesThatAreNotUtf8ReachTheRunningInstanceByteExact() {
    // The test is the running instance; the program hands over to it.
    const QString instance = NewInstanceName();
    SingleInstance running(instance);
    QVERIFY(running.Listen());
    QSignalSpy received(&running, &SingleInstance::filesReceived);
    const std::string latin1 = "caf\xe9.ps";
    const pid_t pid = SpawnRaw({latin1, "/abs/\xff\xfe.eps"}, {"QUILLPRESS_INSTANCE_NAME=" + instance.toStdString()});
    QVERIFY(pid > 0);
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 60000);
    QCOMPARE(Reap(pid), 0);
    const QByteArrayList paths = received.at(0).at(0).value<QByteArrayList>();
    const QByteArray cwd = QFile::encodeName(QFileInfo(m_dir.path()).canonicalFilePath());
    QCOMPARE(paths, (QByteArrayList{cwd + "/caf\xe9.ps", "/abs/\xff\xfe.eps"}));
  }

  void oneInstancePerDisplayAndNoTakeover() {
    QTemporaryDir runtime;
    const std::string folder = "XDG_RUNTIME_DIR=" + QFile::encodeName(runtime.path()).toStdString();
    // Two displays of one user: two instances, neither hands over to the other.
    const pid_t first = SpawnRaw({}, {folder, "DISPLAY=:71", "WAYLAND_DISPLAY="});
    QVERIFY(first > 0);
    QVERIFY(Listening(runtime.path() + QStringLiteral("/quillpress/instance-_71")));
    // The sockets' folder is the user's alone.
    QCOMPARE(QFileInfo(runtime.path() + QStringLiteral("/quillpress")).permissions() & QFileDevice::ReadOther,
             QFileDevice::Permissions());
    const pid_t second = SpawnRaw({}, {folder, "DISPLAY=:72", "WAYLAND_DISPLAY="});
    QVERIFY(second > 0);
    QVERIFY(Listening(runtime.path() + QStringLiteral("/quillpress/instance-_72")));
    // A third launch on the first display hands over and ends; the
    // session's termination signal ends the others cleanly.
    const pid_t third = SpawnRaw({"a.ps"}, {folder, "DISPLAY=:71", "WAYLAND_DISPLAY="});
    QCOMPARE(Reap(third), 0);
    for (pid_t pid : {first, second}) {
      ::kill(pid, SIGTERM);
      QCOMPARE(Reap(pid), 0);
    }
  }

  void terminatingWhileAddingEndsCleanly() {
    const QString folder = m_dir.filePath(QStringLiteral("many"));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray base = QFile::encodeName(folder);
    for (int i = 0; i < 40000; ++i) {
      const QByteArray name = base + "/page" + QByteArray::number(i) + (i % 4 == 0 ? ".txt" : ".ps");
      const int fd = ::open(name.constData(), O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) ::close(fd);
    }
    for (int round = 0; round < 3; ++round) {
      const QString instance = NewInstanceName();
      const pid_t pid = SpawnRaw({base.toStdString(), base.toStdString()},
                                 {"QUILLPRESS_INSTANCE_NAME=" + instance.toStdString()});
      QVERIFY(Listening(instance));
      ::kill(pid, SIGTERM);
      QCOMPARE(Reap(pid), 0);
    }
  }
};

QTEST_GUILESS_MAIN(ProgramLaunchTest)
#include "tst_ProgramLaunch.moc"
