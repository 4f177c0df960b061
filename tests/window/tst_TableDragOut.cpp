// Rows dragged out of the file list table onto a file manager's folder, on a
// real X server: the test plays the file manager's side of X Direct Save and
// drives the pointer, and the real converter writes the promised PDFs.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "platform/LocalizedString.h"

#include "PostScriptSamples.h"
#include "XdsFileManagerPeer.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QSignalSpy>

namespace {

constexpr int kDeadline = 120000;

// Calls `act` at the first event of one of `types` that reaches the object.
class FirstEvent : public QObject {
 public:
  FirstEvent(QObject* on, std::initializer_list<QEvent::Type> types, std::function<void()> act = {})
      : m_types(types), m_act(std::move(act)) {
    on->installEventFilter(this);
  }
  bool seen = false;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (!seen && m_types.contains(event->type())) {
      seen = true;
      if (m_act) m_act();
    }
    return false;
  }

 private:
  QList<QEvent::Type> m_types;
  std::function<void()> m_act;
};

}  // namespace

class TableDragOutTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;

 private Q_SLOTS:
  void initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));  // ctest runs this under Xvfb
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    InstallStringTable();
  }

  // Rows dropped back on the table are refused; the drag out that follows
  // converts the selected rows into the folder the file manager names, as
  // Convert does (its sheet, its closing alert), asking for no folder.
  void draggedRowsAreConvertedIntoTheDropFolder() {
    const fs::path root = TempPath(m_tmp), folder = root / "dropped here";
    fs::create_directories(folder);
    std::vector<fs::path> files;
    for (const char* name : {"report.ps", "chart.final.eps", "c.ps"})
      files.push_back(WriteFile(root / "in" / name, samples::OnePagePostScript()));
    WindowFixture f;
    QVERIFY(f.addFromPanel(files));
    QVERIFY(QTest::qWaitForWindowExposed(f.window()));
    // Launching centres the window; put it where the peer is not.
    QCoreApplication::processEvents();
    f.window()->setGeometry(20, 40, 620, 420);
    QTRY_COMPARE(f.window()->geometry().topLeft(), QPoint(20, 40));
    QSignalSpy adding(&f.d(), &AppDelegate::addingRunStarted);
    XdsFileManagerPeer peer("file://" + QByteArray::fromStdString(folder.native()).toPercentEncoding("/") + "/",
                            XdsFileManagerPeer::Mode::DirectSave, QRect(800, 560, 300, 300));
    QVERIFY(peer.ready());
    QTableView* table = f.table();
    const auto rowOnScreen = [table](int row) {
      return table->viewport()->mapToGlobal(
          table->visualRect(table->model()->index(row, FileListTableModel::kFilePathColumn)).center());
    };
    // The view takes a drag up from the second motion with the button down:
    // the first must have arrived before the rest come, or they are folded.
    const auto pressOnRow = [&](int row) {
      FirstEvent motion(table->viewport(), {QEvent::MouseMove});
      f.selectRows({row, row + 1});
      peer.press(rowOnScreen(row), rowOnScreen(row) + QPoint(0, 2));
      QTRY_VERIFY_WITH_TIMEOUT(motion.seen, kDeadline);
    };

    pressOnRow(0);
    {
      // The button goes up once the drag is under way over the table; the
      // drag runs its own event loop, so the release comes from there.
      FirstEvent over(table->viewport(), {QEvent::DragEnter, QEvent::DragMove}, [&peer] { peer.release(); });
      peer.drag(rowOnScreen(0) + QPoint(0, 2), rowOnScreen(2), false);
      QTRY_VERIFY_WITH_TIMEOUT(peer.seen.released, kDeadline);
    }
    pressOnRow(0);
    peer.drag(rowOnScreen(0), peer.center());
    QTRY_VERIFY_WITH_TIMEOUT(peer.seen.finished, kDeadline);
    QCOMPARE(peer.seen.promisedName, QByteArray("report.pdf"));
    QCOMPARE(peer.seen.answer, QByteArray("S"));

    QTRY_VERIFY_WITH_TIMEOUT(!f.prompts.alerts.empty(), kDeadline);
    QCOMPARE(f.prompts.alerts.front().title, LocalizedString("SuccessfullConvertMsg"));
    QTRY_VERIFY_WITH_TIMEOUT(!f.d().batchExport().isBusy(), kDeadline);
    QCOMPARE(samples::ListTree(folder), (std::vector<std::string>{"chart.final.pdf", "report.pdf"}));
    QVERIFY(samples::QpdfCheckPasses(folder / "report.pdf"));
    QCOMPARE(f.prompts.panels.size(), std::size_t{1});
    QCOMPARE(adding.count(), 0);
    QCOMPARE(f.rows(), 3);
  }
};

QTEST_MAIN(TableDragOutTest)
#include "tst_TableDragOut.moc"
