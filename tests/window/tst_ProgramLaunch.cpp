#include "app/SingleInstance.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// The program itself: launched with files, forwarding to a running
// instance, and ending cleanly on the session's termination signal.
class ProgramLaunchTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_dir;

  // Starts the program with raw argument bytes (QProcess would re-encode
  // them) and more environment; answers its process id.
  pid_t Spawn(std::vector<std::string> arguments, std::vector<std::string> env) {
    const std::string program = qEnvironmentVariable("QUILLPRESS_TEST_BIN_DIR").toStdString() + "/quillpress";
    arguments.insert(arguments.begin(), program);
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("QUILLPRESS_STORE_URL=http://127.0.0.1:9");  // never the real store
    env.push_back("XDG_CONFIG_HOME=" + QFile::encodeName(m_dir.path()).toStdString());
    std::vector<char*> argv, envp;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    for (std::string& entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, QFile::encodeName(m_dir.path()).constData());
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // Its exit status once it ends; -1 when it had to be killed.
  static int Reap(pid_t pid) {
    int status = 0;
    if (!QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, 60000)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private Q_SLOTS:
  // Two displays of one user get an instance each, in a folder that is the
  // user's alone; a launch on a display with an instance (here the test)
  // hands its names over, byte for byte and made absolute, and ends. The
  // session's termination signal ends an instance cleanly, even in the
  // middle of adding a large folder (three times, for the race).
  void launchesAndInstances() {
    QTemporaryDir runtime;
    const std::string runtimeEnv = "XDG_RUNTIME_DIR=" + QFile::encodeName(runtime.path()).toStdString();
    const QByteArray many = QFile::encodeName(m_dir.filePath(QStringLiteral("many")));
    QVERIFY(QDir().mkpath(QString::fromLocal8Bit(many)));
    for (int i = 0; i < 40000; ++i)
      ::close(::open((many + "/page" + QByteArray::number(i) + (i % 4 ? ".ps" : ".txt")).constData(), O_CREAT, 0644));
    const QString instances = runtime.path() + QStringLiteral("/quillpress/instance-");
    for (int round = 0; round < 3; ++round) {
      const pid_t other = Spawn({many.toStdString(), many.toStdString()}, {runtimeEnv, "DISPLAY=:72", "WAYLAND_DISPLAY="});
      QVERIFY(QTest::qWaitFor([&] { return SingleInstance::ForwardToRunningInstance(instances + "_72", {}, 1000) ==
                                           SingleInstance::Forwarding::Forwarded; }, 60000));
      if (round == 0) {
        QCOMPARE(QFileInfo(runtime.path() + QStringLiteral("/quillpress")).permissions() & QFileDevice::ReadOther,
                 QFileDevice::Permissions());
        SingleInstance running(instances + "_71");
        QVERIFY(running.Listen());
        QSignalSpy received(&running, &SingleInstance::filesReceived);
        QCOMPARE(Reap(Spawn({"caf\xe9.ps", "/abs/\xff\xfe.eps"}, {runtimeEnv, "DISPLAY=:71", "WAYLAND_DISPLAY="})), 0);
        QTRY_COMPARE(received.count(), 1);
        const QByteArray cwd = QFile::encodeName(QFileInfo(m_dir.path()).canonicalFilePath());
        QCOMPARE(received.at(0).at(0).value<QByteArrayList>(), (QByteArrayList{cwd + "/caf\xe9.ps", "/abs/\xff\xfe.eps"}));
      }
      ::kill(other, SIGTERM);
      QCOMPARE(Reap(other), 0);
    }
  }
};

QTEST_GUILESS_MAIN(ProgramLaunchTest)
#include "tst_ProgramLaunch.moc"
