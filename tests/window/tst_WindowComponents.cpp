// The window's parts on their own, and the program itself.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "app/SingleInstance.h"
#include "platform/BackgroundWork.h"
#include "platform/DirectSaveDrag.h"
#include "platform/QtUserPrompts.h"

#include "ProgressHUDView.h"
#include "VerticallyCenteredTextFieldCell.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QUuid>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

Q_DECLARE_METATYPE(AlertRequest::Kind)

class WindowComponentsTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_dir;

  // Starts the program with raw argument bytes (QProcess would re-encode
  // them) and more environment; answers its process id.
  pid_t Spawn(std::vector<std::string> arguments, std::vector<std::string> env) {
    const std::string program = qEnvironmentVariable("QUILLPRESS_TEST_BIN_DIR").toStdString() + "/quillpress";
    arguments.insert(arguments.begin(), program);
    // The first of a name wins: ours before the inherited ones.
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("QUILLPRESS_STORE_URL=http://127.0.0.1:9");  // never the real store
    env.push_back("XDG_CONFIG_HOME=" + QFile::encodeName(m_dir.path()).toStdString());
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
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
  // The adding overlay: busy with its spinner and text, or a message alone;
  // it covers its parent, follows its size, and darkens only towards the
  // edges, so that the list under it stays readable.
  void overlay() {
    QWidget host;
    host.resize(400, 200);
    host.show();
    ProgressHUDView hud(&host);
    hud.StartAddSpinning();
    QVERIFY(hud.isVisible() && hud.isSpinning() && hud.spinProgressIndicator()->isVisible() &&
            hud.messageTextField()->isVisible());
    QCOMPARE(hud.spinProgressIndicator()->maximum(), 0);  // indeterminate
    hud.spinProgressIndicator()->hide();
    hud.messageTextField()->hide();
    QImage image(400, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    hud.render(&image);
    QCOMPARE(qAlpha(image.pixel(200, 100)), 0);
    QVERIFY(qAlpha(image.pixel(0, 0)) > qAlpha(image.pixel(399, 100)) && qAlpha(image.pixel(399, 100)) > 0);
    QVERIFY(qAlpha(image.pixel(0, 0)) < 160 && qRed(image.pixel(0, 0)) == 0);
    hud.StopAddSpinning();
    QVERIFY(hud.isHidden() && !hud.isSpinning());
    hud.StartAddSpinning();
    hud.SetMessageString(QStringLiteral("Done"));
    QVERIFY(hud.isVisible() && !hud.isSpinning() && hud.spinProgressIndicator()->isHidden());
    QCOMPARE(hud.messageTextField()->text(), QStringLiteral("Done"));
    hud.removeMessageString();
    QVERIFY(hud.isHidden());
    host.resize(500, 300);
    QCOMPARE(hud.geometry(), host.rect());
  }

  // Drawn in the middle of a tall row; a cell too small for the text clips
  // it rather than drawing outside.
  void centredCell() {
    const QRect frame(10, 20, 100, 40);
    QCOMPARE(VerticallyCenteredTextFieldCell::CenteredInteriorRect(frame, 60), frame);
    QStandardItemModel model(1, 1);
    model.setItem(0, 0, new QStandardItem(QStringLiteral("MMMMMMMM")));
    QTableView table;
    table.setModel(&model);
    table.setItemDelegate(new VerticallyCenteredTextFieldCell(&table));
    table.setShowGrid(false);
    table.verticalHeader()->setDefaultSectionSize(80);
    table.resize(300, 200);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    const QRect cell = table.visualRect(model.index(0, 0));
    const QImage image = table.viewport()->grab().toImage();
    const QColor background = image.pixelColor(cell.left() + 2, cell.top() + 2);
    int top = -1, bottom = -1;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
      for (int x = cell.left(); x < cell.left() + 80; ++x)
        if (image.pixelColor(x, y) != background) {
          if (top < 0) top = y;
          bottom = y;
        }
    QVERIFY(qAbs((top - cell.top()) - (cell.bottom() - bottom)) <= 6);
  }

  void tableReadsNeverRaceTheAddingThread() {
    FileList list;
    FileListTableModel model(list);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread adder([&] {
      for (int block = 0; block < 400; ++block) {
        std::vector<FileListItemRef> items(50);
        for (FileListItemRef& item : items) item = std::make_shared<FileListItem>(std::string("/some/where/file.ps"));
        list.Insert(static_cast<std::size_t>(block % 3) * 10, items);
        // On a busy machine the adding could otherwise end before the
        // table has read a single row.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (block == 0 && reads == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      }
      done = true;
    });
    while (!done) {
      model.noteNumberOfRowsChanged();
      const int rows = model.rowCount();
      for (int row = std::max(0, rows - 20); row < rows; ++row)
        if (!model.data(model.index(row, FileListTableModel::kFilePathColumn)).toString().isEmpty()) ++reads;
    }
    adder.join();
    model.reloadData();
    QCOMPARE(model.rowCount(), 20000);
    QVERIFY(reads > 0);
  }

  // Offscreen (as on Wayland) a drag out lists its type but promises
  // nothing, and its data dies after the deferred offer ran, without an X
  // connection. A file's address keeps its name's bytes.
  void offscreenDragOutAndRawNames() {
    QCOMPARE(FileUrlForPath(std::string("/tmp/caf\xe9 file.ps")).toEncoded(), QByteArray("file:///tmp/caf%E9%20file.ps"));
    int fulfilled = 0;
    auto* data = new DirectSaveMimeData("report.pdf", [&](const std::filesystem::path&) { return ++fulfilled > 0; },
                                        std::make_shared<BackgroundTasks>());
    QCOMPARE(data->formats(), QStringList{DirectSaveMimeData::kFormat});
    QVERIFY(data->data(DirectSaveMimeData::kFormat).isEmpty() && data->data(QStringLiteral("text/uri-list")).isEmpty());
    QCoreApplication::processEvents();
    delete data;
    QCOMPARE(fulfilled, 0);
  }

  // Texts are plain whatever they hold and the title is shown whole, in the
  // alert itself; Escape and the close box give the harmless answer; the
  // buttons give theirs.
  void qtAlerts_data() {
    QTest::addColumn<AlertRequest::Kind>("kind");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<int>("escapeAnswer");
    QTest::addColumn<QString>("by");  // Escape, close, or a button's text
    QTest::addColumn<int>("expected");
    using K = AlertRequest::Kind;
    QTest::newRow("Escape, good news") << K::Information << QMessageBox::Information << 1 << "Escape" << 1;
    QTest::newRow("close box, warning") << K::Warning << QMessageBox::Warning << 1 << "close" << 1;
    QTest::newRow("Escape, question") << K::Question << QMessageBox::Question << 0 << "Escape" << 0;
    QTest::newRow("close box, critical") << K::Critical << QMessageBox::Critical << 0 << "close" << 0;
    QTest::newRow("default button") << K::Question << QMessageBox::Question << 0 << "OK" << 1;
    QTest::newRow("alternate button") << K::Question << QMessageBox::Question << 1 << "Open Destination" << 0;
  }
  void qtAlerts() {
    QFETCH(AlertRequest::Kind, kind);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(int, escapeAnswer);
    QFETCH(QString, by);
    QFETCH(int, expected);
    const AlertRequest request{kind, QStringLiteral("<b>report.ps</b> and the other files of this long batch could "
                                                     "not all be converted"),
                               QStringLiteral("<i>caf\u00e9.ps</i> &amp; more"), QStringLiteral("Error: /undefined in <x>"),
                               QStringLiteral("OK"), QStringLiteral("Open Destination"), escapeAnswer};
    QStringList texts;
    // Acts on the modal alert once it is up, from inside its own loop.
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      timer.stop();
      QCOMPARE(box->icon(), icon);
      for (QLabel* label : box->findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        texts << label->text();
        QCOMPARE(label->textFormat(), Qt::PlainText);
      }
      if (by == "close") box->close();
      else if (by == "Escape") QTest::keyClick(box, Qt::Key_Escape);
      for (QAbstractButton* button : box->buttons())
        if (button->text() == by) button->click();
    });
    timer.start(10);
    QCOMPARE(QtUserPrompts::Shared().RunAlert(nullptr, request), expected);
    QVERIFY2(texts.contains(request.title) && texts.contains(request.message), qPrintable(texts.join('|')));
  }

  // The folder chooser makes a folder typed into it, however deep. (The Add
  // panel: tst_AppDelegateWindow, through the window.)
  void qtFolderChooser() {
    QTemporaryDir dir;
    OpenPanelRequest chooser;
    chooser.title = QStringLiteral("Convert to PDF in");
    chooser.canChooseFiles = false;
    chooser.canChooseDirectories = true;
    chooser.canCreateDirectories = true;
    QWidget window;
    window.show();
    int result = -1;
    std::vector<std::filesystem::path> chosen;
    QtUserPrompts::Shared().BeginOpenPanelSheet(&window, chooser, [&](int r, std::vector<std::filesystem::path> c) {
      result = r;
      chosen = std::move(c);
    });
    auto* dialog = window.findChild<QFileDialog*>();
    QCOMPARE(dialog->windowTitle(), chooser.title);
    dialog->setDirectory(dir.path());
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    name->setFocus();
    QTest::keyClicks(name, QStringLiteral("new/deeper"));
    QTest::keyClick(name, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(result, 1, 10000);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("new/deeper"))).isDir());
    QCOMPARE(chosen, std::vector<std::filesystem::path>{QFile::encodeName(dir.filePath("new/deeper")).toStdString()});
  }

  // A second instance never listens on a live socket, nor on one whose
  // instance listens but never answers (busy); forwarding to that one says
  // so. Then the program itself: two displays of one user get an instance
  // each, in a folder that is the user's alone; a launch on a display with
  // an instance (here the test) hands its names over, byte for byte and made
  // absolute, and ends. The session's termination signal ends an instance
  // cleanly, even in the middle of adding a large folder (three times, for
  // the race).
  void instancesAndLaunches() {
    const QString name = QDir::tempPath() + QStringLiteral("/quillpress-test-") + QUuid::createUuid().toString(QUuid::Id128);
    {
      SingleInstance running(name);
      QVERIFY(running.Listen());
      QVERIFY(!SingleInstance(name).Listen());
    }
    QLocalServer busy;
    QVERIFY(busy.listen(name));
    QCOMPARE(SingleInstance::ForwardToRunningInstance(name, {"/x.ps"}, 300), SingleInstance::Forwarding::Busy);
    QVERIFY(!SingleInstance(name).Listen());
    QLocalSocket probe;
    probe.connectToServer(name);
    QVERIFY(probe.waitForConnected(5000));
    QVERIFY(busy.waitForNewConnection(5000));

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

QTEST_MAIN(WindowComponentsTest)
#include "tst_WindowComponents.moc"
