#include "WindowTestFixture.h"

#include "BMTValidatedViewToolbar.h"
#include "BMTValidatedViewToolbarItem.h"
#include "ProgressHUDView.h"
#include "app/ApplicationResources.h"
#include "platform/LocalizedString.h"
#include "platform/QtUserPrompts.h"
#include "rating/MacAppStoreRating.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>

class AppDelegateWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;

  fs::path root() const { return TempPath(m_dir); }

  // Every list command's state in both menus and the toolbar.
  struct Shown {
    bool add, convert, remove, selectAll, reveal;
  };
  static void ExpectEverywhere(AppDelegate& d, Shown expected) {
    QCOMPARE(d.addToolbarItem->isEnabled(), expected.add);
    QCOMPARE(d.exportToolbarItem->isEnabled(), expected.convert);
    QCOMPARE(d.exportAllToolbarItem->isEnabled(), expected.convert);
    QCOMPARE(d.exportButton->isEnabled(), expected.convert);
    QCOMPARE(d.exportAllButton->isEnabled(), expected.convert);
    QCOMPARE(d.removeToolbarItem->isEnabled(), expected.remove);
    QCOMPARE(d.removeAllToolbarItem->isEnabled(), expected.remove);
    for (QAction* item : {d.addImageMenuItem, d.addImageContextMenuItem}) {
      QCOMPARE(d.validateMenuItem(item), expected.add);
      QCOMPARE(item->isEnabled(), expected.add);
    }
    for (QAction* item : {d.exportMenuItem, d.exportAllMenuItem, d.exportContextMenuItem,
                          d.exportAllContextMenuItem}) {
      QCOMPARE(d.validateMenuItem(item), expected.convert);
      QCOMPARE(item->isEnabled(), expected.convert);
    }
    for (QAction* item : {d.removeMenuItem, d.removeAllMenuItem, d.removeContextMenuItem,
                          d.removeAllContextMenuItem}) {
      QCOMPARE(d.validateMenuItem(item), expected.remove);
      QCOMPARE(item->isEnabled(), expected.remove);
    }
    for (QAction* item : {d.selectAllMenuItem, d.selectAllContextMenuItem}) {
      QCOMPARE(d.validateMenuItem(item), expected.selectAll);
      QCOMPARE(item->isEnabled(), expected.selectAll);
    }
    QCOMPARE(d.validateMenuItem(d.revealInFinderContextMenuItem), expected.reveal);
    QCOMPARE(d.revealInFinderContextMenuItem->isEnabled(), expected.reveal);
    // Commands that are not list commands are always on.
    for (QAction* item : {d.quitMenuItem, d.userManualMenuItem, d.contactSupportMenuItem,
                          d.rateMenuItem, d.watchFolderMenuItem})
      QVERIFY(d.validateMenuItem(item));
  }

  std::vector<fs::path> MakeFiles(const std::string& folder, int count) {
    std::vector<fs::path> files;
    for (int i = 0; i < count; ++i)
      files.push_back(WriteFile(root() / folder / ("f" + std::to_string(i) + ".ps")));
    return files;
  }

 private Q_SLOTS:
  void initTestCase() { QVERIFY(m_dir.isValid()); }

  void startUpStateAndTexts() {
    WindowFixture f;
    AppDelegate& d = f.d();
    ExpectEverywhere(d, {true, false, false, false, false});
    QCOMPARE(f.rows(), 0);
    QVERIFY(!d.isWatching());
    QVERIFY(!d.isMainWindowClosing());
    QCOMPARE(d.sortingState(QStringLiteral("FilePath")), 0);
    QVERIFY(d.addSpinView->isHidden());
    QCOMPARE(d.tableModel()->columnCount(), 3);
    QCOMPARE(FileListTableModel::ColumnIdentifier(FileListTableModel::kIndexColumn),
             QStringLiteral("Index"));
    QCOMPARE(FileListTableModel::ColumnIdentifier(FileListTableModel::kFilePathColumn),
             QStringLiteral("FilePath"));

    // Every visible text comes from the string table.
    QCOMPARE(d.window()->windowTitle(), QStringLiteral("Quillpress"));
    const QList<QAction*> actions = d.window()->findChildren<QAction*>();
    for (QAction* action : actions) {
      if (action->isSeparator() || action->objectName().isEmpty()) continue;
      if (qobject_cast<QMenu*>(action->parent()) == nullptr && action->menu() == nullptr &&
          action->text().isEmpty())
        continue;  // toolbar item actions carry their text on the button
      QVERIFY2(!action->text().isEmpty(), qPrintable(action->objectName()));
      QVERIFY2(!action->text().contains(QStringLiteral("Title")), qPrintable(action->text()));
      QVERIFY2(!action->text().contains(QStringLiteral("amp;")), qPrintable(action->text()));
    }
    QList<QToolButton*> buttons = {d.addToolbarItem,    d.removeToolbarItem,
                                   d.removeAllToolbarItem, d.exportToolbarItem,
                                   d.exportAllToolbarItem, d.ratingToolbarItem,
                                   d.helpToolbarItem};
    for (QToolButton* button : buttons) {
      QVERIFY(!button->text().isEmpty());
      QVERIFY(!button->toolTip().isEmpty());
      QVERIFY2(!button->icon().isNull(), qPrintable(button->text()));
    }
    QVERIFY(!d.exportButton->icon().isNull());
    QVERIFY(!d.exportAllButton->icon().isNull());
    QVERIFY(!d.compressPDFFileButton->text().isEmpty());
    QVERIFY(!d.mAddRecursiveCheckBoxButton->text().isEmpty());
    QVERIFY(!d.mMaintainDirEditBox->text().isEmpty());
    QVERIFY(!d.tableModel()->headerData(1, Qt::Horizontal).toString().isEmpty());
    QCOMPARE(d.mainToolbar->visibleItems().size(), 7);
    for (QMenu* menu : d.window()->menuBar()->findChildren<QMenu*>()) {
      if (menu->objectName().isEmpty()) continue;  // the menu bar's overflow menu
      QVERIFY(menu->title().startsWith(QLatin1Char('&')));
      QVERIFY2(!menu->title().contains(QStringLiteral("amp;")), qPrintable(menu->title()));
    }
    for (const char* key : {"QuitOnCloseTitle", "QuitOnCloseMessage", "QuitButtonString",
                            "NoButtonTitle", "OpenDialogTitle", "OpenDialogButton"})
      QVERIFY2(!LocalizedString(key).isEmpty(), key);
    QVERIFY(LocalizedString("NoSuchKeyInTheTable").isEmpty());

    // The keyboard reaches every list command.
    QCOMPARE(d.addImageMenuItem->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    QCOMPARE(d.selectAllMenuItem->shortcut(), QKeySequence(QStringLiteral("Ctrl+A")));
    QCOMPARE(d.removeMenuItem->shortcut(), QKeySequence(QKeySequence::Delete));
    QCOMPARE(d.quitMenuItem->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    QCOMPARE(d.userManualMenuItem->shortcut(), QKeySequence(QStringLiteral("F1")));
    QVERIFY(!d.exportMenuItem->shortcut().isEmpty());
    QVERIFY(!d.exportAllMenuItem->shortcut().isEmpty());
    QVERIFY(!d.removeAllMenuItem->shortcut().isEmpty());
  }

  void addFromPanelFirstLevelInOrder() {
    const fs::path folder = root() / "panel1";
    WriteFile(folder / "inside.ps");
    WriteFile(folder / "report.PS");
    WriteFile(folder / "notes.txt", "hello");
    WriteFile(folder / ".hidden.ps");
    WriteFile(folder / "deeper" / "deep.ps");
    const fs::path a = WriteFile(root() / "panel1-a.ps");
    const fs::path b = WriteFile(root() / "panel1-b.eps");

    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel({a, folder, b}));
    QCOMPARE(f.prompts.panels.size(), std::size_t{1});
    const OpenPanelRequest& request = f.prompts.panels.front();
    QCOMPARE(request.title, LocalizedString("OpenDialogTitle"));
    QCOMPARE(request.prompt, LocalizedString("OpenDialogButton"));
    QVERIFY(request.canChooseFiles && request.canChooseDirectories && request.allowsMultipleSelection);
    QCOMPARE(request.allowedFileTypes,
             QStringList({"ps", "PS", "eps", "EPS", "com.adobe.postscript",
                          "com.adobe.encapsulated-postscript"}));
    QCOMPARE(request.accessoryView, d.mMaintainDirAccessoryView);

    const auto paths = f.shownPaths();
    QCOMPARE(paths.size(), std::size_t{4});
    QCOMPARE(paths.front(), a);
    QCOMPARE(paths.back(), b);
    QCOMPARE(std::set<fs::path>(paths.begin() + 1, paths.end() - 1),
             (std::set<fs::path>{folder / "inside.ps", folder / "report.PS"}));
    for (const auto& item : d.GetAllItems()) QVERIFY(!item->parentFolderName());
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{0, 1, 2, 3}));
    ExpectEverywhere(d, {true, true, true, true, false});

    // The same files again: appended as further rows, and they alone selected.
    QVERIFY(f.addFromPanel({a}));
    QCOMPARE(f.rows(), 5);
    QCOMPARE(f.shownPaths().back(), a);
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{4}));

    // Cancelling the panel adds nothing.
    d.addImageMenuItem->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(f.prompts.completedPanels, 3, 10000);
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.rows(), 5);
  }

  void addFromPanelRecursiveAndTree() {
    const fs::path folder = root() / "tree";
    WriteFile(folder / "top.ps");
    WriteFile(folder / "one" / "mid.eps");
    WriteFile(folder / "one" / "two" / "low.ps");
    WriteFile(folder / ".secret" / "hidden.ps");
    WriteFile(folder / "one" / "skip.pdf", "%PDF-1.4");
    const fs::path direct = WriteFile(root() / "tree-direct.ps");

    struct Case {
      bool recursive, tree;
      std::size_t expected;
      bool parentsRecorded;
    };
    for (const Case c : {Case{true, true, 3, true}, Case{true, false, 3, false},
                         Case{false, true, 1, false}, Case{false, false, 1, false}}) {
      WindowFixture f;
      AppDelegate& d = f.d();
      f.prompts.whilePanelOpen = [&d, c](const OpenPanelRequest&) {
        d.mAddRecursiveCheckBoxButton->setChecked(c.recursive);
        if (c.recursive) QVERIFY(d.mMaintainDirCheckBoxButton->isEnabled());
        d.mMaintainDirCheckBoxButton->setChecked(c.tree);
      };
      QVERIFY(f.addFromPanel({folder, direct}));
      const auto items = d.GetAllItems();
      QCOMPARE(items.size(), c.expected + 1);
      for (std::size_t i = 0; i + 1 < items.size(); ++i) {
        QCOMPARE(items[i]->parentFolderName().has_value(), c.parentsRecorded);
        if (c.parentsRecorded) QCOMPARE(*items[i]->parentFolderName(), folder);
      }
      // A file chosen directly never records a folder.
      QCOMPARE(items.back()->filePath(), direct);
      QVERIFY(!items.back()->parentFolderName());
      // The boxes keep their states for the next panel.
      QCOMPARE(d.mAddRecursiveCheckBoxButton->isChecked(), c.recursive);
      QCOMPARE(d.mMaintainDirCheckBoxButton->isChecked(), c.tree);
      QCOMPARE(d.mMaintainDirCheckBoxButton->isEnabled(), c.recursive);
    }
  }

  void keepTreeOptionDimsWithRecursion() {
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(!d.mMaintainDirCheckBoxButton->isEnabled());
    const QColor dim = d.mMaintainDirEditBox->palette().color(QPalette::WindowText);
    d.mAddRecursiveCheckBoxButton->setChecked(true);
    QVERIFY(d.mMaintainDirCheckBoxButton->isEnabled());
    const QColor normal = d.mMaintainDirEditBox->palette().color(QPalette::WindowText);
    d.mMaintainDirCheckBoxButton->setChecked(true);
    d.mAddRecursiveCheckBoxButton->setChecked(false);
    QVERIFY(!d.mMaintainDirCheckBoxButton->isEnabled());
    QVERIFY(d.mMaintainDirCheckBoxButton->isChecked());
    QCOMPARE(d.mMaintainDirEditBox->palette().color(QPalette::WindowText), dim);
    QVERIFY(normal != dim);
  }

  void openFilesFromTheDesktopShell() {
    const fs::path folder = root() / "shell";
    WriteFile(folder / "x.ps");
    WriteFile(folder / "sub" / "y.ps");
    const fs::path single = WriteFile(root() / "shell-single.eps");
    WindowFixture f;
    AppDelegate& d = f.d();
    // The boxes of the panel do not count for files opened from the shell.
    d.mAddRecursiveCheckBoxButton->setChecked(true);
    d.mMaintainDirCheckBoxButton->setChecked(true);
    d.applicationOpenFiles({QFile::decodeName(single.c_str())});
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.shownPaths(), std::vector<fs::path>{single});
    d.applicationOpenFiles({QFile::decodeName(folder.c_str()), QString()});
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{single, folder / "x.ps"}));
    QVERIFY(!d.GetAllItems().back()->parentFolderName());
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{1});
  }

  void runsQueuedBehindEachOtherKeepTheirOrder() {
    const auto first = MakeFiles("queued-a", 300);
    const auto second = MakeFiles("queued-b", 2);
    WindowFixture f;
    AppDelegate& d = f.d();
    d.applicationOpenFiles({QFile::decodeName((root() / "queued-a").c_str())});
    d.applicationOpenFiles({QFile::decodeName(second[0].c_str()), QFile::decodeName(second[1].c_str())});
    QVERIFY(f.waitForAdding());
    const auto paths = f.shownPaths();
    QCOMPARE(paths.size(), std::size_t{302});
    QCOMPARE(paths[300], second[0]);
    QCOMPARE(paths[301], second[1]);
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{300, 301}));
  }

  void dropRequestInsertsAtItsIndex() {
    const auto files = MakeFiles("drop", 4);
    WindowFixture f;
    AppDelegate& d = f.d();
    d.AddUrlsIntoImageListViewViaOpenFiles(DropRequest{{files[0], files[1]}, std::nullopt});
    QVERIFY(f.waitForAdding());
    d.AddUrlsIntoImageListViewViaOpenFiles(DropRequest{{files[2], files[3]}, 1});
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{files[0], files[2], files[3], files[1]}));
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{1, 2}));
    // An index past the end appends.
    d.AddUrlsIntoImageListViewViaOpenFiles(DropRequest{{files[0]}, 99});
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.shownPaths().back(), files[0]);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{4});
  }

  void addingNothingKeepsListAndSelection() {
    const auto files = MakeFiles("nothing", 2);
    WriteFile(root() / "empty-folder" / "readme.txt", "x");
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel({root() / "empty-folder"}));
    // The run ended with work status "ended": Convert comes on for an empty
    // list, Remove does not.
    ExpectEverywhere(d, {true, true, false, false, false});
    QCOMPARE(f.rows(), 0);

    QVERIFY(f.addFromPanel(files));
    f.selectRows({0});
    QSignalSpy reloads(d.tableModel(), &QAbstractItemModel::dataChanged);
    QVERIFY(f.addFromPanel({root() / "empty-folder", root() / "nothing" / "missing.txt"}));
    QCOMPARE(f.rows(), 2);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{0});
    QCOMPARE(reloads.count(), 0);
  }

  void commandsDuringAndAfterARun() {
    const auto files = MakeFiles("during", 3);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel({files[0]}));
    f.selectRows({0});
    ExpectEverywhere(d, {true, true, true, true, true});

    // While the run holds the overlay, every list command is off everywhere.
    QStringList steps;
    bool checkedDuring = false;
    connect(&d, &AppDelegate::addingRunStarted, this, [&] {
      steps << "overlay on";
      QVERIFY(!d.addSpinView->isHidden());
      QVERIFY(d.addSpinView->isSpinning());
      ExpectEverywhere(d, {false, false, false, false, false});
      d.mainToolbar->validateVisibleItems();
      ExpectEverywhere(d, {false, false, false, false, false});
      checkedDuring = true;
    });
    connect(d.tableModel(), &QAbstractItemModel::rowsInserted, this, [&] {
      if (steps.isEmpty() || steps.back() != "rows") steps << "rows";
    });
    connect(&d, &AppDelegate::addingRunStopped, this, [&] {
      steps << "overlay off";
      QVERIFY(d.addSpinView->isHidden());
    });
    connect(d.tableModel(), &QAbstractItemModel::dataChanged, this, [&] { steps << "reload"; });
    connect(d.imageListTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [&] { steps << "selection"; });
    connect(&d, &AppDelegate::addingRunFinished, this, [&] { steps << "finished"; });
    QVERIFY(f.addFromPanel({files[1], files[2]}));
    QTRY_VERIFY_WITH_TIMEOUT(steps.contains("finished"), 10000);
    QVERIFY(checkedDuring);
    QCOMPARE(steps, QStringList({"overlay on", "rows", "overlay off", "reload", "selection",
                                 "finished"}));
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{1, 2}));
    ExpectEverywhere(d, {true, true, true, true, false});
  }

  void menuRulesFollowTheSelection() {
    const auto files = MakeFiles("menus", 3);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel(files));
    f.selectRows({});
    ExpectEverywhere(d, {true, true, true, true, false});
    f.selectRows({1});
    ExpectEverywhere(d, {true, true, true, true, true});
    f.selectRows({0, 2});
    ExpectEverywhere(d, {true, true, true, true, false});
    // The context menu is validated as it opens.
    d.contextMenu->popup(d.window()->geometry().center());
    QTRY_VERIFY_WITH_TIMEOUT(d.contextMenu->isVisible(), 10000);
    QVERIFY(!d.revealInFinderContextMenuItem->isEnabled());
    d.contextMenu->hide();
    d.selectAllMenuItem->trigger();
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{0, 1, 2}));
    d.removeAllMenuItem->trigger();
    ExpectEverywhere(d, {true, false, false, false, false});
  }

  void toolbarValidationKeepsTheCommandStates() {
    WindowFixture f;
    AppDelegate& d = f.d();
    d.mainToolbar->validateVisibleItems();
    ExpectEverywhere(d, {true, false, false, false, false});
    QVERIFY(d.ratingToolbarItem->isEnabled());
    QVERIFY(d.helpToolbarItem->isEnabled());
  }

  void sortingBackAndForth() {
    const fs::path upper = WriteFile(root() / "sort" / "B" / "x.ps");
    const fs::path lower = WriteFile(root() / "sort" / "a" / "y.ps");
    const fs::path middle = WriteFile(root() / "sort" / "B" / "c.ps");
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel({lower, upper, middle}));
    f.selectRows({0, 1});
    QHeaderView* header = d.imageListTable->horizontalHeader();
    const auto click = [&](int column) {
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    };
    click(FileListTableModel::kFilePathColumn);
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{middle, upper, lower}));
    QCOMPARE(d.sortingState(QStringLiteral("FilePath")), 1);
    // The same row numbers stay selected, whatever they now hold.
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{0, 1}));
    click(FileListTableModel::kFilePathColumn);
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{lower, upper, middle}));
    QCOMPARE(d.sortingState(QStringLiteral("FilePath")), 2);
    click(FileListTableModel::kFilePathColumn);
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{middle, upper, lower}));
    // The number column never sorts and always counts from the top.
    click(FileListTableModel::kIndexColumn);
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{middle, upper, lower}));
    for (int row = 0; row < 3; ++row)
      QCOMPARE(d.tableModel()
                   ->data(d.tableModel()->index(row, FileListTableModel::kIndexColumn))
                   .toString(),
               QString::number(row + 1));
  }

  void removeReselects() {
    const auto files = MakeFiles("remove", 10);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel(files));
    f.selectRows({2, 3, 4});
    d.removeMenuItem->trigger();
    QCOMPARE(f.rows(), 7);
    QCOMPARE(f.shownPaths()[2], files[5]);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{2});
    f.selectRows({5, 6});
    d.removeMenuItem->trigger();
    QCOMPARE(f.rows(), 5);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{4});
    // No selection: nothing removed, the last row gets selected.
    f.selectRows({});
    d.removeMenuItem->trigger();
    QCOMPARE(f.rows(), 5);
    QCOMPARE(f.selectedRows(), std::vector<std::int64_t>{4});
    // The Delete key removes too.
    d.window()->activateWindow();
    d.imageListTable->setFocus();
    QVERIFY(QTest::qWaitForWindowActive(d.window()));
    f.selectRows({0});
    QTest::keyClick(d.imageListTable, Qt::Key_Delete);
    QCOMPARE(f.rows(), 4);
    f.selectRows({0, 1, 2, 3});
    d.removeMenuItem->trigger();
    QCOMPARE(f.rows(), 0);
    QVERIFY(f.selectedRows().empty());
    ExpectEverywhere(d, {true, false, false, false, false});
  }

  void removeAllEmptiesAndDisables() {
    const auto files = MakeFiles("removeall", 3);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel(files));
    d.removeAllToolbarItem->click();
    QCOMPARE(f.rows(), 0);
    QVERIFY(d.GetAllItems().empty());
    ExpectEverywhere(d, {true, false, false, false, false});
  }

  void gatheringItems() {
    const auto files = MakeFiles("gather", 5);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel(files));
    f.selectRows({4, 0, 2});
    const auto selected = d.GetSelectedItems();
    QCOMPARE(selected.size(), std::size_t{3});
    QCOMPARE(selected[0]->filePath(), files[0]);
    QCOMPARE(selected[1]->filePath(), files[2]);
    QCOMPARE(selected[2]->filePath(), files[4]);
    // The list's own items, not copies.
    QCOMPARE(selected[1].get(), d.fileList().ItemAt(2).get());
    QCOMPARE(d.GetAllItems().size(), std::size_t{5});
    QCOMPARE(d.GetItemsForIndexSet({3, 1, 99}).size(), std::size_t{2});
    QCOMPARE(*d.GetPathAtIndexImageList(3), files[3]);
    QVERIFY(!d.GetPathAtIndexImageList(5));
    f.selectRows({});
    QVERIFY(d.GetSelectedItems().empty());
  }

  void revealOnDoubleClick() {
    const auto files = MakeFiles("reveal", 3);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel(files));
    f.selectRows({});
    d.ImageListViewDoubleClick();
    QVERIFY(f.workspace.revealed.empty());
    QTableView* table = d.imageListTable;
    const QRect cell = table->visualRect(d.tableModel()->index(1, FileListTableModel::kFilePathColumn));
    QVERIFY(cell.isValid());
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(f.workspace.revealed, std::vector<fs::path>{files[1]});
    // The reveal command of the context menu does the same.
    f.selectRows({2});
    d.revealInFinderContextMenuItem->trigger();
    QCOMPARE(f.workspace.revealed.back(), files[2]);
    QVERIFY(f.workspace.opened.empty());
  }

  void smallActions() {
    WindowFixture f;
    AppDelegate& d = f.d();
    d.contactSupportMenuItem->trigger();
    QCOMPARE(f.workspace.opened.size(), std::size_t{1});
    QCOMPARE(f.workspace.opened[0].path(), QStringLiteral("/support"));
    QCOMPARE(f.workspace.opened[0].scheme(), QStringLiteral("https"));
    d.helpToolbarItem->click();
    QCOMPARE(f.workspace.opened.size(), std::size_t{2});
    const QUrl manual = f.workspace.opened[1];
    QVERIFY(manual.isLocalFile());
    QVERIFY(manual.toLocalFile().endsWith(QStringLiteral("Quillpress User Manual.pdf")));
    QFile pdf(manual.toLocalFile());
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(pdf.read(5) == "%PDF-");
    d.ratingToolbarItem->click();  // nothing until the store rating lands
    QCOMPARE(f.workspace.opened.size(), std::size_t{2});
  }

  void closingTheWindow() {
    {
      WindowFixture f;
      QSignalSpy terminate(f.delegate.get(), &AppDelegate::terminateApproved);
      QVERIFY(f.d().window()->close());
      QTRY_COMPARE_WITH_TIMEOUT(terminate.count(), 1, 10000);
      QVERIFY(f.prompts.alerts.empty());
    }
    {
      WindowFixture f;
      AppDelegate& d = f.d();
      d.setWatching(true);
      QSignalSpy terminate(&d, &AppDelegate::terminateApproved);
      f.prompts.alertAnswers = {1};
      QVERIFY(d.window()->close());
      QTRY_COMPARE_WITH_TIMEOUT(terminate.count(), 1, 10000);
      QCOMPARE(f.prompts.alerts.size(), std::size_t{1});
      const auto& alert = f.prompts.alerts[0];
      QCOMPARE(alert.title, LocalizedString("QuitOnCloseTitle"));
      QCOMPARE(alert.message, LocalizedString("QuitOnCloseMessage"));
      QCOMPARE(alert.defaultButton, LocalizedString("QuitButtonString"));
      QCOMPARE(alert.alternateButton, LocalizedString("NoButtonTitle"));
    }
    {
      WindowFixture f;
      AppDelegate& d = f.d();
      d.setWatching(true);
      QSignalSpy terminate(&d, &AppDelegate::terminateApproved);
      f.prompts.alertAnswers = {0, 0, 1};
      QVERIFY(!d.window()->close());
      QVERIFY(d.window()->isVisible());
      QVERIFY(!d.isMainWindowClosing());
      // A later Quit asks again; declining keeps everything running.
      d.quitMenuItem->trigger();
      QCOMPARE(f.prompts.alerts.size(), std::size_t{2});
      QCOMPARE(terminate.count(), 0);
      QVERIFY(d.isWatching());
      d.quitMenuItem->trigger();
      QCOMPARE(f.prompts.alerts.size(), std::size_t{3});
      QCOMPARE(terminate.count(), 1);
    }
    {
      WindowFixture f;
      QSignalSpy terminate(f.delegate.get(), &AppDelegate::terminateApproved);
      f.d().quitMenuItem->trigger();
      QCOMPARE(terminate.count(), 1);
      QVERIFY(f.prompts.alerts.empty());
    }
  }

  void quittingDuringARunEndsCleanly() {
    const fs::path big = root() / "big";
    for (int folder = 0; folder < 40; ++folder)
      for (int i = 0; i < 100; ++i)
        WriteFile(big / ("d" + std::to_string(folder)) / ("f" + std::to_string(i) + ".ps"), "");
    for (int round = 0; round < 3; ++round) {
      auto f = std::make_unique<WindowFixture>();
      AppDelegate& d = f->d();
      bool started = false;
      connect(&d, &AppDelegate::addingRunStarted, this, [&] { started = true; });
      d.mAddRecursiveCheckBoxButton->setChecked(true);
      d.AddUrlsIntoImageListView({big});
      d.AddUrlsIntoImageListView({big});  // a second run waits on the lock
      if (round > 0) QTRY_VERIFY_WITH_TIMEOUT(started, 10000);
      QElapsedTimer timer;
      timer.start();
      f.reset();
      QVERIFY2(timer.elapsed() < 30000, "tearing down waited on the run");
    }
  }

  void quittingWithTheAddPanelOpen() {
    // The real panel, open as a sheet when the session ends.
    auto f = std::make_unique<WindowFixture>();
    AppDelegate& d = f->d();
    d.setUserPrompts(QtUserPrompts::Shared());
    d.addImageMenuItem->trigger();
    auto* panel = d.window()->findChild<QFileDialog*>();
    QVERIFY(panel != nullptr);
    QTRY_VERIFY(panel->isVisible());
    QVERIFY(panel->isAncestorOf(d.mMaintainDirAccessoryView));
    f.reset();  // deletes the accessory view once
  }

  void quitAsksOnceWhileWatching() {
    WindowFixture f;
    AppDelegate& d = f.d();
    d.setWatching(true);
    f.prompts.alertAnswers = {1};
    // As the program does: a granted quit ends the main loop, which closes
    // the window on its way out.
    connect(&d, &AppDelegate::terminateApproved, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    QTimer::singleShot(0, d.quitMenuItem, &QAction::trigger);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, qApp, &QCoreApplication::quit);
    deadline.start(60000);
    QCoreApplication::exec();
    QVERIFY(deadline.isActive());
    QCOMPARE(f.prompts.alerts.size(), std::size_t{1});
    const auto& alert = f.prompts.alerts[0];
    QCOMPARE(alert.title, LocalizedString("QuitOnCloseTitle"));
    // Escape keeps watching: the harmless answer.
    QCOMPARE(alert.request.escapeAnswer, 0);
    QVERIFY(!d.window()->isVisible());
  }

  void rateOpensTheStorePageWhereNoProgramTakesTheLink() {
    WindowFixture f;
    AppDelegate& d = f.d();
    MacAppStoreRating* rating = d.storeRating();
    rating->setStoreAddress(StoreAddress{QStringLiteral("http"), QStringLiteral("127.0.0.1"), 8123});
    rating->setAppStoreID(4242);
    f.workspace.unopenable = {rating->ratingsURL().scheme()};
    d.ratingToolbarItem->click();
    QTRY_COMPARE(f.workspace.opened.size(), std::size_t{2});
    QCOMPARE(f.workspace.opened[0], rating->ratingsURL());
    QCOMPARE(f.workspace.opened[1], QUrl(QStringLiteral("http://127.0.0.1:8123/app/id4242")));
    QVERIFY(d.messageLine->isHidden());
  }

  void whatTheDesktopCannotOpenIsSaidInTheWindow() {
    WindowFixture f;
    AppDelegate& d = f.d();
    f.workspace.unopenable = {QStringLiteral("file"), QStringLiteral("https")};
    QVERIFY(d.messageLine->isHidden());
    // F1: the manual, by its path.
    d.window()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(d.window()));
    QTest::keyClick(d.window(), Qt::Key_F1);
    QTRY_VERIFY(d.messageLine->isVisible());
    const QString manual = f.workspace.opened.back().toLocalFile();
    QVERIFY(manual.endsWith(QStringLiteral(".pdf")));
    QCOMPARE(d.messageLine->text(), LocalizedString("CannotOpenMessage").arg(manual));
    QCOMPARE(d.messageLine->textFormat(), Qt::PlainText);
    // The next command takes the old news away; the support page's
    // address is given whole.
    d.contactSupportMenuItem->trigger();
    QVERIFY(d.messageLine->isHidden());
    QTRY_VERIFY(d.messageLine->isVisible());
    QCOMPARE(d.messageLine->text(),
             LocalizedString("CannotOpenMessage").arg(QLatin1String(kSupportPageAddress)));

    // The real desktop without an opener program says the same.
    QTemporaryDir empty;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(empty.path()));
    QUrl failed;
    DesktopWorkspace::Shared().setFailureHandler([&](const QUrl& url) { failed = url; });
    const QUrl folder = FileUrlForPath(root());
    DesktopWorkspace::Shared().OpenURL(folder);
    qputenv("PATH", path);
    QTRY_COMPARE(failed, folder);
    DesktopWorkspace::Shared().setFailureHandler({});
  }

  void revealingNeverWaitsOnTheDesktop() {
    // No session bus and no opener: the answer comes later, by the event
    // loop, never while the window waits.
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", QFile::encodeName(empty.path()));
    QUrl failed;
    DesktopWorkspace::Shared().setFailureHandler([&](const QUrl& url) { failed = url; });
    const fs::path file = WriteFile(root() / "reveal" / "shown.ps");
    DesktopWorkspace::Shared().SelectFile(file);
    QVERIFY(failed.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(failed, FileUrlForPath(root() / "reveal"), 30000);
    qputenv("PATH", path);
    DesktopWorkspace::Shared().setFailureHandler({});
  }

  void keyboardReachesEverything() {
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel(MakeFiles("keys", 2)));
    d.window()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(d.window()));
    // Tab leaves the table for the controls under it.
    d.imageListTable->setFocus();
    QTest::keyClick(d.imageListTable, Qt::Key_Tab);
    QVERIFY(!d.imageListTable->hasFocus());
    QWidget* next = QApplication::focusWidget();
    QVERIFY(next == d.compressPDFFileButton || next == d.pdfPresetPopUp ||
            next == d.exportAllButton || next == d.exportButton);
    // The check box and the PDF settings have mnemonics.
    QVERIFY(!QKeySequence::mnemonic(d.compressPDFFileButton->text()).isEmpty());
    const bool was = d.compressPDFFileButton->isChecked();
    QTest::keySequence(d.window(), QKeySequence::mnemonic(d.compressPDFFileButton->text()));
    QTRY_COMPARE(d.compressPDFFileButton->isChecked(), !was);
    QVERIFY(!d.pdfPresetPopUp->accessibleName().isEmpty());
    QVERIFY(!d.addCancelButton->accessibleName().isEmpty());
    // Reveal has a shortcut; Enter on a row that was not converted reveals.
    f.selectRows({1});
    QTest::keySequence(d.window(), d.revealInFinderContextMenuItem->shortcut());
    QCOMPARE(f.workspace.revealed.size(), std::size_t{1});
    QVERIFY(!d.revealInFinderContextMenuItem->shortcut().isEmpty());
  }

  void aRunStartsWhereTheListIsWhenItStarts() {
    const auto files = MakeFiles("start", 5);
    WindowFixture f;
    AppDelegate& d = f.d();
    QVERIFY(f.addFromPanel({files[0], files[1], files[2]}));
    f.selectRows({0, 1});
    // The Delete key is already waiting in the queue when the run is asked
    // for: the run must count the list without those rows.
    QMetaObject::invokeMethod(d.removeMenuItem, &QAction::trigger, Qt::QueuedConnection);
    d.applicationOpenFiles(std::vector<fs::path>{files[3], files[4]});
    QVERIFY(f.waitForAdding());
    QCOMPARE(f.shownPaths(), (std::vector<fs::path>{files[2], files[3], files[4]}));
    QCOMPARE(f.selectedRows(), (std::vector<std::int64_t>{1, 2}));
  }

  void bigFolderCountsAndCancels() {
    // 100,000 entries, most of them PostScript by name.
    const fs::path big = root() / "hundred-thousand";
    fs::create_directories(big);
    for (int i = 0; i < 100000; ++i) {
      const std::string name = big.string() + "/p" + std::to_string(i) + (i % 10 == 0 ? ".txt" : ".ps");
      const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) ::close(fd);
    }
    WindowFixture f;
    AppDelegate& d = f.d();
    d.window()->resize(800, 600);
    QVERIFY(f.addFromPanel({WriteFile(root() / "first.ps")}));
    // At the first rows the overlay shows, the user reads the count, checks
    // that the list is still reachable under it and cancels.
    QString count;
    QWidget* underOverlay = nullptr;
    bool cancelled = false;
    connect(
        d.tableModel(), &QAbstractItemModel::rowsInserted, this,
        [&] {
          if (cancelled || !d.addCancelButton->isVisible() || f.rows() < 2) return;
          count = d.addSpinView->messageTextField()->text();
          underOverlay = d.imageListTable->childAt(d.imageListTable->rect().center());
          QTest::mouseClick(d.addCancelButton, Qt::LeftButton);
          cancelled = true;
        },
        Qt::QueuedConnection);
    f.prompts.AnswerNextPanel({big});
    d.addImageMenuItem->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(cancelled, 60000);
    QVERIFY(count.startsWith(LocalizedString("AddingFilesCount").section(QLatin1Char('%'), 0, 0)));
    QVERIFY(count != LocalizedString("AddingFilesMessage"));
    QCOMPARE(underOverlay, d.imageListTable->viewport());
    QVERIFY(f.waitForAdding());
    QVERIFY(d.addSpinView->isHidden());
    QVERIFY(d.addCancelButton->isHidden());
    // Whatever was found before the cancel stays, selected, after the first.
    const int rows = f.rows();
    QVERIFY(rows >= 1 && rows <= 90001);
    QCOMPARE(f.shownPaths().front(), root() / "first.ps");
    if (rows > 1) QCOMPARE(f.selectedRows().front(), 1);
    ExpectEverywhere(d, {true, true, true, true, rows == 2});
  }
};

QTEST_MAIN(AppDelegateWindowTest)
#include "tst_AppDelegateWindow.moc"
