#pragma once

#include "DragAndDropCommonFolderController.h"
#include "watch/WatchFolderSettings.h"
#include "watch/WatchService.h"

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

// The window side of the watch folder: the settings sheet with its three
// folders, the delete-or-move choice and the PDF settings, the settings file
// kept up to date at every change, and the activity of the watch service,
// which it asks to start and stop (the service checks and runs). Everything
// here runs on the main thread.
class WatchFolderController : public QObject, public FolderDropDelegate {
  Q_OBJECT
 public:
  // The sheet opens on window. The settings file is not read until
  // StartAutoWatchFolder.
  WatchFolderController(QWidget* window, UserPrompts& prompts, Workspace& workspace,
                        WatchFolderSettings settings, QObject* parent = nullptr);
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
  // Ids are the choice's tags: 1 delete, 2 move into the destination folder,
  // 3 move into the move-to folder.
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
  const std::optional<std::filesystem::path>& watchFolderSourceURL() const { return m_sourceURL; }
  const std::optional<std::filesystem::path>& watchFolderDestinationURL() const {
    return m_destinationURL;
  }
  const std::optional<std::filesystem::path>& watchFolderMoveFilesURL() const {
    return m_moveFilesURL;
  }
  // The tag of the selected choice.
  int selectedTag() const;
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
  const WatchFolderSettings& settings() const { return m_settings; }
  // The window may put other prompts or another workspace in place later
  // (tests do); they are used from then on.
  void setUserPrompts(UserPrompts& prompts) { m_prompts = &prompts; }
  void setWorkspace(Workspace& workspace) { m_workspace = &workspace; }

  // --- Folders ----------------------------------------------------------------
  // Set a slot from a folder and store its bookmark.
  void SetWatchFolderSourceURL(const std::filesystem::path& folder);
  void SetWatchFolderDestinationURL(const std::filesystem::path& folder);
  void SetWatchFolderMoveToDestinationURL(const std::filesystem::path& folder);
  // Set a slot by resolving a stored bookmark; nothing is stored. A bookmark
  // that does not resolve leaves the slot unset and the field as it was.
  void SetWatchFolderSourceURLData(const std::vector<char>& bookmark);
  void SetWatchFolderDestinationURLData(const std::vector<char>& bookmark);
  void SetWatchFolderMoveToDestinationURLData(const std::vector<char>& bookmark);

  // A folder dropped on a box: 0 source, 1 destination, 2 move-to; any other
  // box type sets nothing.
  void WatchFolderPathChangeAction(const std::filesystem::path& folder,
                                   std::int32_t boxType) override;
  // Drops are refused while watching.
  bool allowDragAndDrop() const override { return !m_Watching; }

  // Stores one key in the settings file (read, change, write back whole).
  using PreferenceValue = std::variant<std::vector<char>, std::int64_t, bool>;
  bool WriteWatchFolderPreferences(const PreferenceValue& value, const char* key);

  // Flips the watching state: locks or unlocks the controls, sets the watch
  // button's title and the spinner, stores "IsWatching".
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
  // Loads the settings file at launch and resumes watching when it was on.
  void StartAutoWatchFolder();
  // The watch button: starts watching if idle (after the folder checks),
  // stops if watching.
  void DoFolderWatch(QObject* sender);

 Q_SIGNALS:
  // Whether any watch folder is watching, when that changes.
  void watchingChanged(bool watching);
  // Each event of the watch service, on the main thread.
  void watchEvent(const WatchEvent& event);

 private:
  enum class Slot { Source = 0, Destination = 1, MoveTo = 2 };
  struct SlotParts {
    std::optional<std::filesystem::path>* url;
    QLineEdit* field;
    const char* key;
  };
  SlotParts Parts(Slot slot);

  void SetSlotURL(Slot slot, const std::filesystem::path& folder);
  void SetSlotURLData(Slot slot, const std::vector<char>& bookmark);
  void ShowPath(Slot slot, const std::filesystem::path& folder);
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
  void ResumeOtherFolders();
  // The service's number for a folder of the list (made when it has none).
  int IdOf(std::size_t number);
  // Stores a source folder that was found again with the folder that has
  // it now, whatever its place in the list.
  std::function<void(const std::vector<char>&)> SourceFoundAgain(int id);
  // The folder being edited as it is stored (or about to be).
  StoredWatchFolder EditedEntry() const;
  void StoreEditedEntry(const StoredWatchFolder& entry);

  QWidget* m_window;
  UserPrompts* m_prompts;
  Workspace* m_workspace;
  const WatchFolderSettings m_settings;
  QPointer<QDialog> m_sheet;
  std::unique_ptr<Ui::WatchFolderSheet> m_ui;

  std::optional<std::filesystem::path> m_sourceURL;
  std::optional<std::filesystem::path> m_destinationURL;
  std::optional<std::filesystem::path> m_moveFilesURL;

  std::optional<std::vector<char>> m_sourceBookmark;
  const WatchFolderList m_list;
  std::size_t m_editing = 0;
  // A folder being added, until both its folders are set.
  std::optional<StoredWatchFolder> m_pending;
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
};
