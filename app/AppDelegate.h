#pragma once

#include "app/CommandEnabling.h"
#include "conversion/BatchExport.h"
#include "filelist/DropRequest.h"
#include "filelist/FileList.h"

#include <QMap>
#include <QObject>
#include <QStringList>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

class AddingQueue;
class BackgroundTasks;
class BatchPresenter;
class FileListTableModel;
class MacAppStoreRating;
class MainWindow;
class QAction;
class QMainWindow;
class QMimeData;
class QUrl;
class UserPrompts;
class WatchFolderController;
class Workspace;

// The application controller: owns the file list, the adding queue, the
// batch presenter, the watch folder and the store rating, and wires them to
// the main window's commands. It reaches the window only through
// MainWindow's own interface: its actions, signals and questions.
class AppDelegate : public QObject {
  Q_OBJECT
 public:
  explicit AppDelegate(QObject* parent = nullptr);
  ~AppDelegate() override;

  // --- Access for the other subsystems and for tests --------------------
  QMainWindow* window() const;
  MainWindow* mainWindow() const { return m_window; }
  FileList& fileList() { return m_fileList; }
  FileListTableModel* tableModel() const { return m_tableModel; }
  UserPrompts& userPrompts() const { return *m_prompts; }
  void setUserPrompts(UserPrompts& prompts);
  Workspace& workspace() const { return *m_workspace; }
  void setWorkspace(Workspace& workspace);
  WatchFolderController& watchFolder() const { return *m_watchFolder; }
  MacAppStoreRating* storeRating() const { return rateApplicationObject.get(); }
  bool isWatching() const { return m_Watching; }
  void setWatching(bool watching) { m_Watching = watching; }
  bool isMainWindowClosing() const { return m_mainWindowClosing; }
  const CommandStates& commandStates() const { return m_commandStates; }
  // True from an adding request until its run has ended.
  bool isAdding() const;
  // The one batch of conversions (Convert, Convert All, a drag out).
  BatchExport& batchExport();
  BatchPresenter& batchPresenter() const { return *m_batchPresenter; }
  bool isConversionCancelled() const;
  // The menu items that stand for a list command, and which one.
  ListCommand CommandOfMenuItem(const QAction* item) const;
  bool validateMenuItem(const QAction* item) const;

  // --- Application and window lifecycle ---------------------------------
  void applicationDidFinishLaunching();
  // Files handed over by the desktop shell, at launch or later; the paths
  // are byte-exact, relative ones taken from the current folder.
  void applicationOpenFiles(const std::vector<std::filesystem::path>& paths);
  void applicationOpenFiles(const QStringList& paths);
  bool windowShouldClose();
  static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
  // 1 to terminate now, 0 to cancel.
  int applicationShouldTerminate();
  void applicationWillTerminate() {}

  // --- Command enabling ---------------------------------------------------
  void SetEnabledDisabledExportItems(bool working, int status);
  void SetEnabledDisabledRemoveOrRemoveAllItems(bool working);
  void InitialiseUIControls();
  void ResetUIControls();
  void SetEnableDisableControlWhileConversion(int status);

  // --- The file list --------------------------------------------------------
  void InitSortingInfo();
  int sortingState(const QString& identifier) const { return m_sortingInfo.value(identifier, 0); }
  void tableViewMouseDownInHeaderOfTableColumn(int column);
  // The items, shared with the list, in ascending row order; empty when none.
  std::vector<FileListItemRef> GetSelectedItems() const;
  std::vector<FileListItemRef> GetAllItems() const;
  std::vector<FileListItemRef> GetItemsForIndexSet(const std::vector<std::int64_t>& rows) const;
  std::optional<std::filesystem::path> GetPathAtIndexImageList(std::int64_t row) const;
  std::vector<std::int64_t> SelectedRows() const;
  void SelectRowStartingAtRow(std::int64_t row, std::int64_t count);

  // Queues an adding run for the files chosen in the Add panel, with the
  // panel's two options.
  void AddUrlsIntoImageListView(const std::vector<std::filesystem::path>& urls);
  // Queues an adding run for a drop or an open request: no recursion, no
  // folder tree.
  void AddUrlsIntoImageListViewViaOpenFiles(DropRequest request);
  void StartAddingRun(std::vector<std::filesystem::path> urls, bool maintainDirTree,
                      bool addRecursive, std::optional<std::int64_t> fromIndex);

  // Dropped files, inserted from row; answered before any is added.
  bool acceptDrop(std::vector<std::filesystem::path> paths, std::int64_t row);
  // The dragged rows' data: promised PDFs, converted where they are dropped.
  QMimeData* writeRowsWithIndexes(const std::vector<std::int64_t>& rows);
  // The drop target named destination: items are converted there by the
  // batch. The promised names, in order; empty when the batch was refused.
  std::vector<std::filesystem::path> namesOfPromisedFilesDroppedAtDestination(
      const std::filesystem::path& destination, const std::vector<FileListItemRef>& items);

  void StartAddSpinning();
  void StopAddSpinning();

 public Q_SLOTS:
  void AddFilesOrFolder();
  void SelectAll();
  void Remove();
  void RemoveAll();
  // A double click or Enter on a row: opens its PDF once converted,
  // otherwise shows the file in the file manager.
  void ImageListViewDoubleClick();
  // Shows the selected file in the file manager.
  void RevealInFinder();
  void ContactSupportAction();
  void UserManualHelpAction();
  void RateApplicationAction();
  // A quit request (Quit command, or the window closed).
  void RequestTerminate();

  // Convert the selected items, or all of them, into a folder the user
  // chooses. Refused while a batch is pending or running.
  void Export();
  void ExportAll();
  // The progress sheet's cancel button.
  void cancelConversion();
  // The watch folder's settings sheet.
  void ShowWatchFolderPreferences();
  // The delete-or-move choice changed (sender null: prepare the controls).
  void DoWatchFolderFilesManipulation(QObject* sender);
  // Loads the watch folder settings at start-up and resumes watching.
  void StartAutoWatchFolder();

 Q_SIGNALS:
  void applicationDidFinishLaunchingNotification();
  // The quit request was granted: the program's loop should end.
  void terminateApproved();
  // The overlay of an adding run went up, and came down again.
  void addingRunStarted();
  void addingRunStopped();
  // Every requested adding run has ended (after its selection and command
  // reset).
  void addingRunFinished();

 private:
  void awakeFromNib();
  void SetUpTable();
  void ConnectCommands();
  void ApplyCommandStates();
  void UpdateMenuItems();
  int RunQuitAlert();
  void AddingRunStarted(std::int64_t start);
  void AddingRunFinished(std::int64_t first, std::int64_t added);
  void ExportItems(std::vector<FileListItemRef> items, const QString& chooserTitle);
  // The desktop could not open url: say so in the window, or open the
  // store's web page when the store link had no program.
  void DesktopCouldNotOpen(const QUrl& url);

  MainWindow* m_window = nullptr;
  FileList m_fileList;
  FileListTableModel* m_tableModel = nullptr;
  QMap<QString, int> m_sortingInfo;
  CommandStates m_commandStates;
  UserPrompts* m_prompts;
  Workspace* m_workspace;
  // Looks at the folders that drop targets name; shared with the drags' data,
  // which may outlive this controller.
  std::shared_ptr<BackgroundTasks> m_dropFolderLooks;
  std::unique_ptr<MacAppStoreRating> rateApplicationObject;
  std::unique_ptr<WatchFolderController> m_watchFolder;

  bool m_Watching = false;
  bool m_mainWindowClosing = false;
  // The quit was granted: closing the window on the way out asks nothing.
  bool m_terminating = false;

  std::unique_ptr<BatchPresenter> m_batchPresenter;
  // Last: its thread inserts into the list until it is shut down.
  AddingQueue* m_adding = nullptr;
};
