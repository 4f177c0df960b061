// Files and folders dropped on the file list table, through the table's own
// drag and drop events.

#include "WindowTestFixture.h"

#include "ProgressHUDView.h"

#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>

namespace {

// A text/uri-list as a file manager writes it: CRLF lines, percent-encoded.
std::unique_ptr<QMimeData> UriList(const std::vector<fs::path>& paths) {
  QByteArray list;
  for (const fs::path& path : paths)
    list += "file://" + QByteArray::fromStdString(path.string()).toPercentEncoding("/") + "\r\n";
  auto data = std::make_unique<QMimeData>();
  data->setData(QStringLiteral("text/uri-list"), list);
  return data;
}

}  // namespace

class TableDropsTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  std::unique_ptr<WindowFixture> m_f;

  fs::path Root() const { return TempPath(m_tmp); }

  QWidget* Viewport() const { return m_f->table()->viewport(); }

  QRect RowRect(int row) const {
    return m_f->table()->visualRect(m_f->table()->model()->index(row, FileListTableModel::kFilePathColumn));
  }

  // Drags data over the table to point (in the viewport) and drops it there,
  // on whichever widget is under it, as the window system delivers it.
  // Answers whether the table took the drop.
  bool DropAt(const QMimeData& data, QPoint viewportPoint) {
    QTableView* table = m_f->table();
    const QPoint inTable = Viewport()->mapTo(table, viewportPoint);
    QWidget* viewport = table->childAt(inTable);
    if (viewport == nullptr) viewport = table;
    const QPoint point = viewport->mapFrom(table, inTable);
    QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    if (!enter.isAccepted()) return false;
    QDragMoveEvent move(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &move);
    if (!move.isAccepted()) return false;
    QDropEvent drop(QPointF(point), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    return drop.isAccepted();
  }

  fs::path Ps(const std::string& name) { return WriteFile(Root() / "files" / name); }

 private Q_SLOTS:
  void init() {
    m_f = std::make_unique<WindowFixture>();
    m_f->window()->resize(900, 600);
    QVERIFY(QTest::qWaitForWindowExposed(m_f->window()));
  }

  void cleanup() { m_f.reset(); }

  void dropsInsertAtTheRowTheyLandOn() {
    QVERIFY(m_f->addFromPanel({Ps("a.ps"), Ps("b.ps"), Ps("c.ps")}));
    const fs::path files = Root() / "files";

    // Above row 1: the top edge of that row.
    QVERIFY(DropAt(*UriList({Ps("above.ps")}), RowRect(1).topLeft() + QPoint(20, 1)));
    QVERIFY(m_f->waitForAdding());
    QCOMPARE(m_f->shownPaths(),
             (std::vector<fs::path>{files / "a.ps", files / "above.ps", files / "b.ps", files / "c.ps"}));
    QCOMPARE(m_f->selectedRows(), std::vector<std::int64_t>{1});

    // On row 2: its middle; inserts at 2 as well.
    QVERIFY(DropAt(*UriList({Ps("on1.ps"), Ps("on2.eps")}), RowRect(2).center()));
    QVERIFY(m_f->waitForAdding());
    QCOMPARE(m_f->shownPaths(), (std::vector<fs::path>{files / "a.ps", files / "above.ps", files / "on1.ps",
                                                        files / "on2.eps", files / "b.ps", files / "c.ps"}));
    QCOMPARE(m_f->selectedRows(), (std::vector<std::int64_t>{2, 3}));

    // Below the last row: the end of the list.
    const QRect last = RowRect(m_f->rows() - 1);
    QVERIFY(DropAt(*UriList({Ps("end.ps")}), QPoint(last.center().x(), last.bottom() + 30)));
    QVERIFY(m_f->waitForAdding());
    QCOMPARE(m_f->shownPaths().back(), files / "end.ps");
    QCOMPARE(m_f->rows(), 7);
  }

  void droppedFolderGivesItsFirstLevelWithoutParentFolder() {
    const fs::path folder = Root() / "dropped folder";
    WriteFile(folder / "one.ps");
    WriteFile(folder / "two.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n");
    WriteFile(folder / "deeper" / "three.ps");
    WriteFile(folder / ".hidden.ps");
    WriteFile(folder / "notes.txt", "not PostScript");
    // The Add panel's options are for the panel only.
    m_f->choosePanelOptions(true, true);
    QVERIFY(m_f->addFromPanel({}));

    QVERIFY(DropAt(*UriList({folder}), RowRect(0).center()));
    QVERIFY(m_f->waitForAdding());
    std::vector<fs::path> shown = m_f->shownPaths();
    std::sort(shown.begin(), shown.end());
    QCOMPARE(shown, (std::vector<fs::path>{folder / "one.ps", folder / "two.eps"}));
    for (std::int64_t row = 0; row < 2; ++row)
      QVERIFY(!m_f->d().fileList().ItemAt(row)->parentFolderName().has_value());
  }

  void dropsWhileAddingAreQueued() {
    QVERIFY(m_f->addFromPanel({Ps("a.ps")}));
    const fs::path folder = Root() / "busy";
    for (int i = 0; i < 50; ++i) WriteFile(folder / ("f" + std::to_string(i) + ".ps"));
    // The drop comes while the overlay of the folder's run is up.
    bool tried = false, dropped = false, overlayShown = false;
    connect(&m_f->d(), &AppDelegate::addingRunStarted, this, [&] {
      if (tried) return;
      tried = true;
      overlayShown = m_f->find<ProgressHUDView>("addingOverlay")->isVisible();
      dropped = DropAt(*UriList({Ps("during.ps")}), RowRect(0).center());
    });
    QVERIFY(m_f->addFromPanel({folder}));
    QVERIFY(overlayShown);
    QVERIFY(dropped);
    QCOMPARE(m_f->rows(), 52);
    // Queued behind the folder, it goes where it landed.
    QCOMPARE(m_f->shownPaths().front(), Root() / "files" / "during.ps");
    QCOMPARE(m_f->selectedRows(), std::vector<std::int64_t>{0});
  }

  // Only local files are taken, their names byte for byte; the cells are
  // never edited in place.
  void whatADropBrings() {
    QMimeData text;
    text.setText(QStringLiteral("just text"));
    QVERIFY(!DropAt(text, QPoint(40, 40)));
    QMimeData remote;
    remote.setData(QStringLiteral("text/uri-list"), "https://example.org/a.ps\r\nfile://otherhost/tmp/b.ps\r\n");
    QVERIFY(!DropAt(remote, QPoint(40, 40)));
    QVERIFY(!m_f->d().isAdding());

    const fs::path odd = Ps(std::string("caf\xc3\xa9 \"quoted\" %41 \xff.ps"));
    QVERIFY(DropAt(*UriList({odd}), QPoint(40, 40)));
    QVERIFY(m_f->waitForAdding());
    QCOMPARE(m_f->rows(), 1);
    QCOMPARE(m_f->d().fileList().ItemAt(0)->filePath(), odd);
    m_f->table()->edit(m_f->table()->model()->index(0, FileListTableModel::kFilePathColumn));
    QCoreApplication::processEvents();
    QVERIFY(m_f->table()->findChildren<QLineEdit*>().isEmpty());
  }
};

QTEST_MAIN(TableDropsTest)
#include "tst_TableDrops.moc"
