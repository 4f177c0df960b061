#include "app/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

// The program itself: launched with files, forwarding to a running
// instance, and ending cleanly on the session's termination signal.
class ProgramLaunchTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;

  static QString Program() {
    return qEnvironmentVariable("QUILLPRESS_TEST_BIN_DIR") + QStringLiteral("/quillpress");
  }

  std::unique_ptr<QProcess> Launch(const QString& instance, const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLPRESS_INSTANCE_NAME"), instance);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Never the user's watch folder settings.
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.path());
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(m_dir.path());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(Program(), arguments);
    return process;
  }

  // Waits until the instance answers on its socket.
  static bool WaitUntilListening(const QString& instance, QProcess& process) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
      if (process.state() == QProcess::NotRunning) return false;
      if (SingleInstance::ForwardToRunningInstance(instance, {}, 1000) ==
          SingleInstance::Forwarding::Forwarded)
        return true;
      QTest::qWait(20);
    }
    return false;
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

  void secondLaunchHandsOverAndExits() {
    const QString instance = NewInstanceName();
    auto first = Launch(instance, {QStringLiteral("a.ps")});
    QVERIFY(WaitUntilListening(instance, *first));
    auto second = Launch(instance, {QStringLiteral("a.ps"), QStringLiteral("-weird name.ps")});
    QVERIFY(second->waitForFinished(60000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);
    ::kill(static_cast<pid_t>(first->processId()), SIGTERM);
    QVERIFY(first->waitForFinished(60000));
    QCOMPARE(first->exitStatus(), QProcess::NormalExit);
    QCOMPARE(first->exitCode(), 0);
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
      auto process = Launch(instance, {folder, folder});
      QVERIFY(WaitUntilListening(instance, *process));
      ::kill(static_cast<pid_t>(process->processId()), SIGTERM);
      QVERIFY2(process->waitForFinished(60000), "the program hung on quitting");
      QCOMPARE(process->exitStatus(), QProcess::NormalExit);
      QCOMPARE(process->exitCode(), 0);
    }
  }
};

QTEST_GUILESS_MAIN(ProgramLaunchTest)
#include "tst_ProgramLaunch.moc"
