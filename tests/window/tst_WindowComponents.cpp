#include "app/ApplicationResources.h"
#include "app/SingleInstance.h"
#include "filelist/FileList.h"
#include "filelist/FileListTableModel.h"
#include "platform/LocalizedString.h"
#include "platform/QtUserPrompts.h"
#include "platform/Workspace.h"

#include "ProgressHUDView.h"
#include "VerticallyCenteredTextFieldCell.h"

#include <QHeaderView>
#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QProgressBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

class WindowComponentsTest : public QObject {
  Q_OBJECT

 private:
  static FileListItemRef Item(const char* path) { return std::make_shared<FileListItem>(std::string(path)); }

 private Q_SLOTS:
  void initTestCase() { InstallStringTable(); }

  // The adding overlay: busy with its spinner and text, or a message alone;
  // it covers its parent, follows its size, and darkens only towards the
  // edges, so that the list under it stays readable.
  void overlay() {
    QWidget host;
    host.resize(400, 200);
    host.show();
    ProgressHUDView hud(&host);
    QCOMPARE(hud.geometry(), host.rect());
    hud.StartAddSpinning();
    QVERIFY(hud.isVisible() && hud.isSpinning());
    QVERIFY(!hud.spinProgressIndicator()->isHidden() && !hud.messageTextField()->isHidden());
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
    QCOMPARE(hud.size(), QSize(500, 300));
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
    QVERIFY(top >= 0);
    const int above = top - cell.top();
    const int below = cell.bottom() - bottom;
    QVERIFY2(qAbs(above - below) <= 6, qPrintable(QStringLiteral("%1 %2").arg(above).arg(below)));
  }

  void tableReadsNeverRaceTheAddingThread() {
    FileList list;
    FileListTableModel model(list);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread adder([&] {
      for (int block = 0; block < 400; ++block) {
        std::vector<FileListItemRef> items;
        for (int i = 0; i < 50; ++i) items.push_back(Item("/some/where/file.ps"));
        list.Insert(static_cast<std::size_t>(block % 3) * 10, items);
        // On a busy machine the adding could otherwise end before the
        // table has read a single row.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (block == 0 && reads == 0 && std::chrono::steady_clock::now() < deadline)
          std::this_thread::yield();
      }
      done = true;
    });
    while (!done) {
      model.noteNumberOfRowsChanged();
      const int rows = model.rowCount();
      for (int row = std::max(0, rows - 20); row < rows; ++row)
        if (!model.data(model.index(row, FileListTableModel::kFilePathColumn)).toString().isEmpty())
          ++reads;
    }
    adder.join();
    model.reloadData();
    QCOMPARE(model.rowCount(), 20000);
    QVERIFY(reads > 0);
  }

  void fileUrlsKeepRawNames() {
    const QUrl url = FileUrlForPath(std::string("/tmp/caf\xe9 file.ps"));
    QVERIFY(url.isValid());
    QCOMPARE(url.toEncoded(), QByteArray("file:///tmp/caf%E9%20file.ps"));
  }

  // Opens the real panel as a sheet of window; the answer lands in result
  // and chosen.
  static QFileDialog* OpenPanel(QWidget& window, const OpenPanelRequest& request, int& result,
                                std::vector<std::filesystem::path>& chosen) {
    window.show();
    QtUserPrompts::Shared().BeginOpenPanelSheet(&window, request, [&](int r, std::vector<std::filesystem::path> c) {
      result = r;
      chosen = std::move(c);
    });
    return window.findChild<QFileDialog*>();
  }

  // Acts on the modal alert once it is up, from inside its own loop.
  static void WhenAlertIsUp(std::function<void(QMessageBox*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      timer->stop();
      timer->deleteLater();
      act(box);
    });
    timer->start();
  }

  // Texts are plain whatever they hold; Escape and the close box give the
  // harmless answer; the buttons give theirs.
  void qtAlerts() {
    enum class By { Escape, CloseBox, Default, Alternate };
    struct Case {
      AlertRequest::Kind kind;
      QMessageBox::Icon icon;
      int escapeAnswer;
      By by;
      int expected;
    };
    for (const Case c : {Case{AlertRequest::Kind::Information, QMessageBox::Information, 1, By::Escape, 1},
                         Case{AlertRequest::Kind::Warning, QMessageBox::Warning, 1, By::CloseBox, 1},
                         Case{AlertRequest::Kind::Question, QMessageBox::Question, 0, By::Escape, 0},
                         Case{AlertRequest::Kind::Critical, QMessageBox::Critical, 0, By::CloseBox, 0},
                         Case{AlertRequest::Kind::Question, QMessageBox::Question, 0, By::Default, 1},
                         Case{AlertRequest::Kind::Question, QMessageBox::Question, 1, By::Alternate, 0}}) {
      AlertRequest request;
      request.kind = c.kind;
      request.title = QStringLiteral(
          "<b>report.ps</b> and the other files of this long batch could not all be converted");
      request.message = QStringLiteral("<i>caf\u00e9.ps</i> &amp; more");
      request.details = QStringLiteral("Error: /undefined in <x>");
      request.defaultButton = QStringLiteral("OK");
      request.alternateButton = QStringLiteral("Open Destination");
      request.escapeAnswer = c.escapeAnswer;
      QMessageBox::Icon icon = QMessageBox::NoIcon;
      QStringList texts;
      bool allPlain = true;
      WhenAlertIsUp([&](QMessageBox* box) {
        icon = box->icon();
        for (QLabel* label : box->findChildren<QLabel*>()) {
          if (label->text().isEmpty()) continue;
          texts << label->text();
          allPlain = allPlain && label->textFormat() == Qt::PlainText;
        }
        if (c.by == By::CloseBox) box->close();
        else if (c.by == By::Escape) QTest::keyClick(box, Qt::Key_Escape);
        for (QAbstractButton* button : box->buttons()) {
          if (button->text() == (c.by == By::Default ? request.defaultButton : request.alternateButton) &&
              (c.by == By::Default || c.by == By::Alternate))
            button->click();
        }
      });
      QCOMPARE(QtUserPrompts::Shared().RunAlert(nullptr, request), c.expected);
      QCOMPARE(icon, c.icon);
      QVERIFY(allPlain);
      // The title is shown whole, in the alert itself.
      QVERIFY2(texts.contains(request.title), qPrintable(texts.join('|')));
      QVERIFY(texts.contains(request.message));
    }
  }

  void qtFolderChooserMakesATypedFolder() {
    QTemporaryDir dir;
    QWidget window;
    OpenPanelRequest request;
    request.title = QStringLiteral("Convert to PDF in");
    request.canChooseFiles = false;
    request.canChooseDirectories = true;
    request.canCreateDirectories = true;
    int result = -1;
    std::vector<std::filesystem::path> chosen;
    auto* dialog = OpenPanel(window, request, result, chosen);
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->windowTitle(), request.title);
    dialog->setDirectory(dir.path());
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name != nullptr);
    name->setFocus();
    QTest::keyClicks(name, QStringLiteral("new/deeper"));
    QTest::keyClick(name, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(result, 1, 10000);
    const QString made = dir.filePath(QStringLiteral("new/deeper"));
    QVERIFY(QFileInfo(made).isDir());
    QCOMPARE(chosen, std::vector<std::filesystem::path>{QFile::encodeName(made).toStdString()});
  }

  // A second instance never listens on a live socket, nor on one whose
  // instance listens but never answers (busy); forwarding to that one says
  // so. (Forwarding itself: tst_ProgramLaunch, with the real program.)
  void singleInstanceSocket() {
    const QString name = QDir::tempPath() + QStringLiteral("/quillpress-test-") +
                         QUuid::createUuid().toString(QUuid::Id128);
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
  }

  // The Add panel: a sheet with the accessory view, choosing files and
  // folders together; the caller keeps the accessory.
  void qtOpenPanel() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QFile(dir.filePath(QStringLiteral("one.ps"))).open(QIODevice::WriteOnly);
    QWidget window;
    auto accessory = std::make_unique<QWidget>();
    OpenPanelRequest request;
    request.canChooseDirectories = true;
    request.allowsMultipleSelection = true;
    request.allowedFileTypes = {QStringLiteral("ps"), QStringLiteral("com.adobe.postscript")};
    request.accessoryView = accessory.get();
    int result = -1;
    std::vector<std::filesystem::path> chosen;
    auto* dialog = OpenPanel(window, request, result, chosen);
    QVERIFY(dialog != nullptr && dialog->isVisible());
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QVERIFY(dialog->isAncestorOf(accessory.get()));
    QVERIFY(dialog->nameFilters().front().contains(QStringLiteral("*.ps")));
    dialog->setDirectory(dir.path());
    auto* view = dialog->findChild<QAbstractItemView*>(QStringLiteral("listView"));
    auto* model = qobject_cast<QFileSystemModel*>(view->model());
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(model->index(dir.path())), 2, 20000);
    for (const char* name : {"folder", "one.ps"})
      view->selectionModel()->select(model->index(dir.filePath(QLatin1String(name))),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QMetaObject::invokeMethod(dialog, "accept");
    QTRY_COMPARE_WITH_TIMEOUT(result, 1, 10000);
    std::sort(chosen.begin(), chosen.end());
    QCOMPARE(chosen, (std::vector<std::filesystem::path>{
                         QFile::encodeName(dir.filePath(QStringLiteral("folder"))).toStdString(),
                         QFile::encodeName(dir.filePath(QStringLiteral("one.ps"))).toStdString()}));
    QCOMPARE(accessory->parentWidget(), nullptr);
  }
};

QTEST_MAIN(WindowComponentsTest)
#include "tst_WindowComponents.moc"
