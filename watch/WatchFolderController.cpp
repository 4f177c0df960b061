#include "watch/WatchFolderController.h"

#include "BMTUtil.h"
#include "PdfPresetPopUp.h"
#include "conversion/ConversionFailureText.h"
#include "platform/Bookmark.h"
#include "platform/DisplayPath.h"
#include "platform/LocalizedString.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"
#include "watch/DesktopNotification.h"

#include "ui_WatchFolderSheet.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <future>
#include <cstddef>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The activity list keeps this many events.
constexpr int kActivityRows = 500;

const char* EventKey(WatchEvent::Kind kind) {
  switch (kind) {
    case WatchEvent::Kind::Started:
      return "WatchEventStarted";
    case WatchEvent::Kind::Stopped:
      return "WatchEventStopped";
    case WatchEvent::Kind::Converted:
      return "WatchEventConverted";
    case WatchEvent::Kind::Moved:
      return "WatchEventMoved";
    case WatchEvent::Kind::Deleted:
      return "WatchEventDeleted";
    case WatchEvent::Kind::Failed:
      return "WatchEventFailed";
    case WatchEvent::Kind::Changed:
      return "WatchEventChanged";
    case WatchEvent::Kind::FolderGone:
      return "WatchEventFolderGone";
    case WatchEvent::Kind::FolderBack:
      return "WatchEventFolderBack";
    case WatchEvent::Kind::OtherWatcher:
      return "WatchEventOtherWatcher";
    case WatchEvent::Kind::TakenBack:
      return "WatchEventTakenBack";
    case WatchEvent::Kind::Skipped:
      return "WatchEventSkipped";
    case WatchEvent::Kind::Refused:
      return "WatchEventRefused";
    case WatchEvent::Kind::Renamed:
      return "WatchEventRenamed";
  }
  return "WatchEventFailed";
}

// Where a double click on an event's row leads: the file as it is now.
constexpr int kRevealRole = Qt::UserRole + 1;

// The choices in the order of their buttons' ids in the group.
constexpr SourceDisposal kDisposals[] = {SourceDisposal::Delete, SourceDisposal::MoveToDestination,
                                         SourceDisposal::MoveToFolder};

int ButtonId(SourceDisposal disposal) {
  for (int id = 0; id < 3; ++id) {
    if (kDisposals[id] == disposal) return id;
  }
  return 1;
}

}  // namespace

WatchFolderController::WatchFolderController(QWidget* window, UserPrompts& prompts,
                                             Workspace& workspace, WatchSettingsStore store,
                                             QObject* parent)
    : QObject(parent),
      m_window(window),
      m_prompts(&prompts),
      m_workspace(&workspace),
      m_store(std::move(store)),
      m_ui(std::make_unique<Ui::WatchFolderSheet>()),
      m_notifyFailure(ShowDesktopNotification) {
  preferencesDialogOutlet = new QDialog(window);
  m_sheet = preferencesDialogOutlet;
  preferencesDialogOutlet->setWindowModality(Qt::WindowModal);
  m_ui->setupUi(preferencesDialogOutlet);

  watchFolderSourcePathViewCntr = m_ui->watchFolderSourcePathViewCntr;
  watchFolderDestinationPathViewCntr = m_ui->watchFolderDestinationPathViewCntr;
  watchFolderMoveFilesPathViewCntr = m_ui->watchFolderMoveFilesPathViewCntr;
  watchFolderSourcePathTextField = m_ui->watchFolderSourcePathTextField;
  watchFolderDestinationPathTextField = m_ui->watchFolderDestinationPathTextField;
  watchFolderMoveFilesPathTextField = m_ui->watchFolderMoveFilesPathTextField;
  selectSourceWatchFolderButtonOutlet = m_ui->selectSourceWatchFolderButtonOutlet;
  selectDestinationWatchFolderButtonOutlet = m_ui->selectDestinationWatchFolderButtonOutlet;
  selectMoveFilesWatchFolderButtonOutlet = m_ui->selectMoveFilesWatchFolderButtonOutlet;
  openSourceWatchFolderButtonOutlet = m_ui->openSourceWatchFolderButtonOutlet;
  openDestinationWatchFolderButtonOutlet = m_ui->openDestinationWatchFolderButtonOutlet;
  openMoveFilesWatchFolderButtonOutlet = m_ui->openMoveFilesWatchFolderButtonOutlet;
  sourceFileDeletOrMoveMatrixOutlet = m_ui->sourceFileDeletOrMoveMatrixOutlet;
  watchButtonOutlet = m_ui->watchButtonOutlet;
  watchCompressPDFFileButton = m_ui->watchCompressPDFFileButton;
  watchingSpinningProgressOutlet = m_ui->watchingSpinningProgressOutlet;
  doneButton = m_ui->doneButton;
  watchPdfPresetPopUp = m_ui->watchPdfPresetPopUp;
  watchStateLabel = m_ui->watchStateLabel;
  watchActivityList = m_ui->watchActivityList;
  watchFoldersList = m_ui->watchFoldersList;
  addWatchFolderButton = m_ui->addWatchFolderButton;
  removeWatchFolderButton = m_ui->removeWatchFolderButton;
  editWatchFolderButton = m_ui->editWatchFolderButton;
  watchFoldersList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  connect(addWatchFolderButton, &QPushButton::clicked, this, &WatchFolderController::AddFolder);
  connect(removeWatchFolderButton, &QPushButton::clicked, this, &WatchFolderController::RemoveFolder);
  connect(editWatchFolderButton, &QPushButton::clicked, this, [this] {
    if (QTreeWidgetItem* item = watchFoldersList->currentItem()) {
      EditFolder(item->data(0, Qt::UserRole).toULongLong());
    }
  });
  connect(watchFoldersList, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { EditFolder(item->data(0, Qt::UserRole).toULongLong()); });
  connect(watchFoldersList, &QTreeWidget::itemChanged, this, &WatchFolderController::FolderChecked);
  connect(watchCompressPDFFileButton, &QCheckBox::clicked, this, &WatchFolderController::CompressChosen);

  FillPdfPresetPopUp(watchPdfPresetPopUp);
  connect(watchPdfPresetPopUp, &QComboBox::activated, this, &WatchFolderController::PresetChosen);
  watchActivityList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  connect(watchActivityList, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    const QByteArray path = item->data(0, kRevealRole).toByteArray();
    if (!path.isEmpty()) m_workspace->SelectFile(fs::path(path.toStdString()));
  });
  connect(&m_service, &WatchService::watchEvent, this, &WatchFolderController::ShowEvent);
  connect(&m_service, &WatchService::stateChanged, this, [this] {
    ShowState();
    RefreshFolderList();
    NotifyWatching();
  });

  sourceFileDeletOrMoveMatrixOutlet->setId(m_ui->deleteSourceFileRadio, ButtonId(SourceDisposal::Delete));
  sourceFileDeletOrMoveMatrixOutlet->setId(m_ui->moveSourceToDestinationRadio,
                                           ButtonId(SourceDisposal::MoveToDestination));
  sourceFileDeletOrMoveMatrixOutlet->setId(m_ui->moveSourceToFolderRadio, ButtonId(SourceDisposal::MoveToFolder));

  // The spinner stays still and empty until watching begins.
  watchingSpinningProgressOutlet->setRange(0, 1);
  watchingSpinningProgressOutlet->setValue(0);
  watchingSpinningProgressOutlet->setVisible(false);

  const std::pair<DragAndDropCommonFolderController*, std::int32_t> boxes[] = {
      {watchFolderSourcePathViewCntr, 0},
      {watchFolderDestinationPathViewCntr, 1},
      {watchFolderMoveFilesPathViewCntr, 2}};
  for (const auto& [box, type] : boxes) {
    box->setBoxTypeOption(type);
    box->setAppDelegate(this);
  }

  connect(selectSourceWatchFolderButtonOutlet, &QPushButton::clicked, this,
          &WatchFolderController::SelectWatchSourceFolder);
  connect(selectDestinationWatchFolderButtonOutlet, &QPushButton::clicked, this,
          &WatchFolderController::SelectWatchDestinationFolder);
  connect(selectMoveFilesWatchFolderButtonOutlet, &QPushButton::clicked, this,
          &WatchFolderController::SelectWatchMoveFilesFolder);
  connect(openSourceWatchFolderButtonOutlet, &QPushButton::clicked, this,
          &WatchFolderController::OpenWatchSourceFolder);
  connect(openDestinationWatchFolderButtonOutlet, &QPushButton::clicked, this,
          &WatchFolderController::OpenWatchDestinationFolder);
  connect(openMoveFilesWatchFolderButtonOutlet, &QPushButton::clicked, this,
          &WatchFolderController::OpenWatchMoveFilesFolder);
  connect(sourceFileDeletOrMoveMatrixOutlet, &QButtonGroup::idClicked, this,
          [this] { DoWatchFolderFilesManipulation(sourceFileDeletOrMoveMatrixOutlet); });
  connect(watchButtonOutlet, &QPushButton::clicked, this,
          [this] { DoFolderWatch(watchButtonOutlet); });
  connect(doneButton, &QPushButton::clicked, this, &WatchFolderController::DoneButtonAction);
  // A path typed or pasted counts as one chosen, once it names a folder.
  // Whether it does is asked off the main thread: a mount that does not
  // answer must not freeze the window.
  for (Slot slot : {Slot::Source, Slot::Destination, Slot::MoveTo}) {
    QLineEdit* field = Parts(slot).field;
    connect(field, &QLineEdit::editingFinished, this, [this, slot, field] {
      // Unchanged: what is shown is escaped, not the folder's name itself.
      if (const std::optional<fs::path> current = *Parts(slot).path; current && field->text() == DisplayPath(*current)) {
        return;
      }
      const QString shown = field->text();
      const fs::path typed = QFile::encodeName(shown.trimmed()).toStdString();
      QPointer<WatchFolderController> self(this);
      m_checks.Run(
          [typed](std::stop_token) {
            std::error_code ec;
            return typed.is_absolute() && fs::is_directory(typed, ec);
          },
          [self, slot, shown, typed](bool isFolder) {
            // Edited again meanwhile: that text has its own answer coming.
            if (!self || self->Parts(slot).field->text() != shown) return;
            const std::optional<fs::path> current = *self->Parts(slot).path;
            if (isFolder && !self->m_Watching && !self->m_loading && (!current || *current != typed)) {
              self->SetSlotURL(slot, typed.lexically_normal());
              return;
            }
            // Anything else leaves the folder as it was.
            if (current) self->ShowPath(slot, *current);
            else self->Parts(slot).field->clear();
          });
    });
  }

  watchButtonOutlet->setEnabled(false);
}

WatchFolderController::~WatchFolderController() {
  // Changes already made are written before the window goes, unless the
  // settings folder does not answer for seconds.
  auto written = std::make_shared<std::promise<void>>();
  std::future<void> done = written->get_future();
  m_io.Run(
      [written](std::stop_token) {
        written->set_value();
        return true;
      },
      [](bool) {});
  done.wait_for(std::chrono::seconds(5));
  m_io.Shutdown();
  // Watching stays recorded as on: it resumes at the next launch.
  m_service.disconnect(this);
  m_service.StopAll();
  // The sheet's drop boxes know this controller: they go with it (unless
  // the window took them already).
  delete m_sheet.data();
}

WatchFolderController::SlotParts WatchFolderController::Parts(Slot slot) {
  switch (slot) {
    case Slot::Source:
      return {&m_edited.source, &m_edited.stored.source, watchFolderSourcePathTextField};
    case Slot::Destination:
      return {&m_edited.destination, &m_edited.stored.destination, watchFolderDestinationPathTextField};
    case Slot::MoveTo:
      break;
  }
  return {&m_edited.moveTo, &m_edited.stored.moveTo, watchFolderMoveFilesPathTextField};
}

SourceDisposal WatchFolderController::selectedDisposal() const {
  const int id = sourceFileDeletOrMoveMatrixOutlet->checkedId();
  return id >= 0 && id < 3 ? kDisposals[id] : SourceDisposal::MoveToDestination;
}

QAbstractButton* WatchFolderController::disposalButton(SourceDisposal disposal) const {
  return sourceFileDeletOrMoveMatrixOutlet->button(ButtonId(disposal));
}

// --- The sheet ------------------------------------------------------------------

void WatchFolderController::OpenWatchFolderPreferences() { preferencesDialogOutlet->open(); }

void WatchFolderController::DoneButtonAction() { preferencesDialogOutlet->accept(); }

// --- Folders --------------------------------------------------------------------

void WatchFolderController::ShowPath(Slot slot, const fs::path& folder) {
  QLineEdit* field = Parts(slot).field;
  const QString text = DisplayPath(folder);
  field->setText(text);
  field->setCursorPosition(0);
  field->setToolTip(text);
}

void WatchFolderController::SetSlotURL(Slot slot, const fs::path& folder) {
  const SlotParts parts = Parts(slot);
  *parts.path = folder;
  // The store makes the lasting reference when it writes the folder.
  parts.bookmark->reset();
  ShowPath(slot, folder);
  if (WatchSettingsStore::MakesBookmarks()) {
    StoreEdited();
  } else {
    // Without a lasting reference nothing can be stored; the folder is
    // still used for this run.
    if (m_folders.size() <= m_editing) m_folders.resize(m_editing + 1);
    m_folders[m_editing] = m_edited;
    RefreshFolderList();
  }
  EnableDisableWatchFolderControl();
}

void WatchFolderController::SetWatchFolderSourceURL(const fs::path& folder) {
  SetSlotURL(Slot::Source, folder);
}
void WatchFolderController::SetWatchFolderDestinationURL(const fs::path& folder) {
  SetSlotURL(Slot::Destination, folder);
}
void WatchFolderController::SetWatchFolderMoveToDestinationURL(const fs::path& folder) {
  SetSlotURL(Slot::MoveTo, folder);
}

void WatchFolderController::SelectFolder(Slot slot) {
  OpenPanelRequest request;
  request.title = LocalizedString(slot == Slot::Source        ? "WatchSourceChooserTitle"
                                  : slot == Slot::Destination ? "OpenDestinationDialogTitle"
                                                              : "WatchMoveFilesChooserTitle");
  request.prompt = LocalizedString("OpenFileDialogButton");
  request.canChooseFiles = false;
  request.canChooseDirectories = true;
  request.allowsMultipleSelection = false;
  request.canCreateDirectories = true;
  QPointer<WatchFolderController> self(this);
  m_prompts->BeginOpenPanelSheet(
      preferencesDialogOutlet, request,
      [self, slot](int result, std::vector<fs::path> chosen) {
        // The folders are fixed while watching, also for a panel that was
        // already open when watching began.
        if (!self || self->m_Watching || self->m_loading || result != 1 || chosen.empty()) return;
        self->SetSlotURL(slot, chosen.front());
      });
}

void WatchFolderController::SelectWatchSourceFolder() { SelectFolder(Slot::Source); }
void WatchFolderController::SelectWatchDestinationFolder() { SelectFolder(Slot::Destination); }
void WatchFolderController::SelectWatchMoveFilesFolder() { SelectFolder(Slot::MoveTo); }

void WatchFolderController::OpenFolder(Slot slot) {
  const std::optional<fs::path>& folder = *Parts(slot).path;
  if (folder) m_workspace->OpenURL(FileUrlForPath(*folder));
}

void WatchFolderController::OpenWatchSourceFolder() { OpenFolder(Slot::Source); }
void WatchFolderController::OpenWatchDestinationFolder() { OpenFolder(Slot::Destination); }
void WatchFolderController::OpenWatchMoveFilesFolder() { OpenFolder(Slot::MoveTo); }

void WatchFolderController::WatchFolderPathChangeAction(const fs::path& folder,
                                                        std::int32_t boxType) {
  switch (boxType) {
    case 0:
      SetWatchFolderSourceURL(folder);
      break;
    case 1:
      SetWatchFolderDestinationURL(folder);
      break;
    case 2:
      SetWatchFolderMoveToDestinationURL(folder);
      break;
    default:
      break;
  }
  EnableDisableWatchFolderControl();
}

// --- The choice and the watch button ----------------------------------------

void WatchFolderController::DoWatchFolderFilesManipulation(QObject* sender) {
  const bool moveToUsed = selectedDisposal() == SourceDisposal::MoveToFolder;
  selectMoveFilesWatchFolderButtonOutlet->setEnabled(moveToUsed);
  openMoveFilesWatchFolderButtonOutlet->setEnabled(moveToUsed);
  // Only the text colour is set; everything else follows the window's
  // palette, also when the desktop's theme changes.
  QPalette palette;
  if (!moveToUsed) {
    const QColor dimmed =
        watchFolderMoveFilesPathTextField->palette().color(QPalette::Disabled, QPalette::Text);
    palette.setColor(QPalette::Active, QPalette::Text, dimmed);
    palette.setColor(QPalette::Inactive, QPalette::Text, dimmed);
  }
  watchFolderMoveFilesPathTextField->setPalette(palette);

  if (sender != nullptr) {
    EnableDisableWatchFolderControl();
    m_edited.stored.disposal = selectedDisposal();
    StoreEdited();
  }
}

void WatchFolderController::EnableDisableWatchFolderControl() {
  const bool choiceReady = selectedDisposal() != SourceDisposal::MoveToFolder ||
                           !watchFolderMoveFilesPathTextField->text().isEmpty();
  watchButtonOutlet->setEnabled(!watchFolderSourcePathTextField->text().isEmpty() &&
                                !watchFolderDestinationPathTextField->text().isEmpty() &&
                                choiceReady);
}

// --- The settings ---------------------------------------------------------------

void WatchFolderController::Save(std::function<void(const WatchSettingsStore&)> write) {
  ++m_saving;
  QPointer<WatchFolderController> self(this);
  m_io.Run(
      [store = m_store, write = std::move(write)](std::stop_token) {
        write(store);
        return true;
      },
      [self](bool) {
        if (self) --self->m_saving;
      });
}

void WatchFolderController::StoreEdited() {
  if (m_folders.size() <= m_editing) m_folders.resize(m_editing + 1);
  m_folders[m_editing] = m_edited;
  Save([number = m_editing, folder = m_edited](const WatchSettingsStore& store) mutable {
    store.Write(number, folder);
  });
  RefreshFolderList();
}

void WatchFolderController::StartAutoWatchFolder() {
  m_loading = true;
  ApplyLocks();
  for (QPushButton* button : {addWatchFolderButton, removeWatchFolderButton, editWatchFolderButton}) {
    button->setEnabled(false);
  }
  QPointer<WatchFolderController> self(this);
  ++m_saving;
  m_io.Run(
      [store = m_store](std::stop_token) {
        WatchSettingsSnapshot settings = store.Read();
        if (settings.firstFileUnreadable) store.WriteDefaults();
        return settings;
      },
      [self](const WatchSettingsSnapshot& settings) {
        if (!self) return;
        --self->m_saving;
        self->Loaded(settings);
      });
}

void WatchFolderController::Loaded(const WatchSettingsSnapshot& settings) {
  m_folders = settings.folders;
  m_service.setTuning(settings.tuning);
  m_loading = false;
  addWatchFolderButton->setEnabled(true);
  editWatchFolderButton->setEnabled(true);
  m_editing = ~std::size_t(0);
  EditFolder(0);
  // Every folder that was on, the first as the others, as it is stored.
  for (std::size_t number = 0; number < m_folders.size(); ++number) {
    if (!m_folders[number] || !m_folders[number]->isSet() || !m_folders[number]->stored.on) continue;
    const int id = IdOf(number);
    if (const auto refusal =
            m_service.Start(id, WatchService::RequestFor(*m_folders[number], SourceFoundAgain(id)))) {
      RefuseWatching(refusal->key);
    }
  }
  m_Watching = m_service.state(IdOf(m_editing)) != WatchFolderState::Off;
  ApplyLocks();
  ShowState();
  RefreshFolderList();
  NotifyWatching();
  Q_EMIT settingsLoaded();
}

void WatchFolderController::RefreshFolderList() {
  const QSignalBlocker quiet(watchFoldersList);
  const std::size_t current = watchFoldersList->currentItem()
                                  ? watchFoldersList->currentItem()->data(0, Qt::UserRole).toULongLong()
                                  : m_editing;
  // The rows are rewritten in place, not made anew: this also runs while the
  // list is still telling of a change to one of them (a box ticked), and
  // that row must outlive the telling.
  QTreeWidgetItem* chosen = nullptr;
  int row = 0;
  const auto& folders = m_folders;
  for (std::size_t number = 0; number < folders.size(); ++number) {
    const bool unset = !folders[number] || (number == 0 && !folders[0]->isSet());
    if (number == 0 && unset && m_editing != 0) continue;
    QTreeWidgetItem* item = row < watchFoldersList->topLevelItemCount() ? watchFoldersList->topLevelItem(row)
                                                                         : new QTreeWidgetItem(watchFoldersList);
    ++row;
    for (int column = 0; column < 4; ++column) item->setText(column, QString());
    item->setData(0, Qt::CheckStateRole, QVariant());
    item->setData(0, Qt::FontRole, QVariant());
    item->setData(0, Qt::UserRole, qulonglong(number));
    if (unset) {
      item->setText(0, LocalizedString(number == 0 ? "WatchFolderNewName" : "WatchFolderBrokenEntry"));
    } else {
      const WatchFolderEntry& f = *folders[number];
      const std::string name = f.displayName();
      item->setText(0, name.empty() ? LocalizedString("WatchFolderNewName") : DisplayPath(name));
      if (f.source) item->setText(1, DisplayPath(*f.source));
      if (f.destination) item->setText(2, DisplayPath(*f.destination));
      const WatchFolderState state = m_service.state(IdOf(number));
      QString text = LocalizedString(state == WatchFolderState::Watching ? "WatchStateWatching"
                                     : state == WatchFolderState::Waiting ? "WatchStateWaiting"
                                                                          : "WatchStateOff");
      if (const auto failed = m_failures.find(IdOf(number)); failed != m_failures.end()) {
        text += QStringLiteral(" ") + LocalizedString("WatchFolderStateFailures").arg(failed->second);
      }
      item->setText(3, text);
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      item->setCheckState(0, state == WatchFolderState::Off ? Qt::Unchecked : Qt::Checked);
    }
    if (number == m_editing) {
      QFont bold = item->font(0);
      bold.setBold(true);
      item->setFont(0, bold);
    }
    if (number == current) chosen = item;
  }
  while (watchFoldersList->topLevelItemCount() > row) delete watchFoldersList->takeTopLevelItem(row);
  watchFoldersList->setCurrentItem(chosen);
  removeWatchFolderButton->setEnabled(!m_loading && watchFoldersList->topLevelItemCount() > 0);
}

void WatchFolderController::DropUnfinished() {
  // A further folder being added that never got both its folders goes.
  if (m_editing != 0 && m_editing < m_folders.size() && m_editing + 1 == m_folders.size() &&
      m_folders[m_editing] && (!m_folders[m_editing]->source || !m_folders[m_editing]->destination)) {
    m_folders.pop_back();
  }
}

void WatchFolderController::EditFolder(std::size_t number) {
  if (number == m_editing) return;
  DropUnfinished();
  m_editing = number;
  m_edited = number < m_folders.size() && m_folders[number] ? *m_folders[number] : WatchFolderEntry{};
  ShowEdited();
  RefreshFolderList();
}

void WatchFolderController::ShowEdited() {
  // The slots show this folder's, and only its.
  for (Slot slot : {Slot::Source, Slot::Destination, Slot::MoveTo}) {
    const SlotParts parts = Parts(slot);
    parts.field->clear();
    parts.field->setToolTip(QString());
    if (*parts.path) ShowPath(slot, **parts.path);
  }
  if (QAbstractButton* cell = disposalButton(m_edited.stored.disposal)) cell->setChecked(true);
  watchCompressPDFFileButton->setChecked(m_edited.stored.compress);
  const std::string_view preset = PdfPresetName(m_edited.stored.preset);
  const int index = watchPdfPresetPopUp->findData(QString::fromUtf8(preset.data(), qsizetype(preset.size())));
  if (index >= 0) watchPdfPresetPopUp->setCurrentIndex(index);
  DoWatchFolderFilesManipulation(nullptr);
  m_Watching = m_service.state(IdOf(m_editing)) != WatchFolderState::Off;
  watchFolderMoveFilesPathTextField->setEnabled(true);
  ApplyLocks();
  EnableDisableWatchFolderControl();
  ShowState();
}

void WatchFolderController::AddFolder() {
  DropUnfinished();
  // Into the first place when that is empty, else at the end.
  m_editing = !m_folders.empty() && m_folders.front() && m_folders.front()->isSet() ? m_folders.size() : 0;
  m_edited = WatchFolderEntry{};
  if (m_folders.size() <= m_editing) m_folders.resize(m_editing + 1);
  m_folders[m_editing] = m_edited;
  ShowEdited();
  RefreshFolderList();
}

void WatchFolderController::RemoveFolder() {
  QTreeWidgetItem* item = watchFoldersList->currentItem();
  if (!item) return;
  const std::size_t number = item->data(0, Qt::UserRole).toULongLong();
  // The folders after it move up in the list but keep their numbers with
  // the service, and run on undisturbed.
  const int id = IdOf(number);
  m_service.Stop(id);
  m_failures.erase(id);
  const bool stored = number < m_folders.size() && m_folders[number] &&
                      (number == 0 || (m_folders[number]->source && m_folders[number]->destination));
  if (stored) Save([number](const WatchSettingsStore& store) { store.Remove(number); });
  if (number == 0) {
    // The first is emptied, its choices kept, not taken out.
    if (!m_folders.empty() && m_folders[0]) {
      WatchFolderEntry& first = *m_folders[0];
      first.source.reset();
      first.destination.reset();
      first.moveTo.reset();
      first.stored.source.reset();
      first.stored.destination.reset();
      first.stored.moveTo.reset();
      first.stored.compress = false;
      first.stored.preset = PdfPreset::Faithful;
      first.stored.on = false;
    }
  } else if (number < m_folders.size()) {
    m_folders.erase(m_folders.begin() + static_cast<std::ptrdiff_t>(number));
    if (number < m_ids.size()) m_ids.erase(m_ids.begin() + static_cast<std::ptrdiff_t>(number));
  }
  m_editing = ~std::size_t(0);
  EditFolder(0);
  NotifyWatching();
}

void WatchFolderController::FolderChecked(QTreeWidgetItem* item) {
  const std::size_t number = item->data(0, Qt::UserRole).toULongLong();
  const bool wanted = item->checkState(0) == Qt::Checked;
  EditFolder(number);
  if (wanted != m_Watching && watchButtonOutlet->isEnabled()) DoFolderWatch(watchButtonOutlet);
  RefreshFolderList();
}

void WatchFolderController::CompressChosen() {
  m_edited.stored.compress = watchCompressPDFFileButton->isChecked();
  StoreEdited();
}

// --- Watching -------------------------------------------------------------------

void WatchFolderController::RefuseWatching(const char* key) {
  m_prompts->RunAlertPanel(m_window, LocalizedString(key), QString(),
                          LocalizedString("OkButtonString"), QString());
}

void WatchFolderController::DoFolderWatch(QObject*) {
  if (m_Watching) {
    StopWatching();
  } else if (!StartWatching()) {
    return;
  }
  EnableDisableForWatching();
}

bool WatchFolderController::StartWatching() {
  WatchService::StartRequest request = WatchService::RequestFor(m_edited, SourceFoundAgain(IdOf(m_editing)));
  // Started by hand, the folders must be there.
  request.waitForSource = false;
  if (const std::optional<WatchRefusal> refusal = m_service.Start(IdOf(m_editing), std::move(request))) {
    RefuseWatching(refusal->key);
    return false;
  }
  return true;
}

void WatchFolderController::StopWatching() { m_service.Stop(IdOf(m_editing)); }

int WatchFolderController::IdOf(std::size_t number) {
  while (m_ids.size() <= number) m_ids.push_back(m_nextId++);
  return m_ids[number];
}

WatchFolderState WatchFolderController::stateOf(std::size_t number) {
  return m_service.state(IdOf(number));
}

std::function<void(const std::vector<char>&)> WatchFolderController::SourceFoundAgain(int id) {
  QPointer<WatchFolderController> self(this);
  return [self, id](const std::vector<char>& bookmark) {
    if (!self) return;
    // The folder was found again at its place or where it went; stored
    // under the number it has in the list now.
    const auto at = std::find(self->m_ids.begin(), self->m_ids.end(), id);
    if (at == self->m_ids.end()) return;
    const auto number = static_cast<std::size_t>(at - self->m_ids.begin());
    const std::optional<fs::path> found = self->m_service.source(id);
    if (number < self->m_folders.size() && self->m_folders[number]) {
      self->m_folders[number]->stored.source = bookmark;
      if (found) self->m_folders[number]->source = found;
    }
    self->Save([number, bookmark](const WatchSettingsStore& store) { store.SetSourceBookmark(number, bookmark); });
    if (self->m_editing != number) return;
    self->m_edited.stored.source = bookmark;
    if (found) {
      self->m_edited.source = found;
      self->ShowPath(Slot::Source, *found);
    }
  };
}

PdfPreset WatchFolderController::selectedPreset() const {
  const QByteArray name = watchPdfPresetPopUp->currentData().toString().toUtf8();
  return PdfPresetFromName(std::string_view(name.constData(), std::size_t(name.size())))
      .value_or(PdfPreset::Faithful);
}

void WatchFolderController::PresetChosen() {
  m_edited.stored.preset = selectedPreset();
  StoreEdited();
}

void WatchFolderController::ShowState() {
  const char* key = "WatchStateOff";
  switch (m_service.state(IdOf(m_editing))) {
    case WatchFolderState::Off:
      break;
    case WatchFolderState::Watching:
      key = m_otherWatcher ? "WatchStateOtherWatcher" : "WatchStateWatching";
      break;
    case WatchFolderState::Waiting:
      key = "WatchStateWaiting";
      break;
  }
  watchStateLabel->setText(LocalizedString(key));
}

void WatchFolderController::ShowEvent(const WatchEvent& event) {
  if (event.isFailure()) {
    ++m_failures[event.folder];
    RefreshFolderList();
  }
  if (event.kind == WatchEvent::Kind::Started) m_failures.erase(event.folder);
  if (event.kind == WatchEvent::Kind::OtherWatcher) m_otherWatcher = true;
  if (event.kind == WatchEvent::Kind::Started || event.kind == WatchEvent::Kind::Stopped) {
    m_otherWatcher = false;
  }
  ShowState();

  auto* item = new QTreeWidgetItem;
  const QDateTime when = QDateTime::fromSecsSinceEpoch(
      std::chrono::duration_cast<std::chrono::seconds>(event.time.time_since_epoch()).count());
  item->setText(0, QLocale().toString(when.time(), QLocale::ShortFormat));
  item->setToolTip(0, QLocale().toString(when, QLocale::LongFormat));
  item->setText(1, DisplayPath(event.file.filename().empty() ? event.file : event.file.filename()));
  item->setToolTip(1, DisplayPath(event.file));
  QString result = LocalizedString(EventKey(event.kind));
  if (!event.result.empty()) result += QStringLiteral(": ") + DisplayPath(event.result.filename());
  item->setText(2, result);
  if (!event.result.empty()) item->setToolTip(2, DisplayPath(event.result));
  // A failed conversion in the window's words; other reasons are the
  // service's own sentences, around names that came from files.
  const QString reason = QString::fromStdString(
      event.failure ? ConversionFailureSentence(event.failure, LocalizedText)
                    : BMTUtil::EscapedForDisplay(event.reason));
  item->setText(3, reason);
  item->setToolTip(3, reason);
  // Reveal what is there now: the PDF or moved file, else the source.
  const fs::path reveal = event.result.empty() ? event.file : event.result;
  item->setData(0, kRevealRole, QByteArray::fromStdString(reveal.native()));
  if (event.isFailure() || event.kind == WatchEvent::Kind::FolderGone) {
    QFont bold = item->font(0);
    bold.setBold(true);
    for (int column = 0; column < 4; ++column) {
      item->setForeground(column, QColor(Qt::red).darker(120));
      item->setFont(column, bold);
    }
  }
  watchActivityList->insertTopLevelItem(0, item);
  while (watchActivityList->topLevelItemCount() > kActivityRows) {
    delete watchActivityList->takeTopLevelItem(watchActivityList->topLevelItemCount() - 1);
  }

  if (event.isFailure() && m_notifyFailure && !(m_window && m_window->isActiveWindow())) {
    m_notifyFailure(LocalizedString(event.kind == WatchEvent::Kind::Refused ? "WatchRefusalNotificationTitle"
                                                                           : "WatchFailureNotificationTitle"),
                    DisplayPath(event.file.filename()) + QStringLiteral(": ") + reason);
  }
  Q_EMIT watchEvent(event);
}

void WatchFolderController::EnableDisableForWatching() {
  m_Watching = !m_Watching;
  ApplyLocks();
  m_edited.stored.on = m_Watching;
  StoreEdited();
  NotifyWatching();
}

void WatchFolderController::NotifyWatching() {
  const bool any = m_service.anyRunning();
  if (any == m_anyWatching) return;
  m_anyWatching = any;
  Q_EMIT watchingChanged(any);
}

void WatchFolderController::ApplyLocks() {
  const bool unlocked = !m_Watching && !m_loading;
  watchFolderSourcePathTextField->setEnabled(unlocked);
  selectSourceWatchFolderButtonOutlet->setEnabled(unlocked);
  watchFolderDestinationPathTextField->setEnabled(unlocked);
  selectDestinationWatchFolderButtonOutlet->setEnabled(unlocked);
  watchCompressPDFFileButton->setEnabled(unlocked);
  watchPdfPresetPopUp->setEnabled(unlocked);
  if (selectedDisposal() == SourceDisposal::MoveToFolder) {
    watchFolderMoveFilesPathTextField->setEnabled(unlocked);
    selectMoveFilesWatchFolderButtonOutlet->setEnabled(unlocked);
  }
  for (QAbstractButton* cell : sourceFileDeletOrMoveMatrixOutlet->buttons()) {
    cell->setEnabled(unlocked);
  }

  watchButtonOutlet->setText(
      LocalizedString(m_Watching ? "StopWatchingButtonTitle" : "StartWatchingButtonTitle"));

  m_spinning = m_Watching;
  if (m_spinning) {
    watchingSpinningProgressOutlet->setRange(0, 0);  // busy: it turns
  } else {
    watchingSpinningProgressOutlet->setRange(0, 1);
    watchingSpinningProgressOutlet->setValue(0);
  }
  watchingSpinningProgressOutlet->setVisible(m_spinning);
}
