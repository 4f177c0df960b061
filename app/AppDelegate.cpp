#include "app/AppDelegate.h"

#include "app/ApplicationResources.h"
#include "app/BatchPresenter.h"
#include "app/MainWindow.h"
#include "app/ExportProgressSheet.h"
#include "filelist/AddingQueue.h"
#include "filelist/FileListTableModel.h"
#include "filelist/PostScriptFileTest.h"
#include "platform/BackgroundWork.h"
#include "platform/DirectSaveDrag.h"
#include "platform/LocalizedString.h"
#include "platform/PromisedFileName.h"
#include "platform/QtUserPrompts.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"
#include "rating/MacAppStoreRating.h"
#include "watch/WatchFolderController.h"
#include "watch/WatchSettingsStore.h"

#include "BMTUtil.h"

#include <QAction>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <limits>

namespace {

constexpr std::int64_t kNotFound = std::numeric_limits<std::int64_t>::max();

QStringList AcceptedTypes() {
  QStringList types;
  for (std::string_view type : kAcceptedTypes)
    types << QString::fromLatin1(type.data(), static_cast<qsizetype>(type.size()));
  return types;
}

// A path as the user can type it again.
QString AddressForPeople(const QUrl& url) {
  if (url.isLocalFile()) {
    const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return QFile::decodeName(bytes);
  }
  return url.toString();
}

}  // namespace

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent),
      m_prompts(&QtUserPrompts::Shared()),
      m_workspace(&DesktopWorkspace::Shared()),
      m_dropFolderLooks(std::make_shared<BackgroundTasks>()) {
  InstallStringTable();
  m_window = new MainWindow;

  m_batchPresenter = std::make_unique<BatchPresenter>(m_window, *m_prompts, *m_workspace);
  m_batchPresenter->setSettingsSource([this] {
    return BatchPresenter::Settings{m_window->compressChosen(), m_window->chosenPreset()};
  });

  m_adding = new AddingQueue(m_fileList, this);
  connect(m_adding, &AddingQueue::runStarted, this, &AppDelegate::AddingRunStarted);
  connect(m_adding, &AddingQueue::runFinished, this, &AppDelegate::AddingRunFinished);
  connect(m_adding, &AddingQueue::idle, this, &AppDelegate::addingRunFinished);
  connect(m_adding, &AddingQueue::linksSkipped, this, [this](const QStringList& first, qint64 count) {
    QStringList names;
    for (const QString& name : first) {
      names << QString::fromStdString(BMTUtil::EscapedForDisplay(name.toStdString(), 200));
    }
    m_window->ShowMessage(count == 1 ? LocalizedString("LinkNotFollowed").arg(names.front())
                                     : LocalizedString("LinksNotFollowed")
                                           .arg(QLocale().toString(count), names.join(u", ")));
  });
  connect(m_window, &MainWindow::addingCancelRequested, m_adding, &AddingQueue::CancelCurrentRun);
  connect(m_adding, &AddingQueue::filesFound, this, [this](qint64 count) {
    m_window->setAddingText(LocalizedString("AddingFilesCount").arg(QLocale().toString(count)));
  });

  SetUpTable();
  connect(m_adding, &AddingQueue::rowsInserted, m_tableModel,
          &FileListTableModel::noteNumberOfRowsChanged);
  connect(m_batchPresenter.get(), &BatchPresenter::statusChanged, m_tableModel,
          &FileListTableModel::noteStatusChanged);
  connect(m_batchPresenter.get(), &BatchPresenter::busyChanged, this,
          &AppDelegate::ApplyCommandStates);
  connect(m_batchPresenter.get(), &BatchPresenter::notice, m_window, &MainWindow::ShowMessage);
  ConnectCommands();

  m_watchFolder = std::make_unique<WatchFolderController>(m_window, *m_prompts, *m_workspace,
                                                          WatchSettingsStore());
  connect(m_watchFolder.get(), &WatchFolderController::watchingChanged, this,
          [this](bool watching) { m_Watching = watching; });
  m_workspace->setFailureHandler([this](const QUrl& url) { DesktopCouldNotOpen(url); });

  m_window->setCloseRequestHandler([this] { return windowShouldClose(); });
  connect(m_window, &MainWindow::closed, this, [this] {
    // Closing the last window quits the application, once the close has
    // been handled (a deferral on the main thread, not work leaving it).
    if (applicationShouldTerminateAfterLastWindowClosed())
      QTimer::singleShot(0, this, &AppDelegate::RequestTerminate);
  });
  awakeFromNib();
  // Launching has finished once the main loop runs (a deferral on the main
  // thread, not work leaving it).
  QTimer::singleShot(0, this, &AppDelegate::applicationDidFinishLaunching);
}

AppDelegate::~AppDelegate() {
  // Adding stops at its next file, the converter in hand is stopped and its
  // output discarded: nothing waits for the main thread any more, and no
  // partial PDF is left behind.
  m_adding->Shutdown();
  m_batchPresenter->Shutdown();
  m_workspace->setFailureHandler({});
  // Finishes the file in hand; watching resumes at the next launch.
  m_watchFolder.reset();
  m_batchPresenter.reset();
  delete m_window;
}

QMainWindow* AppDelegate::window() const { return m_window; }

bool AppDelegate::isAdding() const { return m_adding->isBusy(); }

BatchExport& AppDelegate::batchExport() { return m_batchPresenter->batch(); }

bool AppDelegate::isConversionCancelled() const {
  return m_batchPresenter->batch().isConversionCancelled();
}

void AppDelegate::ConnectCommands() {
  const MainWindow::Commands& commands = m_window->commands();
  connect(commands.add, &QAction::triggered, this, &AppDelegate::AddFilesOrFolder);
  connect(commands.convert, &QAction::triggered, this, &AppDelegate::Export);
  connect(commands.convertAll, &QAction::triggered, this, &AppDelegate::ExportAll);
  connect(commands.selectAll, &QAction::triggered, this, &AppDelegate::SelectAll);
  connect(commands.remove, &QAction::triggered, this, &AppDelegate::Remove);
  connect(commands.removeAll, &QAction::triggered, this, &AppDelegate::RemoveAll);
  connect(commands.reveal, &QAction::triggered, this, &AppDelegate::RevealInFinder);
  connect(commands.quit, &QAction::triggered, this, &AppDelegate::RequestTerminate);
  connect(commands.watchFolder, &QAction::triggered, this,
          &AppDelegate::ShowWatchFolderPreferences);
  connect(commands.manual, &QAction::triggered, this, &AppDelegate::UserManualHelpAction);
  connect(commands.support, &QAction::triggered, this, &AppDelegate::ContactSupportAction);
  connect(commands.rate, &QAction::triggered, this, &AppDelegate::RateApplicationAction);
  connect(m_window, &MainWindow::commandsAboutToShow, this, &AppDelegate::UpdateMenuItems);
  connect(m_window, &MainWindow::selectionChanged, this, &AppDelegate::UpdateMenuItems);
  connect(m_window, &MainWindow::rowActivated, this, &AppDelegate::ImageListViewDoubleClick);
  connect(m_window, &MainWindow::headerClicked, this, &AppDelegate::tableViewMouseDownInHeaderOfTableColumn);
}

void AppDelegate::SetUpTable() {
  m_tableModel = new FileListTableModel(m_fileList, this);
  m_tableModel->setStatusBoard(&m_batchPresenter->statusBoard());
  m_window->setFileListModel(m_tableModel);
  m_tableModel->setDropHandler([this](std::vector<std::filesystem::path> paths, std::int64_t row) {
    return acceptDrop(std::move(paths), row);
  });
  m_tableModel->setDragDataFactory(
      [this](const std::vector<std::int64_t>& rows) { return writeRowsWithIndexes(rows); });
}

void AppDelegate::awakeFromNib() {
  InitialiseUIControls();
  if (!rateApplicationObject) {
    // Read at call time, so that a workspace set later is the one used.
    rateApplicationObject = std::make_unique<MacAppStoreRating>(
        [this](const QUrl& url) { return m_workspace->OpenURL(url); });
    connect(this, &AppDelegate::applicationDidFinishLaunchingNotification,
            rateApplicationObject.get(), &MacAppStoreRating::applicationLaunched);
  }
  InitSortingInfo();
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

int AppDelegate::RunQuitAlert() {
  AlertRequest request;
  request.kind = AlertRequest::Kind::Question;
  request.title = LocalizedString("QuitOnCloseTitle");
  request.message = LocalizedString("QuitOnCloseMessage");
  request.defaultButton = LocalizedString("QuitButtonString");
  request.alternateButton = LocalizedString("NoButtonTitle");
  request.escapeAnswer = 0;
  return m_prompts->RunAlert(m_window, request);
}

bool AppDelegate::windowShouldClose() {
  // The quit was granted already: the window closes on the way out.
  if (m_terminating) return true;
  m_mainWindowClosing = true;
  if (!m_Watching) return true;
  if (RunQuitAlert() == 0) {
    m_mainWindowClosing = false;
    return false;
  }
  return true;
}

int AppDelegate::applicationShouldTerminate() {
  if (m_terminating) return 1;
  if (m_Watching && !m_mainWindowClosing) return RunQuitAlert() == 1 ? 1 : 0;
  return 1;
}

void AppDelegate::RequestTerminate() {
  if (applicationShouldTerminate() != 1) return;
  m_terminating = true;
  applicationWillTerminate();
  Q_EMIT terminateApproved();
}

// --- Command enabling -------------------------------------------------------

ListCommand AppDelegate::CommandOfMenuItem(const QAction* item) const {
  const MainWindow::Commands& commands = m_window->commands();
  if (item == nullptr) return ListCommand::Other;
  if (item == commands.add) return ListCommand::AddImage;
  if (item == commands.convert) return ListCommand::Export;
  if (item == commands.convertAll) return ListCommand::ExportAll;
  if (item == commands.selectAll) return ListCommand::SelectAll;
  if (item == commands.remove) return ListCommand::Remove;
  if (item == commands.removeAll) return ListCommand::RemoveAll;
  if (item == commands.reveal) return ListCommand::RevealInFinder;
  return ListCommand::Other;
}

bool AppDelegate::validateMenuItem(const QAction* item) const {
  const ListCommand command = CommandOfMenuItem(item);
  // Only "exactly one" matters for Reveal.
  const int selected = command == ListCommand::RevealInFinder ? m_window->selectedRowCount(2) : 0;
  // One batch at a time: while one is pending or running, Convert waits.
  if ((command == ListCommand::Export || command == ListCommand::ExportAll) &&
      m_batchPresenter->batch().isBusy())
    return false;
  return MenuItemEnabled(command, m_commandStates, selected);
}

void AppDelegate::UpdateMenuItems() {
  // One action per command: setting it sets the menus, the context menu,
  // the toolbar button and the window's button alike.
  const MainWindow::Commands& commands = m_window->commands();
  for (QAction* item : {commands.add, commands.convert, commands.convertAll, commands.selectAll,
                        commands.remove, commands.removeAll, commands.reveal})
    item->setEnabled(validateMenuItem(item));
}

void AppDelegate::ApplyCommandStates() { UpdateMenuItems(); }

void AppDelegate::SetEnabledDisabledExportItems(bool working, int status) {
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
  if (ExportProgressSheet* sheet = m_batchPresenter->sheet()) sheet->ClearStatus();
  m_commandStates.exportEnabled = ExportItemsEnabled(true, status, m_fileList.Count());
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
  // Rows being added are not reordered under the adding run.
  if (isAdding()) return;
  const int state = m_sortingInfo.value(identifier, 0);
  const bool ascending = state == 0 || state == 2;
  m_fileList.SortByPath(ascending);
  m_tableModel->reloadData();
  m_sortingInfo.insert(identifier, ascending ? 1 : 2);
}

std::vector<std::int64_t> AppDelegate::SelectedRows() const { return m_window->selectedRows(); }

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
  m_window->selectRows(start, std::min(rows - 1, start + count - 1));
}

void AppDelegate::SelectAll() {
  m_window->selectAllRows();
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
  if (const std::int64_t current = m_window->currentRow(); current >= 0) {
    const FileListItemRef item = m_fileList.ItemAt(current);
    const ItemStatusBoard::Status& status =
        m_batchPresenter->statusBoard().StatusOf(item.get());
    if (item && status.state == ItemStatusBoard::State::Converted) {
      m_workspace->OpenURL(FileUrlForPath(status.pdf));
      return;
    }
  }
  RevealInFinder();
}

void AppDelegate::RevealInFinder() {
  const std::vector<std::int64_t> rows = SelectedRows();
  if (rows.empty()) return;
  std::int64_t row = rows.back();
  const std::int64_t current = m_window->currentRow();
  if (current >= 0 && std::binary_search(rows.begin(), rows.end(), current)) row = current;
  const std::optional<std::filesystem::path> path = GetPathAtIndexImageList(row);
  if (!path) return;
  m_workspace->SelectFile(*path);
}

// --- Drag and drop ------------------------------------------------------------

bool AppDelegate::acceptDrop(std::vector<std::filesystem::path> paths, std::int64_t row) {
  if (paths.empty()) return false;
  // Adding runs in the background, after any run already queued; the drop
  // is answered at once.
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
      promised,
      [self, items = std::move(items)](const std::filesystem::path& folder) {
        return self && !self->namesOfPromisedFilesDroppedAtDestination(folder, items).empty();
      },
      m_dropFolderLooks);
}

std::vector<std::filesystem::path> AppDelegate::namesOfPromisedFilesDroppedAtDestination(
    const std::filesystem::path& destination, const std::vector<FileListItemRef>& items) {
  if (items.empty()) return {};
  // A batch already running keeps its items and destination: this one is
  // refused, and the target is told nothing was saved.
  if (!m_batchPresenter->ConvertItemsInto(items, destination)) return {};
  std::vector<std::filesystem::path> names;
  names.reserve(items.size());
  for (const FileListItemRef& item : items) names.push_back(PromisedFileName(item->filePath()));
  return names;
}

// --- Small actions ------------------------------------------------------------

void AppDelegate::ContactSupportAction() {
  const QUrl url(QString::fromLatin1(kSupportPageAddress), QUrl::StrictMode);
  if (url.isValid()) m_workspace->OpenURL(url);
  else DesktopCouldNotOpen(url);
}

void AppDelegate::UserManualHelpAction() {
  if (const auto manual = UserManualPath()) {
    m_workspace->OpenURL(FileUrlForPath(*manual));
    return;
  }
  m_window->ShowMessage(LocalizedString("UserManualMissing"));
}

void AppDelegate::RateApplicationAction() {
  if (!rateApplicationObject) return;
  // After the menu's action has returned, on the main thread.
  QMetaObject::invokeMethod(rateApplicationObject.get(), &MacAppStoreRating::RateApplicationAction,
                            Qt::QueuedConnection);
}

void AppDelegate::DesktopCouldNotOpen(const QUrl& url) {
  // No program takes the store's own links on most desktops: its web page
  // for the same application does as well.
  if (rateApplicationObject && url == rateApplicationObject->ratingsURL()) {
    m_workspace->OpenURL(rateApplicationObject->storePageURL());
    return;
  }
  m_window->ShowMessage(LocalizedString("CannotOpenMessage").arg(AddressForPeople(url)));
}

// --- Converting ---------------------------------------------------------------

void AppDelegate::Export() { ExportItems(GetSelectedItems(), LocalizedString("ConvertChooserTitle")); }

void AppDelegate::ExportAll() {
  ExportItems(GetAllItems(), LocalizedString("ConvertAllChooserTitle"));
}

void AppDelegate::ExportItems(std::vector<FileListItemRef> items, const QString& chooserTitle) {
  m_batchPresenter->ConvertItems(std::move(items), chooserTitle);
}

void AppDelegate::cancelConversion() { m_batchPresenter->Cancel(); }

void AppDelegate::setUserPrompts(UserPrompts& prompts) {
  m_prompts = &prompts;
  m_batchPresenter->setUserPrompts(prompts);
  m_watchFolder->setUserPrompts(prompts);
}

void AppDelegate::setWorkspace(Workspace& workspace) {
  m_workspace->setFailureHandler({});
  m_workspace = &workspace;
  m_workspace->setFailureHandler([this](const QUrl& url) { DesktopCouldNotOpen(url); });
  m_batchPresenter->setWorkspace(workspace);
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
  request.accessoryView = m_window->addPanelAccessory();
  QPointer<AppDelegate> self(this);
  m_prompts->BeginOpenPanelSheet(
      m_window, request, [self](int result, std::vector<std::filesystem::path> chosen) {
        if (self && result == 1) self->AddUrlsIntoImageListView(chosen);
      });
}

void AppDelegate::AddUrlsIntoImageListView(const std::vector<std::filesystem::path>& urls) {
  // The check boxes are read here, on the main thread, not by the run.
  StartAddingRun(urls, m_window->keepTreeChosen(), m_window->addRecursiveChosen(), std::nullopt);
}

void AppDelegate::applicationOpenFiles(const std::vector<std::filesystem::path>& paths) {
  DropRequest request;
  std::filesystem::path current;
  for (const std::filesystem::path& path : paths) {
    if (path.empty()) continue;
    if (path.is_absolute()) {
      request.fileURLs.push_back(path.lexically_normal());
      continue;
    }
    if (current.empty()) {
      std::error_code ec;
      current = std::filesystem::current_path(ec);
    }
    request.fileURLs.push_back((current / path).lexically_normal());
  }
  AddUrlsIntoImageListViewViaOpenFiles(std::move(request));
}

void AppDelegate::applicationOpenFiles(const QStringList& paths) {
  std::vector<std::filesystem::path> bytes;
  for (const QString& path : paths) bytes.emplace_back(QFile::encodeName(path).toStdString());
  applicationOpenFiles(bytes);
}

void AppDelegate::AddUrlsIntoImageListViewViaOpenFiles(DropRequest request) {
  StartAddingRun(std::move(request.fileURLs), false, false, request.index);
}

void AppDelegate::StartAddingRun(std::vector<std::filesystem::path> urls, bool maintainDirTree,
                                 bool addRecursive, std::optional<std::int64_t> fromIndex) {
  m_adding->Enqueue(AddingQueue::Request{std::move(urls),
                                         ExpansionOptions{maintainDirTree, addRecursive},
                                         fromIndex});
}

void AppDelegate::StartAddSpinning() {
  SetEnableDisableControlWhileConversion(kWorkStatusAdding);
  m_window->ShowAddingOverlay(LocalizedString("AddingFilesMessage"));
  Q_EMIT addingRunStarted();
}

void AppDelegate::StopAddSpinning() {
  m_window->HideAddingOverlay();
  SetEnableDisableControlWhileConversion(kWorkStatusEnded);
  Q_EMIT addingRunStopped();
}

void AppDelegate::AddingRunStarted(std::int64_t) { StartAddSpinning(); }

void AppDelegate::AddingRunFinished(std::int64_t first, std::int64_t added) {
  StopAddSpinning();
  if (added <= 0) return;
  m_tableModel->reloadData();
  SelectRowStartingAtRow(first, added);
  ResetUIControls();
}
