// Rows dragged out of the file list table onto a file manager's folder, on a
// real X server: the test plays the file manager's side of X Direct Save and
// drives the pointer, and the real converter writes the promised PDFs.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "platform/LocalizedString.h"

#include "PostScriptSamples.h"
#include "XdsFileManagerPeer.h"

#include <QDrag>
#include <QGuiApplication>
#include <QTimer>
#include <QMouseEvent>
#include <QSignalSpy>

namespace {

constexpr int kDeadline = 120000;

// Counts the pointer motions, with a button down, that reach a widget.
class MotionCounter : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::MouseMove && static_cast<QMouseEvent*>(event)->buttons() != Qt::NoButton) ++count;
    return false;
  }
};

// Counts the drags that move over a widget, and acts on the first.
class DragMoveCounter : public QObject {
 public:
  explicit DragMoveCounter(std::function<void()> onFirst) : m_onFirst(std::move(onFirst)) {}
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if ((event->type() == QEvent::DragMove || event->type() == QEvent::DragEnter) && count++ == 0 && m_onFirst)
      m_onFirst();
    return false;
  }

 private:
  std::function<void()> m_onFirst;
};

// A drag that never ends holds the test inside the drag's own event loop,
// where no deadline is checked: this cancels it, so the test fails instead.
class DragWatchdog {
 public:
  DragWatchdog() {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [] { QDrag::cancel(); });
    m_timer.start(kDeadline / 2);
  }

 private:
  QTimer m_timer;
};

QString Describe(const XdsFileManagerPeer::Observation& o) {
  return QStringLiteral("released %1 enters %2 positions %3 drops %4 answer '%5' problem '%6'")
      .arg(o.pointerReleased).arg(o.enters).arg(o.positions).arg(o.drops).arg(QString::fromLatin1(o.answer), o.problem);
}

}  // namespace

class TableDragOutTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  std::unique_ptr<WindowFixture> m_f;

  fs::path Root() const { return TempPath(m_tmp); }

  fs::path Ps(const std::string& name) { return WriteFile(Root() / "in" / name, samples::OnePagePostScript()); }

  fs::path Folder(const std::string& name) {
    const fs::path folder = Root() / name;
    fs::create_directories(folder);
    return folder;
  }

  QPoint RowOnScreen(int row) const {
    QTableView* table = m_f->table();
    return table->viewport()->mapToGlobal(
        table->visualRect(table->model()->index(row, FileListTableModel::kFilePathColumn)).center());
  }

  // Drags from row onto the peer's window and waits until both sides are done.
  void DragRowOnto(int row, XdsFileManagerPeer& peer) {
    QVERIFY2(peer.ready(), qPrintable(peer.observation().problem));
    // The view turns a press into a drag at the second motion; the first
    // must have arrived before the rest is sent, or the server folds them.
    MotionCounter motions;
    m_f->table()->viewport()->installEventFilter(&motions);
    DragWatchdog watchdog;
    const QPoint start = RowOnScreen(row);
    peer.pressPointer(start, start + QPoint(0, 2));
    QTRY_VERIFY2_WITH_TIMEOUT(motions.count > 0, qPrintable(Describe(peer.observation())), kDeadline);
    peer.dragPointer(start, peer.center());
    QTRY_VERIFY2_WITH_TIMEOUT(peer.observation().pointerReleased, qPrintable(Describe(peer.observation())), kDeadline);
    QTRY_VERIFY2_WITH_TIMEOUT(peer.observation().finished, qPrintable(Describe(peer.observation())), kDeadline);
    QVERIFY2(peer.observation().problem.isEmpty(), qPrintable(Describe(peer.observation())));
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"),
             "these drags need a real X server; ctest runs them under Xvfb");
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    InstallStringTable();
  }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    fs::remove_all(Root() / "in");
    m_f = std::make_unique<WindowFixture>();
    QVERIFY(QTest::qWaitForWindowExposed(m_f->window()));
    // Launching centres the window; put it where the peer is not.
    QCoreApplication::processEvents();
    m_f->window()->setGeometry(20, 40, 620, 420);
    QTRY_COMPARE(m_f->window()->geometry().topLeft(), QPoint(20, 40));
  }

  void cleanup() { m_f.reset(); }

  void draggedRowsAreConvertedIntoTheDropFolder() {
    QVERIFY(m_f->addFromPanel({Ps("report.ps"), Ps("chart.final.eps")}));
    m_f->selectRows({0, 1});
    const fs::path folder = Folder("dropped here");
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, folder, {}, QRect(800, 560, 300, 300));
    DragRowOnto(0, peer);

    const XdsFileManagerPeer::Observation seen = peer.observation();
    QCOMPARE(seen.offeredTypes, QStringList{QStringLiteral("XdndDirectSave0")});
    QCOMPARE(seen.promisedName, QByteArray("report.pdf"));
    QCOMPARE(seen.answer, QByteArray("S"));

    // The same batch as Convert: its sheet, its closing alert, its files.
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->prompts.alerts.empty(), kDeadline);
    QCOMPARE(m_f->prompts.alerts.front().title, LocalizedString("SuccessfullConvertMsg"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->d().batchExport().isBusy(), kDeadline);
    QCOMPARE(samples::ListTree(folder), (std::vector<std::string>{"chart.final.pdf", "report.pdf"}));
    QVERIFY(samples::QpdfCheckPasses(folder / "report.pdf"));
    // No chooser was asked for: the drop named the folder.
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{1});
    QCOMPARE(m_f->rows(), 2);
  }

  void rowsDroppedBackOnTheTableAreRefused() {
    QVERIFY(m_f->addFromPanel({Ps("a.ps"), Ps("b.ps"), Ps("c.ps")}));
    m_f->selectRows({0});
    QSignalSpy adding(&m_f->d(), &AppDelegate::addingRunStarted);
    const fs::path folder = Folder("after self drop");
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, folder, {}, QRect(800, 560, 300, 300));
    QVERIFY2(peer.ready(), qPrintable(peer.observation().problem));

    {
      MotionCounter motions;
      m_f->table()->viewport()->installEventFilter(&motions);
      DragWatchdog watchdog;
      const QPoint start = RowOnScreen(0);
      peer.pressPointer(start, start + QPoint(0, 2));
      QTRY_VERIFY_WITH_TIMEOUT(motions.count > 0, kDeadline);
      // The drop happens only once the drag is under way over the table. The
      // drag runs its own event loop, so the release is sent from there.
      DragMoveCounter over([&peer] { peer.releasePointer(); });
      m_f->table()->viewport()->installEventFilter(&over);
      peer.movePointer(start + QPoint(0, 2), RowOnScreen(2));
      QTRY_VERIFY_WITH_TIMEOUT(peer.observation().pointerReleased, kDeadline);
      QVERIFY(over.count > 0);
    }

    // A drag out afterwards can only start once the first drag is over.
    m_f->selectRows({1});
    DragRowOnto(1, peer);
    QCOMPARE(peer.observation().promisedName, QByteArray("b.pdf"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->d().batchExport().isBusy(), kDeadline);

    QCOMPARE(adding.count(), 0);
    QCOMPARE(m_f->rows(), 3);
    QCOMPARE(samples::ListTree(folder), std::vector<std::string>{"b.pdf"});
  }
};

QTEST_MAIN(TableDragOutTest)
#include "tst_TableDragOut.moc"
