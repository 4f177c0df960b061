#pragma once

#include "DragAndDropCommonFolderController.h"
#include "platform/BackgroundWork.h"
#include "watch/WatchService.h"
#include "watch/WatchSettingsStore.h"

#include <QDialog>
#include <QMetaType>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QWidget;
class UserPrompts;
class Workspace;

namespace Ui {
class WatchFolderSheet;
}

// The window side of the watch folder: a view over the settings store and
// the watch service. The sheet shows one folder of the list at a time in its
// three folder slots, the delete-or-move choice and the PDF settings; every
// change goes to the store, which reads and writes the files on a worker of
// its own, in order, so that a settings folder on a mount that hangs does not
// hang the window. Every folder, the first too, starts from what the store
// read, as the service's typed request. Widgets are touched on the main
// thread only.
class WatchFolderController : public QObject, public FolderDropDelegate {
  Q_OBJECT
 public:
  // The sheet opens on window. The settings are not read until
  // StartAutoWatchFolder.
  WatchFolderController(QWidget* window, UserPrompts& prompts, Workspace& workspace,
                        WatchSettingsStore store, QObject* parent = nullptr);
  // Stops watching without recording it, so that watching resumes at the
  // next launch; the file in hand is put back, to be taken then.
  ~WatchFolderController() override;

  // --- Outlets (owned by the sheet) -------------------------------------
  QDialog* preferencesDialogOutlet = nullptr;
  DragAndDropCommonFolderController* watchFolderSourcePathViewCntr = nullptr;
  DragAndDropCommonFolderController* watchFolderDestinationPathViewCntr = nullptr;
  DragAndDropCommonFolderController* watchFolderMoveFilesPathViewCntr = nullptr;
  QLineEdit* watchFolderSourcePathTextField = nullptr;
  QLineEdit* watchFolderDestinationPathTextField = nullptr;
  QLineEdit* watchFolderMoveFilesPathTextField = nullptr;
  QPushButton* selectSourceWatchFolderButtonOutlet = nullptr;
  QPushButton* selectDestinationWatchFolderButtonOutlet = nullptr;
  QPushButton* selectMoveFilesWatchFolderButtonOutlet = nullptr;
  QPushButton* openSourceWatchFolderButtonOutlet = nullptr;
  QPushButton* openDestinationWatchFolderButtonOutlet = nullptr;
  QPushButton* openMoveFilesWatchFolderButtonOutlet = nullptr;
  // Delete, move into the destination folder, move into the move-to folder.
  QButtonGroup* sourceFileDeletOrMoveMatrixOutlet = nullptr;
  QPushButton* watchButtonOutlet = nullptr;
  QCheckBox* watchCompressPDFFileButton = nullptr;
  // The PDF settings; item data are the presets' names.
  QComboBox* watchPdfPresetPopUp = nullptr;
  QLabel* watchStateLabel = nullptr;
  // Every watch folder: name (checked while on), source, destination, state.
  QTreeWidget* watchFoldersList = nullptr;
  QPushButton* addWatchFolderButton = nullptr;
  QPushButton* removeWatchFolderButton = nullptr;
  QPushButton* editWatchFolderButton = nullptr;
  // Newest first: time, file, result, reason. A double click reveals the file.
  QTreeWidget* watchActivityList = nullptr;
  QProgressBar* watchingSpinningProgressOutlet = nullptr;
  QPushButton* doneButton = nullptr;

  // --- State ----------------------------------------------------------------
  const std::optional<std::filesystem::path>& watchFolderSourceURL() const { return m_edited.source; }
  const std::optional<std::filesystem::path>& watchFolderDestinationURL() const {
    return m_edited.destination;
  }
  const std::optional<std::filesystem::path>& watchFolderMoveFilesURL() const { return m_edited.moveTo; }
  // The choice the sheet shows.
  SourceDisposal selectedDisposal() const;
  // The button of a choice in the group.
  QAbstractButton* disposalButton(SourceDisposal disposal) const;
  // No reading of the settings is under way (StartAutoWatchFolder). Until
  // they are read the sheet takes no change, so that none is lost to them.
  bool isLoaded() const { return !m_loading; }
  // Changes made are still being written.
  bool isSaving() const { return m_saving > 0; }
  bool isWatching() const { return m_Watching; }
  WatchService& service() { return m_service; }
  // The number of the folder the slots and choices below the list show.
  std::size_t editedFolder() const { return m_editing; }
  // Shows a folder of the list in the slots and choices, to be changed,
  // started or stopped there.
  void EditFolder(std::size_t number);
  // The state of a folder of the list.
  WatchFolderState stateOf(std::size_t number);
  PdfPreset selectedPreset() const;
  // What is said when a file fails while the window is not in front; the
  // desktop's notification service unless replaced (tests do).
  void setFailureNotifier(std::function<void(const QString& title, const QString& body)> notify) {
    m_notifyFailure = std::move(notify);
  }
  bool isSpinning() const { return m_spinning; }
  const WatchSettingsStore& store() const { return m_store; }
  // The window may put other prompts or another workspace in place later
  // (tests do); they are used from then on.
  void setUserPrompts(UserPrompts& prompts) { m_prompts = &prompts; }
  void setWorkspace(Workspace& workspace) { m_workspace = &workspace; }

  // --- Folders ----------------------------------------------------------------
  // Set a slot from a folder and store it.
  void SetWatchFolderSourceURL(const std::filesystem::path& folder);
  void SetWatchFolderDestinationURL(const std::filesystem::path& folder);
  void SetWatchFolderMoveToDestinationURL(const std::filesystem::path& folder);

  // A folder dropped on a box: 0 source, 1 destination, 2 move-to; any other
  // box type sets nothing.
  void WatchFolderPathChangeAction(const std::filesystem::path& folder,
                                   std::int32_t boxType) override;
  // Drops are refused while watching.
  bool allowDragAndDrop() const override { return !m_Watching && !m_loading; }

  // Flips the watching state: locks or unlocks the controls, sets the watch
  // button's title and the spinner, stores whether the folder is on.
  void EnableDisableForWatching();

 public Q_SLOTS:
  // Shows the sheet, window-modal, on the window.
  void OpenWatchFolderPreferences();
  // Closes the sheet. Nothing is saved: every change was stored when made.
  void DoneButtonAction();

  // Open panels (as sheets on the settings sheet) for the folders.
  void SelectWatchSourceFolder();
  void SelectWatchDestinationFolder();
  void SelectWatchMoveFilesFolder();

  // Open a set folder in the file browser.
  void OpenWatchSourceFolder();
  void OpenWatchDestinationFolder();
  void OpenWatchMoveFilesFolder();

  // The choice changed (sender given: stored) or is applied at start (no
  // sender: nothing stored).
  void DoWatchFolderFilesManipulation(QObject* sender);
  // The watch button is enabled exactly when source and destination are
  // shown and, for choice 3, the move-to folder too.
  void EnableDisableWatchFolderControl();
  // Reads the settings at launch (off the main thread) and then resumes
  // every folder that was on; settingsLoaded follows.
  void StartAutoWatchFolder();
  // The watch button: starts watching if idle (after the folder checks),
  // stops if watching.
  void DoFolderWatch(QObject* sender);

 Q_SIGNALS:
  // Whether any watch folder is watching, when that changes.
  void watchingChanged(bool watching);
  // Each event of the watch service, on the main thread.
  void watchEvent(const WatchEvent& event);
  // The settings were read and the folders that were on started.
  void settingsLoaded();

 private:
  enum class Slot { Source = 0, Destination = 1, MoveTo = 2 };
  struct SlotParts {
    std::optional<std::filesystem::path>* path;
    std::optional<std::vector<char>>* bookmark;
    QLineEdit* field;
  };
  SlotParts Parts(Slot slot);

  void SetSlotURL(Slot slot, const std::filesystem::path& folder);
  void ShowPath(Slot slot, const std::filesystem::path& folder);
  void ShowEdited();
  // Forgets a further folder being added that never got both its folders.
  void DropUnfinished();
  void SelectFolder(Slot slot);
  void OpenFolder(Slot slot);
  bool StartWatching();
  void StopWatching();
  void RefuseWatching(const char* key);
  void ShowEvent(const WatchEvent& event);
  void ShowState();
  void PresetChosen();
  void CompressChosen();
  void RefreshFolderList();
  void AddFolder();
  void RemoveFolder();
  void FolderChecked(QTreeWidgetItem* item);
  void ApplyLocks();
  // Says whether any folder is watching, when that changed.
  void NotifyWatching();
  void Loaded(const WatchSettingsSnapshot& settings);
  // The service's number for a folder of the list (made when it has none).
  int IdOf(std::size_t number);
  // Stores a source folder that was found again with the folder that has
  // it now, whatever its place in the list.
  std::function<void(const std::vector<char>&)> SourceFoundAgain(int id);
  // The edited folder changed: kept in the list and stored.
  void StoreEdited();
  // Runs a change of the files on the store's worker, after those before it.
  void Save(std::function<void(const WatchSettingsStore&)> write);

  QWidget* m_window;
  UserPrompts* m_prompts;
  Workspace* m_workspace;
  const WatchSettingsStore m_store;
  QPointer<QDialog> m_sheet;
  std::unique_ptr<Ui::WatchFolderSheet> m_ui;

  // The folders as the store holds them (or soon will), by number, and the
  // one the sheet shows.
  std::vector<std::optional<WatchFolderEntry>> m_folders;
  std::size_t m_editing = 0;
  WatchFolderEntry m_edited;
  bool m_loading = false;
  int m_saving = 0;
  // By the service's number.
  std::map<int, int> m_failures;
  // The service's number of each folder of the list, by its place: a folder
  // keeps its number while those before it are taken out.
  std::vector<int> m_ids;
  int m_nextId = 0;

  bool m_Watching = false;
  bool m_spinning = false;
  bool m_otherWatcher = false;
  bool m_anyWatching = false;
  WatchService m_service;
  std::function<void(const QString&, const QString&)> m_notifyFailure;
  // Last: their replies reach everything above until they are shut down.
  // Typed folders are looked at apart from the settings' writes, so that a
  // mount that does not answer holds up no write.
  BackgroundTasks m_checks;
  BackgroundTasks m_io;
};
