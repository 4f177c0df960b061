#include "app/AppDelegate.h"

#include "app/ApplicationResources.h"
#include "conversion/ExportProgressSheet.h"
#include "filelist/FileListTableModel.h"
#include "filelist/FolderExpansion.h"
#include "filelist/PostScriptFileTest.h"
#include "platform/DirectSaveDrag.h"
#include "platform/LocalizedString.h"
#include "platform/PromisedFileName.h"
#include "platform/QtUserPrompts.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"
#include "rating/MacAppStoreRating.h"
#include "ui_AddAccessoryView.h"
#include "watch/WatchFolderController.h"
#include "watch/WatchFolderSettings.h"
#include "ui_MainWindow.h"

#include "BMTUtil.h"
#include "BMTValidatedViewToolbar.h"
#include "BMTValidatedViewToolbarItem.h"
#include "ProgressHUDView.h"
#include "VerticallyCenteredTextFieldCell.h"

#include <QCloseEvent>
#include <QDropEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <limits>

namespace {

// Rows inserted per block and the longest wait before a block is shown: the
// table follows a long run without a notice per row.
constexpr std::size_t kInsertBlockSize = 2048;
constexpr auto kInsertBlockInterval = std::chrono::milliseconds(40);

constexpr std::int64_t kNotFound = std::numeric_limits<std::int64_t>::max();

QStringList AcceptedTypes() {
  QStringList types;
  for (std::string_view type : kAcceptedTypes)
    types << QString::fromLatin1(type.data(), static_cast<qsizetype>(type.size()));
  return types;
}

std::filesystem::path PathFromArgument(const QString& argument) {
  const QString absolute = QDir::current().absoluteFilePath(argument);
  return QFile::encodeName(QDir::cleanPath(absolute)).toStdString();
}

}  // namespace

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent),
      m_prompts(&QtUserPrompts::Shared()),
      m_workspace(&DesktopWorkspace::Shared()),
      m_batch(std::make_unique<BatchExport>(static_cast<BatchExportHost&>(*this))) {
  InstallStringTable();
  m_window = new QMainWindow;
  m_window->setAttribute(Qt::WA_DeleteOnClose, false);
  auto ui = std::make_unique<Ui::MainWindow>();
  ui->setupUi(m_window);

  exportAllButton = ui->exportAllButton;
  exportButton = ui->exportButton;
  addImageMenuItem = ui->addImageMenuItem;
  exportMenuItem = ui->exportMenuItem;
  exportAllMenuItem = ui->exportAllMenuItem;
  selectAllMenuItem = ui->selectAllMenuItem;
  removeMenuItem = ui->removeMenuItem;
  removeAllMenuItem = ui->removeAllMenuItem;
  addImageContextMenuItem = ui->addImageContextMenuItem;
  exportContextMenuItem = ui->exportContextMenuItem;
  exportAllContextMenuItem = ui->exportAllContextMenuItem;
  selectAllContextMenuItem = ui->selectAllContextMenuItem;
  removeContextMenuItem = ui->removeContextMenuItem;
  removeAllContextMenuItem = ui->removeAllContextMenuItem;
  revealInFinderContextMenuItem = ui->revealInFinderContextMenuItem;
  quitMenuItem = ui->quitMenuItem;
  watchFolderMenuItem = ui->watchFolderMenuItem;
  userManualMenuItem = ui->userManualMenuItem;
  contactSupportMenuItem = ui->contactSupportMenuItem;
  rateMenuItem = ui->rateMenuItem;
  mainToolbar = ui->mainToolbar;
  imageListTable = ui->imageListTable;
  compressPDFFileButton = ui->compressPDFFileButton;

  mMaintainDirAccessoryView = new QWidget;
  Ui::AddAccessoryView accessory;
  accessory.setupUi(mMaintainDirAccessoryView);
  mMaintainDirCheckBoxButton = accessory.mMaintainDirCheckBoxButton;
  mAddRecursiveCheckBoxButton = accessory.mAddRecursiveCheckBoxButton;
  mMaintainDirEditBox = accessory.mMaintainDirEditBox;
  // The keep-tree text starts dimmed, as its box starts disabled.
  AddRecursiveCheckAction();

  contextMenu = new QMenu(m_window);
  contextMenu->addAction(addImageContextMenuItem);
  contextMenu->addSeparator();
  contextMenu->addAction(exportContextMenuItem);
  contextMenu->addAction(exportAllContextMenuItem);
  contextMenu->addSeparator();
  contextMenu->addAction(selectAllContextMenuItem);
  contextMenu->addAction(removeContextMenuItem);
  contextMenu->addAction(removeAllContextMenuItem);
  contextMenu->addSeparator();
  contextMenu->addAction(revealInFinderContextMenuItem);

  SetUpToolbar();
  SetUpTable();

  addSpinView = new ProgressHUDView(imageListTable);
  addSpinView->messageTextField()->setText(LocalizedString("AddingFilesMessage"));
  addSpinView->hide();

  exportProgressSheet = new ExportProgressSheet(m_window);
  connect(exportProgressSheet, &ExportProgressSheet::cancelConversion, this,
          &AppDelegate::cancelConversion);

  const auto connectAction = [this](QAction* action, void (AppDelegate::*slot)()) {
    connect(action, &QAction::triggered, this, slot);
  };
  connectAction(addImageMenuItem, &AppDelegate::AddFilesOrFolder);
  connectAction(addImageContextMenuItem, &AppDelegate::AddFilesOrFolder);
  connectAction(exportMenuItem, &AppDelegate::Export);
  connectAction(exportContextMenuItem, &AppDelegate::Export);
  connectAction(exportAllMenuItem, &AppDelegate::ExportAll);
  connectAction(exportAllContextMenuItem, &AppDelegate::ExportAll);
  connectAction(selectAllMenuItem, &AppDelegate::SelectAll);
  connectAction(selectAllContextMenuItem, &AppDelegate::SelectAll);
  connectAction(removeMenuItem, &AppDelegate::Remove);
  connectAction(removeContextMenuItem, &AppDelegate::Remove);
  connectAction(removeAllMenuItem, &AppDelegate::RemoveAll);
  connectAction(removeAllContextMenuItem, &AppDelegate::RemoveAll);
  connectAction(revealInFinderContextMenuItem, &AppDelegate::ImageListViewDoubleClick);
  connectAction(quitMenuItem, &AppDelegate::RequestTerminate);
  connectAction(watchFolderMenuItem, &AppDelegate::ShowWatchFolderPreferences);
  connectAction(userManualMenuItem, &AppDelegate::UserManualHelpAction);
  connectAction(contactSupportMenuItem, &AppDelegate::ContactSupportAction);
  connectAction(rateMenuItem, &AppDelegate::RateApplicationAction);
  connect(exportButton, &QPushButton::clicked, this, &AppDelegate::Export);
  connect(exportAllButton, &QPushButton::clicked, this, &AppDelegate::ExportAll);
  connect(mAddRecursiveCheckBoxButton, &QCheckBox::toggled, this,
          &AppDelegate::AddRecursiveCheckAction);
  for (QMenu* menu : m_window->menuBar()->findChildren<QMenu*>())
    connect(menu, &QMenu::aboutToShow, this, &AppDelegate::UpdateMenuItems);
  connect(contextMenu, &QMenu::aboutToShow, this, &AppDelegate::UpdateMenuItems);

  m_watchFolder = std::make_unique<WatchFolderController>(m_window, *m_prompts, *m_workspace,
                                                          WatchFolderSettings());
  connect(m_watchFolder.get(), &WatchFolderController::watchingChanged, this,
          [this](bool watching) { m_Watching = watching; });

  m_window->installEventFilter(this);
  awakeFromNib();
  // Launching has finished once the main loop runs.
  QTimer::singleShot(0, this, &AppDelegate::applicationDidFinishLaunching);
}

AppDelegate::~AppDelegate() {
  // Adding runs still going on stop at their next step; none waits for the
  // main thread any more, so joining them cannot hang.
  m_quitting = true;
  {
    std::lock_guard lock(m_mainCallMutex);
  }
  m_mainCallDone.notify_all();
  // The converter in hand is stopped and its output discarded: no partial
  // PDF is left behind.
  m_batch->Shutdown();
  std::list<Worker> workers;
  {
    std::lock_guard lock(m_workersMutex);
    workers.swap(m_workers);
  }
  for (Worker& worker : workers)
    if (worker.thread.joinable()) worker.thread.join();
  // Finishes the file in hand; watching resumes at the next launch.
  m_watchFolder.reset();
  // The window's widgets send their last events while they are torn down;
  // none of them is this controller's business any more.
  m_window->removeEventFilter(this);
  if (m_tableViewport) m_tableViewport->removeEventFilter(this);
  m_tableViewport = nullptr;
  delete m_window;
  delete mMaintainDirAccessoryView;
}

void AppDelegate::SetUpToolbar() {
  struct ItemSpec {
    const char* identifier;
    const char* titleKey;
    const char* toolTipKey;
    const char* image;
    const char* action;
    QToolButton** outlet;
  };
  const ItemSpec specs[] = {
      {"Add", "AddToolbarTitle", "AddToolbarToolTip", "Add", "AddFilesOrFolder", &addToolbarItem},
      {"Remove", "RemoveToolbarTitle", "RemoveToolbarToolTip", "Remove", "Remove",
       &removeToolbarItem},
      {"RemoveAll", "RemoveAllToolbarTitle", "RemoveAllToolbarToolTip", "RemoveAll", "RemoveAll",
       &removeAllToolbarItem},
      {"Convert", "ConvertToolbarTitle", "ConvertToolbarToolTip", "Convert", "Export",
       &exportToolbarItem},
      {"ConvertAll", "ConvertAllToolbarTitle", "ConvertAllToolbarToolTip", "ConvertAll",
       "ExportAll", &exportAllToolbarItem},
      {"Rate", "RateToolbarTitle", "RateToolbarToolTip", "Rating", "RateApplicationAction",
       &ratingToolbarItem},
      {"Help", "HelpToolbarTitle", "HelpToolbarToolTip", "Help", "UserManualHelpAction",
       &helpToolbarItem},
  };
  mainToolbar->setIconSize(QSize(32, 32));
  for (const ItemSpec& spec : specs) {
    auto* button = new QToolButton(mainToolbar);
    button->setObjectName(QString::fromLatin1(spec.identifier) + QStringLiteral("ToolbarButton"));
    button->setText(LocalizedString(spec.titleKey));
    button->setToolTip(LocalizedString(spec.toolTipKey));
    button->setAccessibleName(LocalizedString(spec.titleKey));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::TabFocus);
    auto* item = new BMTValidatedViewToolbarItem(QString::fromLatin1(spec.identifier), button,
                                                 mainToolbar);
    item->setTarget(this, spec.action);
    if (std::string_view(spec.identifier) == "Rate" || std::string_view(spec.identifier) == "Help")
      mainToolbar->addSeparator();
    mainToolbar->addItem(item);
    *spec.outlet = button;
  }
}

void AppDelegate::SetUpTable() {
  m_tableModel = new FileListTableModel(m_fileList, this);
  imageListTable->setModel(m_tableModel);
  imageListTable->setItemDelegate(new VerticallyCenteredTextFieldCell(imageListTable));
  QHeaderView* header = imageListTable->horizontalHeader();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(false);
  header->setSectionResizeMode(FileListTableModel::kIndexColumn, QHeaderView::Interactive);
  header->resizeSection(FileListTableModel::kIndexColumn, 64);
  header->setStretchLastSection(true);
  // Rows all have the same height, so the table never measures 100,000 of them.
  imageListTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  imageListTable->verticalHeader()->setDefaultSectionSize(
      imageListTable->fontMetrics().height() + 10);
  connect(header, &QHeaderView::sectionClicked, this,
          &AppDelegate::tableViewMouseDownInHeaderOfTableColumn);
  connect(imageListTable, &QTableView::doubleClicked, this,
          &AppDelegate::ImageListViewDoubleClick);
  connect(imageListTable, &QWidget::customContextMenuRequested, this,
          &AppDelegate::ShowContextMenu);
  connect(imageListTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &AppDelegate::UpdateMenuItems);

  // Files and folders come in by drops; rows go out as promised PDFs. Rows
  // are never moved within the table.
  imageListTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  imageListTable->setDragEnabled(true);
  imageListTable->setAcceptDrops(true);
  imageListTable->viewport()->setAcceptDrops(true);
  imageListTable->setDragDropMode(QAbstractItemView::DragDrop);
  imageListTable->setDragDropOverwriteMode(false);
  imageListTable->setDropIndicatorShown(true);
  imageListTable->setDefaultDropAction(Qt::CopyAction);
  m_tableViewport = imageListTable->viewport();
  m_tableViewport->installEventFilter(this);
  m_tableModel->setDropHandler([this](std::vector<std::filesystem::path> paths, std::int64_t row) {
    return acceptDrop(std::move(paths), row);
  });
  m_tableModel->setDragDataFactory(
      [this](const std::vector<std::int64_t>& rows) { return writeRowsWithIndexes(rows); });
}

void AppDelegate::awakeFromNib() {
  const QPalette palette = mainToolbar->palette();
  addToolbarItem->setIcon(TemplateIcon(QStringLiteral("Add"), palette));
  removeToolbarItem->setIcon(TemplateIcon(QStringLiteral("Remove"), palette));
  removeAllToolbarItem->setIcon(TemplateIcon(QStringLiteral("RemoveAll"), palette));
  exportToolbarItem->setIcon(TemplateIcon(QStringLiteral("Convert"), palette));
  exportButton->setIcon(TemplateIcon(QStringLiteral("Convert"), exportButton->palette()));
  exportAllToolbarItem->setIcon(TemplateIcon(QStringLiteral("ConvertAll"), palette));
  exportAllButton->setIcon(TemplateIcon(QStringLiteral("ConvertAll"), exportAllButton->palette()));
  ratingToolbarItem->setIcon(TemplateIcon(QStringLiteral("Rating"), palette));
  helpToolbarItem->setIcon(TemplateIcon(QStringLiteral("Help"), palette));

  InitialiseUIControls();
  if (!rateApplicationObject) {
    // Read at call time, so that a workspace set later is the one used.
    rateApplicationObject = std::make_unique<MacAppStoreRating>(
        [this](const QUrl& url) { return m_workspace->OpenURL(url); });
    connect(this, &AppDelegate::applicationDidFinishLaunchingNotification,
            rateApplicationObject.get(), &MacAppStoreRating::applicationLaunched);
  }
  // Dropping files on the table is wired by the drag and drop subsystem.
  InitSortingInfo();
  // The watch folder subsystem prepares its drop boxes, controls and state
  // here.
  m_Watching = false;
  m_mainWindowClosing = false;
  DoWatchFolderFilesManipulation(nullptr);
  if (CompareSystemVersion(10, 7, 3) >= 0) StartAutoWatchFolder();
}

void AppDelegate::applicationDidFinishLaunching() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = m_window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    m_window->move(frame.topLeft());
  }
  Q_EMIT applicationDidFinishLaunchingNotification();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  // Compared by address only: the table may be part-way through its
  // destruction when its viewport's last events come by.
  if (watched == m_tableViewport &&
      (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove ||
       event->type() == QEvent::Drop)) {
    // The table's own rows are not dropped back onto it.
    auto* drop = static_cast<QDropEvent*>(event);
    if (!validateDrop(drop->source())) {
      drop->setDropAction(Qt::IgnoreAction);
      drop->ignore();
      return true;
    }
    return false;
  }
  if (watched == m_window && event->type() == QEvent::Close) {
    auto* close = static_cast<QCloseEvent*>(event);
    if (!windowShouldClose()) {
      close->ignore();
      return true;
    }
    close->accept();
    // Closing the last window quits the application.
    if (applicationShouldTerminateAfterLastWindowClosed())
      QTimer::singleShot(0, this, &AppDelegate::RequestTerminate);
    return false;
  }
  return QObject::eventFilter(watched, event);
}

int AppDelegate::RunQuitAlert() {
  return m_prompts->RunAlertPanel(m_window, LocalizedString("QuitOnCloseTitle"),
                                  LocalizedString("QuitOnCloseMessage"),
                                  LocalizedString("QuitButtonString"),
                                  LocalizedString("NoButtonTitle"));
}

bool AppDelegate::windowShouldClose() {
  m_mainWindowClosing = true;
  if (!m_Watching) return true;
  if (RunQuitAlert() == 0) {
    m_mainWindowClosing = false;
    return false;
  }
  return true;
}

int AppDelegate::applicationShouldTerminate() {
  if (m_Watching && !m_mainWindowClosing) return RunQuitAlert() == 1 ? 1 : 0;
  return 1;
}

void AppDelegate::RequestTerminate() {
  if (applicationShouldTerminate() != 1) return;
  applicationWillTerminate();
  Q_EMIT terminateApproved();
}

// --- Command enabling -------------------------------------------------------

ListCommand AppDelegate::CommandOfMenuItem(const QAction* item) const {
  if (item == nullptr) return ListCommand::Other;
  if (item == addImageMenuItem || item == addImageContextMenuItem) return ListCommand::AddImage;
  if (item == exportMenuItem || item == exportContextMenuItem) return ListCommand::Export;
  if (item == exportAllMenuItem || item == exportAllContextMenuItem) return ListCommand::ExportAll;
  if (item == selectAllMenuItem || item == selectAllContextMenuItem) return ListCommand::SelectAll;
  if (item == removeMenuItem || item == removeContextMenuItem) return ListCommand::Remove;
  if (item == removeAllMenuItem || item == removeAllContextMenuItem) return ListCommand::RemoveAll;
  if (item == revealInFinderContextMenuItem) return ListCommand::RevealInFinder;
  return ListCommand::Other;
}

bool AppDelegate::validateMenuItem(const QAction* item) const {
  const ListCommand command = CommandOfMenuItem(item);
  int selected = 0;
  if (command == ListCommand::RevealInFinder) {
    // Only "exactly one" matters; a large selection is not walked row by row.
    const QItemSelection ranges = imageListTable->selectionModel()->selection();
    if (ranges.size() == 1) selected = ranges.front().height();
    else if (ranges.size() > 1) selected = static_cast<int>(std::min<std::size_t>(SelectedRows().size(), 2));
  }
  return MenuItemEnabled(command, m_commandStates, selected);
}

bool AppDelegate::validateToolbarItem(BMTValidatedViewToolbarItem* item) const {
  // The toolbar's buttons keep the states the list commands set; toolbar
  // validation must not turn them back on.
  if (item == nullptr) return true;
  const QString identifier = item->itemIdentifier();
  if (identifier == QLatin1String("Add")) return m_commandStates.addEnabled;
  if (identifier == QLatin1String("Remove") || identifier == QLatin1String("RemoveAll"))
    return m_commandStates.removeEnabled;
  if (identifier == QLatin1String("Convert") || identifier == QLatin1String("ConvertAll"))
    return m_commandStates.exportEnabled;
  return true;
}

void AppDelegate::UpdateMenuItems() {
  const QList<QAction*> items = {addImageMenuItem,         exportMenuItem,
                                 exportAllMenuItem,        selectAllMenuItem,
                                 removeMenuItem,           removeAllMenuItem,
                                 addImageContextMenuItem,  exportContextMenuItem,
                                 exportAllContextMenuItem, selectAllContextMenuItem,
                                 removeContextMenuItem,    removeAllContextMenuItem,
                                 revealInFinderContextMenuItem};
  for (QAction* item : items) item->setEnabled(validateMenuItem(item));
}

void AppDelegate::ApplyCommandStates() {
  exportButton->setEnabled(m_commandStates.exportEnabled);
  exportAllButton->setEnabled(m_commandStates.exportEnabled);
  exportToolbarItem->setEnabled(m_commandStates.exportEnabled);
  exportAllToolbarItem->setEnabled(m_commandStates.exportEnabled);
  removeToolbarItem->setEnabled(m_commandStates.removeEnabled);
  removeAllToolbarItem->setEnabled(m_commandStates.removeEnabled);
  addToolbarItem->setEnabled(m_commandStates.addEnabled);
  mainToolbar->validateVisibleItems();
  // Shortcuts act only through enabled actions, so the menus follow at once.
  UpdateMenuItems();
}

void AppDelegate::SetEnabledDisabledExportItems(bool working, int status) {
  // The progress sheet's status line and bar are cleared by the batch
  // export subsystem when it owns them.
  m_commandStates.exportEnabled = ExportItemsEnabled(working, status, m_fileList.Count());
  ApplyCommandStates();
}

void AppDelegate::SetEnabledDisabledRemoveOrRemoveAllItems(bool working) {
  m_commandStates.removeEnabled = RemoveItemsEnabled(working, m_fileList.Count());
  ApplyCommandStates();
}

void AppDelegate::InitialiseUIControls() {
  SetEnabledDisabledExportItems(false, 0);
  SetEnabledDisabledRemoveOrRemoveAllItems(false);
}

void AppDelegate::ResetUIControls() { InitialiseUIControls(); }

void AppDelegate::SetEnableDisableControlWhileConversion(int status) {
  SetEnabledDisabledExportItems(true, status);
  m_commandStates = StatesForWorkStatus(m_commandStates, status, m_fileList.Count());
  ApplyCommandStates();
}

// --- The table --------------------------------------------------------------

void AppDelegate::InitSortingInfo() {
  m_sortingInfo.clear();
  m_sortingInfo.insert(QStringLiteral("FilePath"), 0);
}

void AppDelegate::tableViewMouseDownInHeaderOfTableColumn(int column) {
  const QString identifier = FileListTableModel::ColumnIdentifier(column);
  if (identifier != QLatin1String("FilePath")) return;
  const int state = m_sortingInfo.value(identifier, 0);
  const bool ascending = state == 0 || state == 2;
  m_fileList.SortByPath(ascending);
  m_tableModel->reloadData();
  m_sortingInfo.insert(identifier, ascending ? 1 : 2);
}

std::vector<std::int64_t> AppDelegate::SelectedRows() const {
  std::vector<std::int64_t> rows;
  const QItemSelectionModel* selection = imageListTable->selectionModel();
  if (selection == nullptr) return rows;
  for (const QItemSelectionRange& range : selection->selection()) {
    for (int row = range.top(); row <= range.bottom(); ++row) rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

std::vector<FileListItemRef> AppDelegate::GetSelectedItems() const {
  return m_fileList.ItemsAtRows(SelectedRows());
}

std::vector<FileListItemRef> AppDelegate::GetAllItems() const { return m_fileList.AllItems(); }

std::vector<FileListItemRef> AppDelegate::GetItemsForIndexSet(
    const std::vector<std::int64_t>& rows) const {
  return m_fileList.ItemsAtRows(rows);
}

std::optional<std::filesystem::path> AppDelegate::GetPathAtIndexImageList(std::int64_t row) const {
  const FileListItemRef item = m_fileList.ItemAt(row);
  if (!item) return std::nullopt;
  return item->filePath();
}

void AppDelegate::SelectRowStartingAtRow(std::int64_t row, std::int64_t count) {
  const std::int64_t rows = m_tableModel->rowCount();
  std::int64_t start = row == -1 ? 0 : row;
  if (start >= rows) {
    if (rows == 0) return;
    start = rows - 1;
  }
  if (count < 1) count = 1;
  const std::int64_t end = std::min(rows - 1, start + count - 1);
  const QModelIndex first = m_tableModel->index(static_cast<int>(start), 0);
  const QModelIndex last =
      m_tableModel->index(static_cast<int>(end), m_tableModel->columnCount() - 1);
  QItemSelectionModel* selection = imageListTable->selectionModel();
  selection->select(QItemSelection(first, last),
                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  selection->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
  imageListTable->scrollTo(first);
}

void AppDelegate::SelectAll() {
  imageListTable->selectAll();
  ResetUIControls();
}

void AppDelegate::Remove() {
  const std::vector<std::int64_t> rows = SelectedRows();
  const std::int64_t first = rows.empty() ? kNotFound : rows.front();
  m_fileList.RemoveRows(rows);
  m_tableModel->reloadData();
  if (m_tableModel->rowCount() > 0) SelectRowStartingAtRow(first, 1);
  ResetUIControls();
}

void AppDelegate::RemoveAll() {
  m_fileList.RemoveAll();
  m_tableModel->reloadData();
  ResetUIControls();
}

void AppDelegate::ImageListViewDoubleClick() {
  const std::vector<std::int64_t> rows = SelectedRows();
  if (rows.empty()) return;
  std::int64_t row = rows.back();
  const QModelIndex current = imageListTable->selectionModel()->currentIndex();
  if (current.isValid() && std::binary_search(rows.begin(), rows.end(), current.row()))
    row = current.row();
  const std::optional<std::filesystem::path> path = GetPathAtIndexImageList(row);
  if (!path) return;
  m_workspace->SelectFile(*path);
}

void AppDelegate::ShowContextMenu(const QPoint& position) {
  UpdateMenuItems();
  contextMenu->popup(imageListTable->viewport()->mapToGlobal(position));
}

// --- Drag and drop ------------------------------------------------------------

bool AppDelegate::validateDrop(const QObject* dragSource) const {
  return dragSource == nullptr || dragSource != imageListTable;
}

bool AppDelegate::acceptDrop(std::vector<std::filesystem::path> paths, std::int64_t row) {
  if (paths.empty()) return false;
  // Adding runs in the background; the drop is answered at once.
  AddUrlsIntoImageListViewViaOpenFiles(DropRequest{std::move(paths), row});
  return true;
}

QMimeData* AppDelegate::writeRowsWithIndexes(const std::vector<std::int64_t>& rows) {
  // The items are taken now: rows that an adding run inserts while the drag
  // goes on must not change what is converted.
  std::vector<FileListItemRef> items = GetItemsForIndexSet(rows);
  if (items.empty()) return nullptr;
  const std::filesystem::path promised = PromisedFileName(items.front()->filePath());
  if (promised.empty()) return nullptr;
  QPointer<AppDelegate> self(this);
  return new DirectSaveMimeData(
      promised, [self, items = std::move(items)](const std::filesystem::path& folder) {
        return self && !self->namesOfPromisedFilesDroppedAtDestination(folder, items).empty();
      });
}

std::vector<std::filesystem::path> AppDelegate::namesOfPromisedFilesDroppedAtDestination(
    const std::filesystem::path& destination, const std::vector<FileListItemRef>& items) {
  if (items.empty()) return {};
  // A batch already running keeps its items and destination: this one is
  // refused, and the target is told nothing was saved.
  if (!m_batch->Start(items, destination, compressPDFFileButton->isChecked())) return {};
  std::vector<std::filesystem::path> names;
  names.reserve(items.size());
  for (const FileListItemRef& item : items) names.push_back(PromisedFileName(item->filePath()));
  return names;
}

// --- Small actions ------------------------------------------------------------

void AppDelegate::ContactSupportAction() {
  const QUrl url(QString::fromLatin1(kSupportPageAddress), QUrl::StrictMode);
  if (url.isValid()) m_workspace->OpenURL(url);
}

void AppDelegate::UserManualHelpAction() {
  if (const auto manual = UserManualPath()) m_workspace->OpenURL(FileUrlForPath(*manual));
}

void AppDelegate::RateApplicationAction() {
  if (rateApplicationObject) {
    QMetaObject::invokeMethod(rateApplicationObject.get(), &MacAppStoreRating::RateApplicationAction,
                              Qt::QueuedConnection);
  }
}

// --- Converting ---------------------------------------------------------------

void AppDelegate::Export() { ExportItems(GetSelectedItems()); }

void AppDelegate::ExportAll() { ExportItems(GetAllItems()); }

void AppDelegate::ExportItems(std::vector<FileListItemRef> items) {
  // A second request while a batch is pending or running is refused: it must
  // not take over the running batch's items or destination.
  if (!m_batch->RequestItems(std::move(items))) return;
  OpenPanelRequest request;
  request.title = exportButton->text();
  request.prompt = exportButton->text();
  request.canChooseFiles = false;
  request.canChooseDirectories = true;
  request.allowsMultipleSelection = false;
  request.canCreateDirectories = true;
  QPointer<AppDelegate> self(this);
  m_prompts->BeginOpenPanelSheet(
      m_window, request, [self](int result, std::vector<std::filesystem::path> chosen) {
        if (!self) return;
        if (result == 1 && !chosen.empty()) {
          self->m_batch->StartWithRequestedItems(chosen.front(),
                                                 self->compressPDFFileButton->isChecked());
        } else {
          self->m_batch->DropRequestedItems();
        }
      });
}

void AppDelegate::cancelConversion() { m_batch->cancelConversion(); }

bool AppDelegate::BeginProgressSheet(std::int64_t numOfFiles) {
  return RunOnMainAndWait([this, numOfFiles] {
    SetEnableDisableControlWhileConversion(kExportProgressStarted);
    exportProgressSheet->BeginProgressSheet(numOfFiles);
  });
}

bool AppDelegate::ChangeProgressStatus(int code, const std::filesystem::path& fileName) {
  const QString name = QFile::decodeName(QByteArray::fromStdString(fileName.string()));
  return RunOnMainAndWait(
      [this, code, name] { exportProgressSheet->ChangeProgressStatus(code, name); });
}

bool AppDelegate::EndProgressSheet() {
  return RunOnMainAndWait([this] { exportProgressSheet->EndProgressSheet(); });
}

bool AppDelegate::ShowClosingAlert(ClosingAlert alert, const std::filesystem::path& firstFileName,
                                   const std::filesystem::path& destination) {
  const QString name = QFile::decodeName(QByteArray::fromStdString(firstFileName.string()));
  return RunOnMainAndWait([this, alert, name, destination] {
    switch (alert) {
      case ClosingAlert::SingleFileError:
        AlertForSingleFileConversionError(name);
        break;
      case ClosingAlert::MultiFileError:
        AlertForMultiFileConversionError();
        break;
      case ClosingAlert::PartialSuccess:
        AlertOnSuccessConversion(LocalizedString("ErrorAlertMsg"), destination);
        break;
      case ClosingAlert::Success:
        AlertOnSuccessConversion(std::nullopt, destination);
        break;
      case ClosingAlert::None:
        break;
    }
  });
}

void AppDelegate::BatchEnded() {
  if (m_quitting) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        // An adding run going on keeps the controls as it set them; it
        // resets them itself when it ends.
        if (isAdding()) return;
        SetEnableDisableControlWhileConversion(kWorkStatusEnded);
        ResetUIControls();
      },
      Qt::QueuedConnection);
}

void AppDelegate::AlertForSingleFileConversionError(const QString& fileName) {
  // The message is shown as it stands: a file name is never a format.
  m_prompts->RunAlertPanel(m_window, LocalizedString("ErrorAlertTitle"),
                           LocalizedString("ErrorAlertSingleMsg").arg(fileName),
                           LocalizedString("OkButtonString"), QString());
}

void AppDelegate::AlertForMultiFileConversionError() {
  m_prompts->RunAlertPanel(m_window, LocalizedString("ErrorAlertTitle"),
                           LocalizedString("ErrorAlertMsg"), LocalizedString("OkButtonString"),
                           QString());
}

void AppDelegate::AlertOnSuccessConversion(const std::optional<QString>& message,
                                           const std::filesystem::path& destination) {
  const QString title =
      message ? LocalizedString("ConvertMsg") : LocalizedString("SuccessfullConvertMsg");
  const int answer = m_prompts->RunAlertPanel(m_window, title, message.value_or(QString()),
                                              LocalizedString("OkButtonString"),
                                              LocalizedString("OpenDestinationTitle"));
  if (answer == 0) m_workspace->OpenURL(FileUrlForPath(destination));
}

void AppDelegate::setUserPrompts(UserPrompts& prompts) {
  m_prompts = &prompts;
  m_watchFolder->setUserPrompts(prompts);
}

void AppDelegate::setWorkspace(Workspace& workspace) {
  m_workspace = &workspace;
  m_watchFolder->setWorkspace(workspace);
}

// --- The watch folder -----------------------------------------------------------

void AppDelegate::ShowWatchFolderPreferences() { m_watchFolder->OpenWatchFolderPreferences(); }

void AppDelegate::DoWatchFolderFilesManipulation(QObject* sender) {
  m_watchFolder->DoWatchFolderFilesManipulation(sender);
}

void AppDelegate::StartAutoWatchFolder() { m_watchFolder->StartAutoWatchFolder(); }

// --- Adding files -------------------------------------------------------------

void AppDelegate::AddFilesOrFolder() {
  OpenPanelRequest request;
  request.title = LocalizedString("OpenDialogTitle");
  request.prompt = LocalizedString("OpenDialogButton");
  request.canChooseFiles = true;
  request.canChooseDirectories = true;
  request.allowsMultipleSelection = true;
  request.allowedFileTypes = AcceptedTypes();
  request.accessoryView = mMaintainDirAccessoryView;
  QPointer<AppDelegate> self(this);
  m_prompts->BeginOpenPanelSheet(
      m_window, request, [self](int result, std::vector<std::filesystem::path> chosen) {
        if (self && result == 1) self->AddUrlsIntoImageListView(chosen);
      });
}

void AppDelegate::AddRecursiveCheckAction() {
  const bool on = mAddRecursiveCheckBoxButton->isChecked();
  mMaintainDirCheckBoxButton->setEnabled(on);
  QPalette palette = mMaintainDirEditBox->palette();
  const QPalette base = mMaintainDirAccessoryView->palette();
  palette.setColor(QPalette::WindowText,
                   base.color(on ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  mMaintainDirEditBox->setPalette(palette);
}

void AppDelegate::AddUrlsIntoImageListView(const std::vector<std::filesystem::path>& urls) {
  // The check boxes are read here, on the main thread, not by the run.
  const bool addRecursive = mAddRecursiveCheckBoxButton->isChecked();
  const bool maintainDirTree = addRecursive && mMaintainDirCheckBoxButton->isChecked();
  StartAddingRun(urls, maintainDirTree, addRecursive, std::nullopt);
}

void AppDelegate::applicationOpenFiles(const QStringList& paths) {
  DropRequest request;
  for (const QString& path : paths) {
    if (path.isEmpty()) continue;
    request.fileURLs.push_back(PathFromArgument(path));
  }
  AddUrlsIntoImageListViewViaOpenFiles(std::move(request));
}

void AppDelegate::AddUrlsIntoImageListViewViaOpenFiles(DropRequest request) {
  StartAddingRun(std::move(request.fileURLs), false, false, request.index);
}

void AppDelegate::StartAddingRun(std::vector<std::filesystem::path> urls, bool maintainDirTree,
                                 bool addRecursive, std::optional<std::int64_t> fromIndex) {
  ++m_pendingRuns;
  const std::uint64_t ticket = m_nextAddingTicket++;
  StartThread([this, urls = std::move(urls), maintainDirTree, addRecursive, fromIndex, ticket] {
    {
      // Threads do not take a lock in the order they were started.
      std::unique_lock turn(m_addingLock);
      while (m_servingAddingTicket != ticket && !m_quitting) {
        m_addingTurn.wait_for(turn, std::chrono::milliseconds(50));
      }
    }
    AddUrlsIntoImageListViewRun(urls, maintainDirTree, addRecursive, fromIndex);
    {
      std::lock_guard turn(m_addingLock);
      ++m_servingAddingTicket;
    }
    m_addingTurn.notify_all();
    if (--m_pendingRuns == 0 && !m_quitting) {
      QMetaObject::invokeMethod(this, [this] { Q_EMIT addingRunFinished(); },
                                Qt::QueuedConnection);
    }
  });
}

void AppDelegate::StartAddSpinning() {
  SetEnableDisableControlWhileConversion(kWorkStatusAdding);
  addSpinView->StartAddSpinning();
  Q_EMIT addingRunStarted();
}

void AppDelegate::StopAddSpinning() {
  addSpinView->StopAddSpinning();
  SetEnableDisableControlWhileConversion(kWorkStatusEnded);
  Q_EMIT addingRunStopped();
}

void AppDelegate::AddUrlsIntoImageListViewRun(const std::vector<std::filesystem::path>& urls,
                                              bool maintainDirTree, bool addRecursive,
                                              std::optional<std::int64_t> fromIndex) {
  std::lock_guard lock(m_addingLock);
  if (m_quitting) return;
  // Appending means the end of the list as this run finds it, so runs queued
  // behind one another keep their order.
  const std::size_t count = m_fileList.Count();
  std::size_t start = count;
  if (fromIndex && *fromIndex >= 0) start = std::min(static_cast<std::size_t>(*fromIndex), count);

  if (!RunOnMainAndWait([this] { StartAddSpinning(); })) return;

  std::size_t index = start;
  std::vector<FileListItemRef> block;
  block.reserve(kInsertBlockSize);
  auto lastFlush = std::chrono::steady_clock::now();
  const auto flush = [&] {
    if (block.empty()) return;
    index = m_fileList.Insert(index, block) + block.size();
    block.clear();
    lastFlush = std::chrono::steady_clock::now();
    PostRowsChanged();
  };
  ExpandUrlsIntoItems(
      urls, ExpansionOptions{maintainDirTree, addRecursive},
      [&](FileListItemRef item) {
        block.push_back(std::move(item));
        if (block.size() >= kInsertBlockSize ||
            std::chrono::steady_clock::now() - lastFlush >= kInsertBlockInterval)
          flush();
      },
      &m_quitting);
  flush();

  if (!RunOnMainAndWait([this] { StopAddSpinning(); })) return;
  if (index > start) {
    const auto first = static_cast<std::int64_t>(start);
    const auto added = static_cast<std::int64_t>(index - start);
    RunOnMainAndWait([this, first, added] {
      m_tableModel->reloadData();
      SelectRowStartingAtRow(first, added);
      ResetUIControls();
    });
  }
}

void AppDelegate::PostRowsChanged() {
  // One notice in flight at a time: the table catches up with whatever the
  // list holds when the notice arrives.
  if (m_rowNoticePending.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        m_rowNoticePending = false;
        m_tableModel->noteNumberOfRowsChanged();
      },
      Qt::QueuedConnection);
}

bool AppDelegate::RunOnMainAndWait(std::function<void()> fn) {
  if (QThread::currentThread() == thread()) {
    fn();
    return true;
  }
  if (m_quitting) return false;
  auto done = std::make_shared<bool>(false);
  QMetaObject::invokeMethod(
      this,
      [this, fn = std::move(fn), done] {
        fn();
        {
          std::lock_guard lock(m_mainCallMutex);
          *done = true;
        }
        m_mainCallDone.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(m_mainCallMutex);
  m_mainCallDone.wait(lock, [&] { return *done || m_quitting.load(); });
  return *done;
}

void AppDelegate::StartThread(std::function<void()> body) {
  JoinFinishedThreads();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(m_workersMutex);
  m_workers.push_back(Worker{std::thread([body = std::move(body), finished] {
                               body();
                               *finished = true;
                             }),
                             finished});
}

void AppDelegate::JoinFinishedThreads() {
  std::lock_guard lock(m_workersMutex);
  for (auto it = m_workers.begin(); it != m_workers.end();) {
    if (*it->finished) {
      it->thread.join();
      it = m_workers.erase(it);
    } else {
      ++it;
    }
  }
}
