// The application's window driven as a user drives it: adding, dropping,
// the list commands, the desktop's commands, quitting; and Convert and
// Convert All with the real converter on real files: the folder chooser, the
// progress sheet as it changes, cancel, the closing alerts, refused second
// requests and quitting mid-batch.

#include "WindowTestFixture.h"

#include "BMTValidatedViewToolbar.h"
#include "ProgressHUDView.h"
#include "app/ApplicationResources.h"
#include "app/ExportProgressSheet.h"
#include "platform/LocalizedString.h"
#include "platform/QtUserPrompts.h"

#include "PostScriptSamples.h"

#include <QApplication>
#include <QComboBox>
#include <QDropEvent>  // and the drag events
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QWidgetAction>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

namespace {

constexpr int kDeadline = 120000;

QString Line(int index, int count, const QString& name) {
  return LocalizedString("Exporting").arg(QString::number(index), QString::number(count), name);
}

// Every list command's state, in the menus (the same actions as the context
// menu's), on the toolbar and in the buttons under the table.
struct Shown {
  bool add, convert, remove, selectAll, reveal;
};

void ExpectEverywhere(const WindowFixture& f, Shown e) {
  const std::pair<const char*, bool> actions[] = {
      {"addImageMenuItem", e.add},   {"exportMenuItem", e.convert},    {"exportAllMenuItem", e.convert},
      {"removeMenuItem", e.remove},  {"removeAllMenuItem", e.remove},  {"selectAllMenuItem", e.selectAll},
      {"revealInFinderMenuItem", e.reveal}};
  for (const auto& [name, on] : actions) QVERIFY2(f.action(name)->isEnabled() == on, name);
  const std::pair<const char*, bool> buttons[] = {{"Add", e.add},       {"Convert", e.convert},
                                                  {"ConvertAll", e.convert}, {"Remove", e.remove},
                                                  {"RemoveAll", e.remove}};
  for (const auto& [id, on] : buttons) QVERIFY2(f.toolbarButton(id)->isEnabled() == on, id);
  for (const char* name : {"exportButton", "exportAllButton"}) QCOMPARE(f.find<QPushButton>(name)->isEnabled(), e.convert);
  for (const char* name : {"quitMenuItem", "userManualMenuItem", "contactSupportMenuItem", "rateMenuItem",
                           "watchFolderMenuItem"})
    QVERIFY2(f.action(name)->isEnabled(), name);
}

ProgressHUDView* Overlay(const WindowFixture& f) { return f.find<ProgressHUDView>("addingOverlay"); }
QPushButton* AddingCancel(const WindowFixture& f) { return f.find<QPushButton>("addingCancelButton"); }
QLabel* MessageLine(const WindowFixture& f) { return f.find<QLabel>("workspaceMessage"); }

}  // namespace

class AppDelegateWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_dir;

  fs::path root() const { return TempPath(m_dir); }

  std::vector<fs::path> MakeFiles(const std::string& folder, int count) {
    std::vector<fs::path> files;
    for (int i = 0; i < count; ++i) files.push_back(WriteFile(root() / folder / ("f" + std::to_string(i) + ".ps")));
    return files;
  }

  // The batch scenarios' window.
  std::unique_ptr<WindowFixture> m_f;

  // A converter that writes part of a PDF, says it has started (gate.started)
  // and then waits for the gate file before it does the real work, so that a
  // test can act while items are in hand.
  fs::path GatedConverter(const fs::path& gate) {
    return samples::WriteStandInConverter(root(), "gated-pstopdf",
                                          "printf '%%PDF-1.4 partial' > \"$3\"; : > '" + gate.string() +
                                              ".started'\nwhile [ ! -e '" + gate.string() +
                                              "' ]; do sleep 0.02; done\nexec '" +
                                              (samples::BinDir() / "pstopdf").string() + "' \"$@\"");
  }

  ExportProgressSheet* Sheet() const { return m_f->find<ExportProgressSheet>(); }

  // Runs a command with the chooser answering destination; waits until the
  // batch is idle again.
  [[nodiscard]] bool RunBatch(const char* command, const fs::path& destination) {
    m_f->prompts.AnswerNextPanel({destination});
    QAction* action = m_f->action(command);
    // The window turns Convert back on once it has heard the last batch end.
    if (!QTest::qWaitFor([action] { return action->isEnabled(); }, kDeadline)) return false;
    action->trigger();
    return WaitIdle();
  }

  [[nodiscard]] bool WaitIdle() {
    return QTest::qWaitFor([this] { return !m_f->d().batchExport().isBusy(); }, kDeadline);
  }

  QString Status(int row) const { return m_f->cell(row, FileListTableModel::kStatusColumn); }
  const AlertRequest& Alert(std::size_t i) const { return m_f->prompts.alerts.at(i); }

  fs::path Dest(const char* name) {
    fs::create_directories(root() / name);
    return root() / name;
  }
  fs::path Good(const char* name) { return WriteFile(root() / "in" / name, samples::OnePagePostScript()); }
  fs::path Bad(const char* name) {
    return WriteFile(root() / "in" / name, "%!PS-Adobe-3.0\n/undefinedname-here cvx exec\nshowpage\n");
  }

 private Q_SLOTS:
  void initTestCase() { qputenv("TMPDIR", m_dir.path().toLocal8Bit()); }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    fs::remove_all(root() / "in");
  }

  void cleanup() { m_f.reset(); }

  void addingToTheList() {
    // What a folder gives: tst_cli_convert.
    const fs::path folder = root() / "panel1", inside = WriteFile(folder / "inside.ps");
    WriteFile(folder / "deeper" / "deep.ps");
    const fs::path a = WriteFile(root() / "panel1-a.ps"), b = WriteFile(root() / "panel1-b.eps");
    // A link in the folder to a file the user never chose: left out, and
    // said, its name as harmless text.
    fs::create_symlink(WriteFile(root() / "panel1-secret.txt", "SECRET"), folder / "secret\n.ps");

    WindowFixture f;
    f.window()->resize(900, 600);
    QVERIFY(QTest::qWaitForWindowExposed(f.window()));
    QVERIFY(f.addFromPanel({a, folder, b}));
    QTRY_COMPARE(MessageLine(f)->text(), LocalizedString("LinkNotFollowed").arg(QFile::decodeName(
                                             (folder.string() + "/secret\\n.ps").c_str())));
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{a, inside, b}));
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{0, 1, 2}));

    // The same files again: appended as further rows, and they alone selected.
    QVERIFY(f.addFromPanel({a}));
    QCOMPARE(f.shownPaths().back(), a);
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{3}));

    // Cancelling the panel, or adding nothing, keeps the list, its
    // selection and the table as they were.
    f.action("addImageMenuItem")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(f.prompts.completedPanels, 3, 10000);
    WriteFile(root() / "empty-folder" / "readme.txt", "x");
    QSignalSpy reloads(f.table()->model(), &QAbstractItemModel::dataChanged);
    QVERIFY(f.addFromPanel({root() / "empty-folder", root() / "missing.ps"}));
    QCOMPARE(f.rows(), 4);
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{3}));
    QCOMPARE(reloads.count(), 0);

    // The panel's two boxes reach the adding run (what they do to a folder:
    // tst_cli_convert); the tree box is on only with recursion, its
    // text dims with it, and both keep their states for the next panel. A
    // file chosen directly never records a folder.
    const fs::path tree = root() / "tree";
    WriteFile(tree / "top.ps");
    WriteFile(tree / "one" / "mid.eps");
    const fs::path direct = WriteFile(root() / "tree-direct.ps");
    for (const auto& [recursive, keep] : {std::pair{true, true}, {true, false}, {false, true}}) {
      f.choosePanelOptions(recursive, keep);
      const std::size_t before = f.d().GetAllItems().size();
      QVERIFY(f.addFromPanel({tree, direct}));
      const auto items = f.d().GetAllItems();
      QCOMPARE(items.size() - before, std::size_t(recursive ? 3 : 2));
      for (std::size_t i = before; i + 1 < items.size(); ++i)
        QCOMPARE(items[i]->parentFolderName(), recursive && keep ? std::optional(tree) : std::nullopt);
      QCOMPARE(items.back()->filePath(), direct);
      QVERIFY(!items.back()->parentFolderName());
      QWidget* accessory = f.prompts.panels.back().accessoryView;
      auto* treeBox = accessory->findChild<QCheckBox*>("mMaintainDirCheckBoxButton");
      QCOMPARE(accessory->findChild<QCheckBox*>("mAddRecursiveCheckBoxButton")->isChecked(), recursive);
      QCOMPARE(treeBox->isChecked(), keep);
      QCOMPARE(treeBox->isEnabled(), recursive);
      QCOMPARE(accessory->findChild<QLabel*>("mMaintainDirEditBox")->palette().color(QPalette::WindowText),
               accessory->palette().color(recursive ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    }

    // Drops insert at the row they land on (its top edge or its middle), or
    // at the end below the last row; they wait behind an adding run. A folder
    // gives its first level without a parent folder, whatever the Add panel's
    // options. Only local files are taken, names byte for byte; cells are
    // never edited in place.
    const fs::path files = root() / "files", droppedFolder = root() / "dropped folder";
    const auto ps = [&](const std::string& name) { return WriteFile(files / name); };
    WriteFile(droppedFolder / "one.ps");
    WriteFile(droppedFolder / "deeper" / "three.ps");
    f.toolbarButton("RemoveAll")->click();
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
    QVERIFY(dropAt(uri(droppedFolder), row(1).center()));
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{1});
    QVERIFY(!f.d().fileList().ItemAt(1)->parentFolderName());
    QVERIFY(dropAt(uri(ps("on1.ps")) + uri(ps("on2.eps")), QPoint(row(3).center().x(), row(3).bottom() + 30)));
    std::vector<fs::path> listed;  // byte for byte, as the table cannot show them
    for (const auto& item : f.d().GetAllItems()) listed.push_back(item->filePath());
    QCOMPARE(listed, (std::vector<fs::path>{files / "a.ps", droppedFolder / "one.ps", odd, files / "b.ps",
                                            files / "on1.ps", files / "on2.eps"}));
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{4, 5}));

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

    // Files from the desktop queue behind each other (what a folder gives
    // them: the dropped one's); a run counts the list as it is when
    // it starts (a Remove already waiting goes first); a drop request whose
    // row is gone by the time it runs appends.
    const auto queued = MakeFiles("queued", 300);
    f.selectRows({0, 1});
    QMetaObject::invokeMethod(f.action("removeMenuItem"), &QAction::trigger, Qt::QueuedConnection);
    f.d().applicationOpenFiles({QFile::decodeName((root() / "queued").c_str()), QString()});
    f.d().applicationOpenFiles(std::vector<fs::path>{ps("last.ps")});
    QVERIFY(f.waitForAdding());
    const auto paths = f.shownPaths();
    QCOMPARE(std::set<fs::path>(paths.begin() + 6, paths.end() - 1), std::set<fs::path>(queued.begin(), queued.end()));
    QCOMPARE(paths.back(), files / "last.ps");
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{306});
    f.d().AddUrlsIntoImageListViewViaOpenFiles(DropRequest{{files / "a.ps"}, 999});
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.shownPaths().back(), files / "a.ps");
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{307});

    table->edit(table->model()->index(0, FileListTableModel::kFilePathColumn));
    QCoreApplication::processEvents();
    QVERIFY(table->findChildren<QLineEdit*>().isEmpty());

    // A folder of 100,000 entries, most of them PostScript by name. At the
    // first rows the overlay shows, the user reads the count, checks that
    // the list is still reachable under it and cancels; whatever was found
    // stays, selected, after the rows there before.
    const fs::path big = root() / "hundred-thousand";
    fs::create_directories(big);
    for (int i = 0; i < 100000; ++i)
      ::close(::open((big.string() + "/p" + std::to_string(i) + (i % 10 ? ".ps" : ".txt")).c_str(), O_CREAT, 0644));
    const int before = f.rows();
    QString count;
    QWidget* underOverlay = nullptr;
    connect(
        f.table()->model(), &QAbstractItemModel::rowsInserted, this,
        [&] {
          if (!count.isEmpty() || !AddingCancel(f)->isVisible() || f.rows() <= before) return;
          count = Overlay(f)->messageTextField()->text();
          underOverlay = f.table()->childAt(f.table()->rect().center());
          QTest::mouseClick(AddingCancel(f), Qt::LeftButton);
        },
        Qt::QueuedConnection);
    f.prompts.AnswerNextPanel({big});
    f.action("addImageMenuItem")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!count.isEmpty(), 60000);
    QVERIFY(count.startsWith(LocalizedString("AddingFilesCount").section(QLatin1Char('%'), 0, 0)));
    QCOMPARE(underOverlay, f.table()->viewport());
    QVERIFY(f.waitForAdding());
    QVERIFY(Overlay(f)->isHidden() && AddingCancel(f)->isHidden());
    const int rows = f.rows();
    QVERIFY(rows > before && rows <= before + 90000);
    QCOMPARE(f.selectedRows().front(), before);
    ExpectEverywhere(f, {true, true, true, true, rows == before + 1});
  }

  // One session from launch: every visible text comes from the string table
  // (no key, no markup left) and the keyboard reaches every command; the
  // list commands as the selection and adding runs change, in the menus,
  // the context menu, the toolbar, the buttons and the keys; sorting; the
  // commands that hand an address to the desktop; closing and quitting.
  void aSessionWithTheList() {
    const auto files = MakeFiles("list", 8);
    WindowFixture f;
    ExpectEverywhere(f, {true, false, false, false, false});
    QVERIFY(Overlay(f)->isHidden());
    QStringList texts{f.find<QCheckBox>("compressPDFFileButton")->text()};
    for (QAction* action : f.window()->findChildren<QAction*>())
      if (!action->isSeparator() && !action->objectName().isEmpty() && !qobject_cast<QWidgetAction*>(action))
        texts << action->text();
    for (QMenu* menu : f.window()->menuBar()->findChildren<QMenu*>())
      if (!menu->objectName().isEmpty()) texts << menu->title();  // not the menu bar's overflow menu
    for (const char* id : {"Add", "Remove", "RemoveAll", "Convert", "ConvertAll", "Rate", "Help"}) {
      texts << f.toolbarButton(id)->text() << f.toolbarButton(id)->toolTip();
      QVERIFY2(!f.toolbarButton(id)->icon().isNull(), id);
    }
    for (const QString& text : texts)
      QVERIFY2(!text.isEmpty() && !text.contains(QStringLiteral("Title")) && !text.contains(QStringLiteral("amp;")),
               qPrintable(text));
    for (QMenu* menu : f.window()->menuBar()->findChildren<QMenu*>())
      QVERIFY(menu->objectName().isEmpty() || menu->title().startsWith(QLatin1Char('&')));
    QCOMPARE(f.find<BMTValidatedViewToolbar>()->visibleItems().size(), 7);
    for (const char* name : {"addImageMenuItem", "selectAllMenuItem", "removeMenuItem", "quitMenuItem",
                             "userManualMenuItem", "exportMenuItem", "exportAllMenuItem", "removeAllMenuItem"})
      QVERIFY2(!f.action(name)->shortcut().isEmpty(), name);
    QVERIFY(f.addFromPanel({root() / "nothing-here.ps"}));
    // A run that found nothing ends with Convert on and Remove off.
    ExpectEverywhere(f, {true, true, false, false, false});
    QVERIFY(f.addFromPanel({files[0], files[1]}));
    {
      // While the run holds the overlay, every list command is off everywhere.
      QObject steps;
      QStringList seen;
      connect(&f.d(), &AppDelegate::addingRunStarted, &steps, [&] {
        seen << "overlay on";
        QVERIFY(Overlay(f)->isVisible() && Overlay(f)->isSpinning());
        ExpectEverywhere(f, {false, false, false, false, false});
      });
      connect(f.table()->model(), &QAbstractItemModel::rowsInserted, &steps, [&] {
        if (seen.isEmpty() || seen.back() != "rows") seen << "rows";
      });
      connect(&f.d(), &AppDelegate::addingRunStopped, &steps, [&] {
        seen << "overlay off";
        QVERIFY(Overlay(f)->isHidden());
      });
      connect(f.table()->model(), &QAbstractItemModel::dataChanged, &steps, [&] { seen << "reload"; });
      connect(f.table()->selectionModel(), &QItemSelectionModel::selectionChanged, &steps, [&] { seen << "selection"; });
      connect(&f.d(), &AppDelegate::addingRunFinished, &steps, [&] { seen << "finished"; });
      QVERIFY(f.addFromPanel({files.begin() + 2, files.end()}));
      QTRY_VERIFY_WITH_TIMEOUT(seen.contains("finished"), 10000);
      QCOMPARE(seen, QStringList({"overlay on", "rows", "overlay off", "reload", "selection", "finished"}));
    }
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{2, 3, 4, 5, 6, 7}));
    ExpectEverywhere(f, {true, true, true, true, false});
    f.selectRows({1});
    ExpectEverywhere(f, {true, true, true, true, true});
    f.selectRows({});
    ExpectEverywhere(f, {true, true, true, true, false});
    // The context menu is validated as it opens.
    f.selectRows({0, 2});
    auto* contextMenu = f.find<QMenu>("contextMenu");
    contextMenu->popup(f.window()->geometry().center());
    QTRY_VERIFY_WITH_TIMEOUT(contextMenu->isVisible(), 10000);
    QVERIFY(!f.action("revealInFinderMenuItem")->isEnabled());
    contextMenu->hide();

    // Remove selects the row after the removed ones, or the last.
    f.selectRows({2, 3, 4});
    f.action("removeMenuItem")->trigger();
    QCOMPARE(f.rows(), 5);
    QCOMPARE(f.shownPaths()[2], files[5]);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{2});
    f.selectRows({3, 4});
    f.toolbarButton("Remove")->click();
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{2});
    // No selection: nothing removed, the last row gets selected.
    f.selectRows({});
    f.action("removeMenuItem")->trigger();
    QCOMPARE(f.rows(), 3);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{2});

    // Tab leaves the table for the controls under it; the check box has a
    // mnemonic; the controls have names for screen readers. Reveal has a
    // shortcut; Return on a row that was not converted reveals; Delete removes.
    f.window()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f.window()));
    auto* compress = f.find<QCheckBox>("compressPDFFileButton");
    auto* presets = f.find<QComboBox>("pdfPresetPopUp");
    f.table()->setFocus();
    QTest::keyClick(f.table(), Qt::Key_Tab);
    QVERIFY((QList<QWidget*>{compress, presets, f.find<QPushButton>("exportAllButton"), f.find<QPushButton>("exportButton")})
                .contains(QApplication::focusWidget()));
    const bool was = compress->isChecked();
    QTest::keySequence(f.window(), QKeySequence::mnemonic(compress->text()));
    QTRY_COMPARE(compress->isChecked(), !was);
    QVERIFY(!presets->accessibleName().isEmpty() && !AddingCancel(f)->accessibleName().isEmpty());
    f.selectRows({1});
    QTest::keySequence(f.window(), f.action("revealInFinderMenuItem")->shortcut());
    QCOMPARE(f.workspace.revealed, std::vector<fs::path>{files[1]});
    f.table()->setFocus();
    f.table()->setCurrentIndex(f.table()->model()->index(0, 0));
    QTest::keyClick(f.table(), Qt::Key_Return);
    QCOMPARE(f.workspace.revealed.back(), files[0]);
    f.selectRows({0});
    QTest::keyClick(f.table(), Qt::Key_Delete);
    QCOMPARE(f.rows(), 2);
    f.action("selectAllMenuItem")->trigger();
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{0, 1}));
    f.toolbarButton("RemoveAll")->click();
    QCOMPARE(f.rows(), 0);
    ExpectEverywhere(f, {true, false, false, false, false});

    // The path column sorts up and down by bytes; the same row numbers stay
    // selected, whatever they now hold. The number column never sorts and
    // always counts from the top.
    const fs::path upper = WriteFile(root() / "sort" / "B" / "x.ps");
    const fs::path lower = WriteFile(root() / "sort" / "a" / "y.ps");
    const fs::path middle = WriteFile(root() / "sort" / "B" / "c.ps");
    QVERIFY(f.addFromPanel({lower, upper, middle}));
    f.selectRows({0, 1});
    QHeaderView* header = f.table()->horizontalHeader();
    const auto click = [&](int column, const std::vector<fs::path>& expected) {
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
      QCOMPARE(f.shownPaths(), expected);
    };
    click(FileListTableModel::kFilePathColumn, {middle, upper, lower});
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{0, 1}));
    click(FileListTableModel::kFilePathColumn, {lower, upper, middle});
    click(FileListTableModel::kFilePathColumn, {middle, upper, lower});
    click(FileListTableModel::kIndexColumn, {middle, upper, lower});
    for (int row = 0; row < 3; ++row) QCOMPARE(f.cell(row, FileListTableModel::kIndexColumn), QString::number(row + 1));

    // Reveal, Help and Contact Support hand their addresses to the desktop;
    // what it cannot open is said in the window, by path or address. (Rate:
    // tst_store_rating, with a store that answers.)
    QTableView* table = f.table();
    const QRect cell = table->visualRect(table->model()->index(1, FileListTableModel::kFilePathColumn));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(f.workspace.revealed.back(), upper);
    f.selectRows({2});
    f.find<QMenu>("contextMenu")->actions().last()->trigger();
    QCOMPARE(f.workspace.revealed.back(), lower);

    f.action("contactSupportMenuItem")->trigger();
    QCOMPARE(f.workspace.opened.back(), QUrl(QString::fromLatin1(kSupportPageAddress)));
    f.toolbarButton("Help")->click();
    const QString manual = f.workspace.opened.back().toLocalFile();
    QVERIFY(manual.endsWith(QStringLiteral("Quillpress User Manual.pdf")));
    QVERIFY(samples::ReadAll(QFile::encodeName(manual).toStdString()).starts_with("%PDF-"));

    f.workspace.unopenable = {QStringLiteral("file"), QStringLiteral("https")};
    QLabel* message = MessageLine(f);
    QVERIFY(message->isHidden());
    QTest::keyClick(f.window(), Qt::Key_F1);
    QTRY_COMPARE(message->text(), LocalizedString("CannotOpenMessage").arg(manual));
    QVERIFY(message->isVisible());
    QCOMPARE(message->textFormat(), Qt::PlainText);
    // The next command takes the old news away; the support page's address
    // is given whole.
    f.action("contactSupportMenuItem")->trigger();
    QVERIFY(message->isHidden());
    QTRY_COMPARE(message->text(), LocalizedString("CannotOpenMessage").arg(QLatin1String(kSupportPageAddress)));

    // Without a session bus and an opener program, the real desktop answers
    // later, by the event loop, never while the window waits, and says what
    // it could not open.
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", QFile::encodeName(empty.path()));
    std::vector<QUrl> failed;
    DesktopWorkspace::Shared().setFailureHandler([&](const QUrl& url) { failed.push_back(url); });
    DesktopWorkspace::Shared().SelectFile(WriteFile(root() / "reveal-real" / "shown.ps"));
    DesktopWorkspace::Shared().OpenURL(FileUrlForPath(root()));
    QVERIFY(failed.empty());
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), std::size_t{2}, 30000);
    qputenv("PATH", path);
    DesktopWorkspace::Shared().setFailureHandler({});
    std::sort(failed.begin(), failed.end());
    QCOMPARE(failed, (std::vector<QUrl>{FileUrlForPath(root()), FileUrlForPath(root() / "reveal-real")}));

    // Closing the window and Quit without watching: at once, asking nothing.
    QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
    QVERIFY(f.window()->close());
    QTRY_COMPARE_WITH_TIMEOUT(terminate.count(), 1, 10000);
    f.action("quitMenuItem")->trigger();
    QVERIFY(f.prompts.alerts.empty());
  }

  // While watching, quitting asks (what the answers do: tst_watch_window,
  // with a real watch); a granted quit ends the main loop, which closes the
  // window on its way out, asking nothing more. Ending with the real Add
  // panel open deletes its accessory once.
  void closingAndQuitting() {
    WindowFixture watching;
    watching.d().setWatching(true);
    connect(&watching.d(), &AppDelegate::terminateApproved, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    QTimer::singleShot(0, watching.action("quitMenuItem"), &QAction::trigger);
    QTimer deadline;
    connect(&deadline, &QTimer::timeout, qApp, &QCoreApplication::quit);
    deadline.start(60000);
    QCoreApplication::exec();
    QVERIFY(deadline.isActive());
    QCOMPARE(watching.prompts.alerts.size(), std::size_t{1});
    QVERIFY(!watching.window()->isVisible());

    // The real Add panel: a window-modal sheet holding the boxes, taking
    // files and folders together; the boxes come back for the next panel.
    const fs::path folder = WriteFile(root() / "real panel" / "folder" / "in.ps").parent_path();
    const fs::path file = WriteFile(root() / "real panel" / "one.ps");
    WindowFixture f;
    f.d().setUserPrompts(QtUserPrompts::Shared());
    for (int panel = 0; panel < 2; ++panel) {
      f.action("addImageMenuItem")->trigger();
      QTRY_VERIFY(f.find<QFileDialog>() && f.find<QFileDialog>()->isVisible());
      QFileDialog* dialog = f.find<QFileDialog>();
      QCOMPARE(dialog->windowModality(), Qt::WindowModal);
      QVERIFY(dialog->findChild<QCheckBox*>("mAddRecursiveCheckBoxButton"));
      QVERIFY(dialog->nameFilters().front().contains(QStringLiteral("*.ps")));
      if (panel == 1) break;
      dialog->setDirectory(QFile::decodeName(folder.parent_path().c_str()));
      auto* view = dialog->findChild<QAbstractItemView*>(QStringLiteral("listView"));
      auto* model = qobject_cast<QFileSystemModel*>(view->model());
      QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(model->index(dialog->directory().path())), 2, 20000);
      for (const fs::path& chosen : {folder, file})
        view->selectionModel()->select(model->index(QFile::decodeName(chosen.c_str())),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
      QMetaObject::invokeMethod(dialog, "accept");
      QTRY_COMPARE_WITH_TIMEOUT(f.rows(), 2, 60000);
      QVERIFY(f.waitForAdding());
      const auto shown = f.shownPaths();
      QCOMPARE(std::set(shown.begin(), shown.end()), (std::set<fs::path>{folder / "in.ps", file}));
    }
  }

  // Convert from the chooser to the alert; then the settings chosen under
  // the table reach the conversion: the archive preset as its metadata, the
  // compression as object streams. Short names, each described in its
  // tooltip, as is how the check box goes with them.
  void convertShowsEveryStepAndClosesWithSuccess() {
    m_f = std::make_unique<WindowFixture>();
    QVERIFY(m_f->addFromPanel({Good("a.ps"), Good("b.ps")}));
    const fs::path dest = Dest("success");
    QStringList lines;  // the sheet's distinct lines, in the order shown
    int value = 0, maximum = 0;
    // Read from the widgets themselves, as the user sees them.
    connect(Sheet(), &ExportProgressSheet::progressChanged, this, [&] {
      const QString line = Sheet()->conversionFileNumberStaticText->text();
      if (!line.isEmpty() && (lines.isEmpty() || lines.back() != line)) lines << line;
      value = Sheet()->conversionProgressIndicator->value();
      maximum = Sheet()->conversionProgressIndicator->maximum();
    });
    m_f->selectRows({0, 1});
    // A cancelled chooser converts nothing and leaves Convert usable.
    m_f->action("exportMenuItem")->trigger();  // no answer scripted: cancelled
    QTRY_COMPARE_WITH_TIMEOUT(m_f->prompts.completedPanels, 2, kDeadline);
    QVERIFY(!m_f->d().batchExport().isBusy() && m_f->prompts.alerts.empty() && lines.empty());

    m_f->prompts.alertAnswers = {0};  // Open Destination
    QVERIFY(RunBatch("exportMenuItem", dest));
    // The chooser: a folder, titled for Convert (Convert All has its own).
    const OpenPanelRequest& chooser = m_f->prompts.panels.back();
    QCOMPARE(chooser.title, LocalizedString("ConvertChooserTitle"));
    QVERIFY(!chooser.canChooseFiles && chooser.canChooseDirectories && chooser.canCreateDirectories &&
            !chooser.allowsMultipleSelection);
    QCOMPARE(lines, QStringList({Line(0, 2, QString()), Line(1, 2, "a.ps"), Line(2, 2, "b.ps")}));
    QCOMPARE(std::pair(value, maximum), std::pair(4, 4));
    QVERIFY(!Sheet()->isVisible());
    // Good news, and Escape means OK, not Open Destination.
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    QCOMPARE((QStringList{Alert(0).title, Alert(0).message, Alert(0).defaultButton, Alert(0).alternateButton}),
             (QStringList{LocalizedString("SuccessfullConvertMsg"), QString(), LocalizedString("OkButtonString"),
                          LocalizedString("OpenDestinationTitle")}));
    QVERIFY(Alert(0).kind == AlertRequest::Kind::Information && Alert(0).escapeAnswer == 1);
    QCOMPARE(m_f->workspace.opened, std::vector<QUrl>{FileUrlForPath(dest)});

    // Each row says where its PDF went; Enter on a row opens it.
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverted").arg(QStringLiteral("a.pdf")), kDeadline);
    QCOMPARE(Status(1), LocalizedString("StatusConverted").arg(QStringLiteral("b.pdf")));
    m_f->table()->setFocus();
    m_f->table()->setCurrentIndex(m_f->table()->model()->index(1, 0));
    QTest::keyClick(m_f->table(), Qt::Key_Return);
    QCOMPARE(m_f->workspace.opened.back(), FileUrlForPath(dest / "b.pdf"));
    QCOMPARE(samples::ListTree(dest), (std::vector<std::string>{"a.pdf", "b.pdf"}));
    // The commands are back (and the list is as it was: the next batch
    // converts it again).
    QTRY_VERIFY_WITH_TIMEOUT(m_f->find<QPushButton>("exportButton")->isEnabled(), kDeadline);
    // Nothing to convert: no chooser at all.
    m_f->selectRows({});
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{3});

    auto* presets = m_f->find<QComboBox>("pdfPresetPopUp");
    auto* compress = m_f->find<QCheckBox>("compressPDFFileButton");
    for (int i = 0; i < presets->count(); ++i)
      QVERIFY(presets->itemData(i, Qt::ToolTipRole).toString().size() > presets->itemText(i).size());
    QVERIFY(compress->toolTip().contains(presets->itemText(1)));
    presets->setCurrentIndex(presets->findData(QStringLiteral("pdfa-2b")));
    compress->click();
    const fs::path archive = Dest("archive");
    QVERIFY(RunBatch("exportAllMenuItem", archive));
    const std::string before = samples::ReadAll(dest / "a.pdf"), after = samples::ReadAll(archive / "a.pdf");
    QVERIFY(before.find("/ObjStm") == std::string::npos && before.find("pdfaid") == std::string::npos);
    QVERIFY(after.find("/ObjStm") != std::string::npos && after.find("pdfaid") != std::string::npos);
    QVERIFY(samples::QpdfCheckPasses(archive / "a.pdf"));
  }

  void closingAlertsFollowTheOutcome() {
    m_f = std::make_unique<WindowFixture>();
    QVERIFY(m_f->addFromPanel({Bad("bad %1 name.ps")}));
    m_f->selectRows({0});
    QVERIFY(RunBatch("exportMenuItem", Dest("single")));  // leaves nothing there: tst_conversion
    // The name goes into the message as it stands, never read as a format;
    // the reason follows in words, with where the interpreter stopped, and
    // its own message waits in the details.
    const QString reason = LocalizedString("FailureUndefined").arg(QStringLiteral("undefinedname-here")) +
                           QLatin1Char(' ') + LocalizedString("FailureAtLine").arg(2);
    QCOMPARE(Alert(0).title, LocalizedString("ErrorAlertTitle"));
    QCOMPARE(Alert(0).message, LocalizedString("ErrorAlertSingleMsg").arg(QStringLiteral("bad %1 name.ps")) +
                                   QStringLiteral("\n\n") + reason);
    QVERIFY(Alert(0).details.contains(QStringLiteral("Error: /undefined")) && Alert(0).alternateButton.isEmpty());
    QCOMPARE(Alert(0).kind, AlertRequest::Kind::Critical);
    QCOMPARE(Status(0), LocalizedString("StatusFailed").arg(reason));

    // Every one of several fails: the failed files by name, and each with
    // its reason in the details.
    QVERIFY(m_f->addFromPanel({Bad("x.ps"), Bad("y.ps")}));
    QVERIFY(RunBatch("exportAllMenuItem", Dest("all-fail")));
    QCOMPARE(m_f->prompts.panels.back().title, LocalizedString("ConvertAllChooserTitle"));
    QCOMPARE(Alert(1).title, LocalizedString("ErrorAlertTitle"));
    QCOMPARE(Alert(1).message, LocalizedString("ErrorAlertMsg") + QStringLiteral("\n\n") +
                                   LocalizedString("FailedFilesAre").arg(QStringLiteral("bad %1 name.ps, x.ps, y.ps")));
    for (const char* name : {"x.ps", "y.ps"})
      QVERIFY(Alert(1).details.contains(LocalizedString("FailedFileLine").arg(QLatin1String(name), reason)));

    // Some fail, one of them a file that became a pipe after it was listed
    // (it fails at once, without holding the batch): the partial alert
    // names the first three as they stand and counts the rest; its OK opens
    // nothing. Pipes and devices are never listed.
    const fs::path pipe = root() / "in" / "pipe.ps";
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    QVERIFY(m_f->addFromPanel({pipe, "/dev/zero"}));
    QCOMPARE(m_f->rows(), 3);
    fs::remove(pipe);
    QVERIFY(m_f->addFromPanel({Good("pipe.ps"), Good("good.ps")}));
    fs::remove(pipe);
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    const fs::path partial = Dest("partial");
    QVERIFY(RunBatch("exportAllMenuItem", partial));
    QCOMPARE(Alert(2).title, LocalizedString("ConvertMsg"));
    QCOMPARE(Alert(2).message, LocalizedString("ErrorAlertMsg") + QStringLiteral("\n\n") +
                                   LocalizedString("FailedFilesAre").arg(LocalizedString("FailedNamesAndMore").arg(
                                       QStringLiteral("bad %1 name.ps, x.ps, y.ps"), QStringLiteral("1"))));
    QVERIFY(Alert(2).kind == AlertRequest::Kind::Warning && Alert(2).escapeAnswer == 1);
    QCOMPARE(Alert(2).alternateButton, LocalizedString("OpenDestinationTitle"));
    QVERIFY(m_f->workspace.opened.empty());
    QCOMPARE(samples::ListTree(partial), std::vector<std::string>{"good.pdf"});

    // A destination nobody can write into (not even root, in /proc) fails
    // every item; a chosen "folder" that is a file is left untouched.
    QVERIFY(RunBatch("exportAllMenuItem", "/proc"));
    QCOMPARE(Status(4), LocalizedString("StatusFailed").arg(LocalizedString("FailureCannotWrite")));
    const fs::path file = WriteFile(root() / "not-a-folder", "keep me");
    QVERIFY(RunBatch("exportAllMenuItem", file));
    QVERIFY(Alert(4).message.startsWith(LocalizedString("ErrorAlertMsg")));
    QCOMPARE(samples::ReadAll(file), std::string("keep me"));
  }

  // Two at a time, the third waiting. While the chooser is open and while
  // the batch runs, a second request is refused however it comes (the
  // menu, the batch itself, a drop on a file manager's folder) and changes
  // nothing; the Convert commands are off. Cancel says so at once, is not
  // pressed twice, stops the conversions in hand and leaves nothing.
  void batchesHeldAtTheGate() {
    m_f = std::make_unique<WindowFixture>();
    QVERIFY(m_f->addFromPanel({Good("a.ps"), Good("b.ps"), Good("c.ps")}));
    const fs::path gate = root() / "gate-cancel";
    qputenv("QUILLPRESS_PSTOPDF", GatedConverter(gate).c_str());
    const fs::path first = Dest("first"), second = Dest("second");
    m_f->d().batchExport().setConcurrentConversions(2);
    m_f->prompts.AnswerNextPanel({first});
    m_f->action("exportAllMenuItem")->trigger();
    m_f->selectRows({1});
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{2});

    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(gate.string() + ".started"), kDeadline);
    QVERIFY(Sheet()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverting"), kDeadline);
    QTRY_COMPARE_WITH_TIMEOUT(Status(1), LocalizedString("StatusConverting"), kDeadline);
    QCOMPARE(Status(2), LocalizedString("StatusWaiting"));
    m_f->prompts.AnswerNextPanel({second});
    m_f->action("exportAllMenuItem")->trigger();
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{2});
    QVERIFY(!m_f->d().batchExport().Start(m_f->d().GetAllItems(), second, false));
    QVERIFY(m_f->d().namesOfPromisedFilesDroppedAtDestination(second, m_f->d().GetAllItems()).empty());
    QCOMPARE(m_f->d().batchExport().destinationURL(), first);
    QCOMPARE(m_f->d().batchExport().sourceURLs().size(), std::size_t{3});
    QVERIFY(!m_f->find<QPushButton>("exportAllButton")->isEnabled() && !m_f->action("exportMenuItem")->isEnabled());

    QTest::mouseClick(Sheet()->cancelButton, Qt::LeftButton);
    QVERIFY(m_f->d().isConversionCancelled());
    QCOMPARE(Sheet()->conversionFileNumberStaticText->text(), LocalizedString("Cancelling"));
    QVERIFY(!Sheet()->cancelButton->isEnabled());
    QVERIFY(WaitIdle());  // the gate never opens
    QVERIFY(samples::ListTree(first).empty() && samples::ListTree(second).empty());
    QTRY_COMPARE_WITH_TIMEOUT(m_f->find<QLabel>("workspaceMessage")->text(), LocalizedString("CancelledNothingConverted"),
                              kDeadline);
    QVERIFY(m_f->find<QLabel>("workspaceMessage")->isVisible());
    for (int row = 0; row < 3; ++row) QCOMPARE(Status(row), QString());
    QVERIFY(m_f->prompts.alerts.empty() && !Sheet()->isVisible() && !m_f->d().isConversionCancelled());
    m_f->prompts.panelAnswers.clear();
    fs::remove(gate.string() + ".started");

    // A batch that ends while files are being added leaves every command
    // on; quitting in the middle of the next one leaves no partial file.
    m_f->selectRows({0});
    m_f->prompts.AnswerNextPanel({Dest("adding")});
    m_f->action("exportMenuItem")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverting"), kDeadline);
    // The desktop hands over more files meanwhile; the batch ends while
    // they are being added.
    const fs::path more = root() / "in" / "more";
    for (int i = 0; i < 3000; ++i) WriteFile(more / ("m" + std::to_string(i) + ".ps"));
    bool batchEndedDuringAdd = false;
    connect(&m_f->d(), &AppDelegate::addingRunStarted, this, [&] {
      WriteFile(gate, "");
      batchEndedDuringAdd = true;
    });
    m_f->d().applicationOpenFiles(std::vector<fs::path>{more});
    QVERIFY(m_f->waitForAdding() && WaitIdle() && m_f->waitForAdding());
    QVERIFY(batchEndedDuringAdd);
    QCOMPARE(m_f->rows(), 3003);
    QTRY_VERIFY_WITH_TIMEOUT(m_f->toolbarButton("Add")->isEnabled(), kDeadline);
    QVERIFY(m_f->find<QPushButton>("exportButton")->isEnabled() && m_f->toolbarButton("Remove")->isEnabled());
    fs::remove(gate);
    fs::remove(gate.string() + ".started");
    const fs::path quit = Dest("quit");
    m_f->prompts.AnswerNextPanel({quit});
    m_f->action("exportAllMenuItem")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(gate.string() + ".started"), kDeadline);
    m_f.reset();
    QVERIFY(samples::ListTree(quit).empty());
  }
};

QTEST_MAIN(AppDelegateWindowTest)
#include "tst_AppDelegateWindow.moc"
