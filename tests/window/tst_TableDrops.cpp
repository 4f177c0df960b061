// Files and folders dropped on the file list table, through the table's own
// drag and drop events.

#include "WindowTestFixture.h"

#include "ProgressHUDView.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>

#include <set>

class TableDropsTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;

 private Q_SLOTS:
  // Drops insert at the row they land on (its top edge or its middle), or
  // at the end below the last row; they wait behind an adding run. A folder
  // gives its first level without a parent folder, whatever the Add panel's
  // options. Only local files are taken, names byte for byte; cells are
  // never edited in place.
  void dropsOnTheTable() {
    const fs::path files = TempPath(m_tmp) / "files", folder = TempPath(m_tmp) / "dropped folder";
    const auto ps = [&](const std::string& name) { return WriteFile(files / name); };
    WriteFile(folder / "one.ps");
    WriteFile(folder / "two.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n");
    WriteFile(folder / "deeper" / "three.ps");
    WriteFile(folder / ".hidden.ps");
    WriteFile(folder / "notes.txt", "not PostScript");
    WindowFixture f;
    f.window()->resize(900, 600);
    QVERIFY(QTest::qWaitForWindowExposed(f.window()));
    f.choosePanelOptions(true, true);
    QVERIFY(f.addFromPanel({ps("a.ps"), ps("b.ps")}));
    QTableView* table = f.table();
    const auto row = [&](int r) { return table->visualRect(table->model()->index(r, FileListTableModel::kFilePathColumn)); };
    // Drags the data to a point of the viewport and drops it there, as the
    // window system delivers it; answers whether the table took it (and,
    // unless told not to wait, whether the adding then ended).
    const auto dropAt = [&](const QByteArray& uris, QPoint at, bool wait = true,
                            const QString& type = QStringLiteral("text/uri-list")) {
      QMimeData data;
      data.setData(type, uris);
      QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      for (QEvent* event : std::initializer_list<QEvent*>{&enter, &move, &drop})
        if (QCoreApplication::sendEvent(table->viewport(), event); !event->isAccepted()) return false;
      return !wait || f.waitForAdding();
    };
    const auto uri = [](const fs::path& path) {
      return "file://" + QByteArray::fromStdString(path.native()).toPercentEncoding("/") + "\r\n";
    };

    QVERIFY(!dropAt("just text", {40, 40}, true, QStringLiteral("text/plain")));
    QVERIFY(!dropAt("https://example.org/a.ps\r\nfile://otherhost/tmp/b.ps\r\n", {40, 40}));
    const fs::path odd = ps("caf\xc3\xa9 \"quoted\" %41 \xff.ps");
    QVERIFY(dropAt(uri(odd), row(1).topLeft() + QPoint(20, 1)));
    QCOMPARE(f.d().fileList().ItemAt(1)->filePath(), odd);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{1});
    QVERIFY(dropAt(uri(folder), row(1).center()));
    QCOMPARE(f.rows(), 5);
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{1, 2}));
    QCOMPARE((std::set<fs::path>{f.shownPaths()[1], f.shownPaths()[2]}),
             (std::set<fs::path>{folder / "one.ps", folder / "two.eps"}));
    QVERIFY(!f.d().fileList().ItemAt(1)->parentFolderName() && !f.d().fileList().ItemAt(2)->parentFolderName());
    QCOMPARE(f.shownPaths()[4], files / "b.ps");
    QVERIFY(dropAt(uri(ps("on1.ps")) + uri(ps("on2.eps")), QPoint(row(4).center().x(), row(4).bottom() + 30)));
    QCOMPARE(f.rows(), 7);
    QCOMPARE(f.shownPaths()[5], files / "on1.ps");
    QCOMPARE(f.shownPaths()[6], files / "on2.eps");

    // While the overlay of a panel's run is up, a drop on row 0 waits for it.
    bool dropped = false;
    connect(&f.d(), &AppDelegate::addingRunStarted, this, [&] {
      QVERIFY(f.find<ProgressHUDView>("addingOverlay")->isVisible());
      dropped = dropAt(uri(ps("during.ps")), row(0).center(), false);
    }, Qt::SingleShotConnection);
    QVERIFY(f.addFromPanel({ps("panel.ps")}));
    QVERIFY(dropped);
    QCOMPARE(f.shownPaths().front(), files / "during.ps");
    QCOMPARE(f.shownPaths().back(), files / "panel.ps");
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{0});

    table->edit(table->model()->index(0, FileListTableModel::kFilePathColumn));
    QCoreApplication::processEvents();
    QVERIFY(table->findChildren<QLineEdit*>().isEmpty());
  }
};

QTEST_MAIN(TableDropsTest)
#include "tst_TableDrops.moc"
