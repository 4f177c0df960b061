#include "watch/WatchFolderController.h"

#include "BMTUtil.h"
#include "platform/Bookmark.h"
#include "platform/LocalizedString.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"
#include "watch/Notifier.h"
#include "watch/WatchChoice.h"

#include "ui_WatchFolderSheet.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include <mutex>
#include <utility>

namespace fs = std::filesystem;

struct WatchFolderController::OutcomeRelay {
  std::mutex mutex;
  WatchFolderController* target = nullptr;

  // Any thread: runs fn(controller) on the controller's thread, if it is
  // still there.
  template <typename Fn>
  void Post(Fn fn) {
    std::lock_guard lock(mutex);
    if (target == nullptr) return;
    WatchFolderController* controller = target;
    QMetaObject::invokeMethod(
        controller, [controller, fn = std::move(fn)]() mutable { fn(controller); },
        Qt::QueuedConnection);
  }
};

namespace {

QString DisplayPath(const fs::path& path) {
  return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

}  // namespace

WatchFolderController::WatchFolderController(QWidget* window, UserPrompts& prompts,
                                             Workspace& workspace, WatchFolderSettings settings,
                                             QObject* parent)
    : QObject(parent),
      m_window(window),
      m_prompts(&prompts),
      m_workspace(&workspace),
      m_settings(std::move(settings)),
      m_ui(std::make_unique<Ui::WatchFolderSheet>()),
      m_relay(std::make_shared<OutcomeRelay>()) {
  qRegisterMetaType<WatchOutcome>();
  m_relay->target = this;

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

  sourceFileDeletOrMoveMatrixOutlet->setId(m_ui->deleteSourceFileRadio, 1);
  sourceFileDeletOrMoveMatrixOutlet->setId(m_ui->moveSourceToDestinationRadio, 2);
  sourceFileDeletOrMoveMatrixOutlet->setId(m_ui->moveSourceToFolderRadio, 3);

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
  for (Slot slot : {Slot::Source, Slot::Destination, Slot::MoveTo}) {
    QLineEdit* field = Parts(slot).field;
    connect(field, &QLineEdit::editingFinished, this, [this, slot, field] {
      const fs::path typed = QFile::encodeName(field->text().trimmed()).toStdString();
      const std::optional<fs::path>& current = *Parts(slot).url;
      std::error_code ec;
      if (!m_Watching && typed.is_absolute() && fs::is_directory(typed, ec) &&
          (!current || *current != typed)) {
        SetSlotURL(slot, typed.lexically_normal());
        return;
      }
      // Anything else leaves the folder as it was.
      if (current) ShowPath(slot, *current);
      else field->clear();
    });
  }

  watchButtonOutlet->setEnabled(false);
}

WatchFolderController::~WatchFolderController() {
  {
    std::lock_guard lock(m_relay->mutex);
    m_relay->target = nullptr;
  }
  // Watching stays recorded as on: it resumes at the next launch.
  m_notifier.reset();
  if (m_engine) m_engine->Stop();
  m_engine.reset();
  for (Retiree& retiree : m_retirees) {
    if (retiree.thread.joinable()) retiree.thread.join();
  }
  // The sheet's drop boxes know this controller: they go with it (unless
  // the window took them already).
  delete m_sheet.data();
}

WatchFolderController::SlotParts WatchFolderController::Parts(Slot slot) {
  switch (slot) {
    case Slot::Source:
      return {&m_sourceURL, watchFolderSourcePathTextField, "SourceURL"};
    case Slot::Destination:
      return {&m_destinationURL, watchFolderDestinationPathTextField, "DestinationURL"};
    case Slot::MoveTo:
      break;
  }
  return {&m_moveFilesURL, watchFolderMoveFilesPathTextField, "MoveDestinationURL"};
}

int WatchFolderController::selectedTag() const {
  return sourceFileDeletOrMoveMatrixOutlet->checkedId();
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
  if (CompareSystemVersion(10, 7, 3) < 0) {
    *parts.url = folder;
    ShowPath(slot, folder);
  } else if (const std::optional<std::vector<char>> bookmark = CreateFolderBookmark(folder)) {
    SetSlotURLData(slot, *bookmark);
    WriteWatchFolderPreferences(*bookmark, parts.key);
  } else {
    // Without a bookmark nothing can be stored; the folder is still used for
    // this run.
    *parts.url = folder;
    ShowPath(slot, folder);
  }
  EnableDisableWatchFolderControl();
}

void WatchFolderController::SetSlotURLData(Slot slot, const std::vector<char>& bookmark) {
  const SlotParts parts = Parts(slot);
  parts.url->reset();
  if (std::optional<fs::path> folder = ResolveFolderBookmark(bookmark)) {
    *parts.url = *folder;
    ShowPath(slot, *folder);
  }
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
void WatchFolderController::SetWatchFolderSourceURLData(const std::vector<char>& bookmark) {
  SetSlotURLData(Slot::Source, bookmark);
}
void WatchFolderController::SetWatchFolderDestinationURLData(const std::vector<char>& bookmark) {
  SetSlotURLData(Slot::Destination, bookmark);
}
void WatchFolderController::SetWatchFolderMoveToDestinationURLData(
    const std::vector<char>& bookmark) {
  SetSlotURLData(Slot::MoveTo, bookmark);
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
        if (!self || self->m_Watching || result != 1 || chosen.empty()) return;
        self->SetSlotURL(slot, chosen.front());
      });
}

void WatchFolderController::SelectWatchSourceFolder() { SelectFolder(Slot::Source); }
void WatchFolderController::SelectWatchDestinationFolder() { SelectFolder(Slot::Destination); }
void WatchFolderController::SelectWatchMoveFilesFolder() { SelectFolder(Slot::MoveTo); }

void WatchFolderController::OpenFolder(Slot slot) {
  const std::optional<fs::path>& folder = *Parts(slot).url;
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
  const int tag = selectedTag();
  const bool moveToUsed = tag != 1 && tag != 2;
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
    WriteWatchFolderPreferences(std::int64_t{tag}, "MoveToDestinationOption");
  }
}

void WatchFolderController::EnableDisableWatchFolderControl() {
  const int tag = selectedTag();
  const bool choiceReady =
      tag == 1 || tag == 2 || (tag == 3 && !watchFolderMoveFilesPathTextField->text().isEmpty());
  watchButtonOutlet->setEnabled(!watchFolderSourcePathTextField->text().isEmpty() &&
                                !watchFolderDestinationPathTextField->text().isEmpty() &&
                                choiceReady);
}

// --- The settings file ----------------------------------------------------------

bool WatchFolderController::WriteWatchFolderPreferences(const PreferenceValue& value,
                                                        const char* key) {
  if (const auto* data = std::get_if<std::vector<char>>(&value)) return m_settings.WriteData(key, *data);
  if (const auto* number = std::get_if<std::int64_t>(&value)) return m_settings.WriteInteger(key, *number);
  return m_settings.WriteBoolean(key, std::get<bool>(value));
}

void WatchFolderController::StartAutoWatchFolder() {
  const std::optional<WatchFolderPreferences> prefs = m_settings.Read();
  if (!prefs) {
    m_settings.WriteDefaults();
    return;
  }
  if (prefs->sourceURL) SetWatchFolderSourceURLData(*prefs->sourceURL);
  if (prefs->destinationURL) SetWatchFolderDestinationURLData(*prefs->destinationURL);
  if (prefs->moveDestinationURL) SetWatchFolderMoveToDestinationURLData(*prefs->moveDestinationURL);

  if (prefs->moveToDestinationOption) {
    const std::int64_t tag = *prefs->moveToDestinationOption;
    if (SourceDisposalForTag(tag) && (tag != 3 || m_moveFilesURL)) {
      if (QAbstractButton* cell = sourceFileDeletOrMoveMatrixOutlet->button(static_cast<int>(tag))) {
        cell->setChecked(true);
      }
      DoWatchFolderFilesManipulation(nullptr);
    }
  }
  EnableDisableWatchFolderControl();
  if (watchButtonOutlet->isEnabled() && prefs->isWatching.value_or(false)) {
    DoFolderWatch(watchButtonOutlet);
  }
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
  if (!m_sourceURL || !m_destinationURL) {
    // A shown folder that could not be found again: there is nothing to
    // watch, and saying that watching is on would be untrue.
    RefuseWatching("WatchFolderCannotWatchMsg");
    return false;
  }
  if (IsSameFolder(*m_sourceURL, *m_destinationURL)) {
    RefuseWatching("SourceWatchAndDestSameMsg");
    return false;
  }
  const int tag = selectedTag();
  if (tag == 3) {
    if (!m_moveFilesURL) {
      RefuseWatching("MoveFoderNotSelectedMsg");
      return false;
    }
    if (IsSameFolder(*m_sourceURL, *m_moveFilesURL)) {
      RefuseWatching("SourceWatchAndMoveSameMsg");
      return false;
    }
  }

  WatchConfiguration config;
  config.source = *m_sourceURL;
  config.destination = *m_destinationURL;
  if (tag == 3) config.moveTo = *m_moveFilesURL;
  config.disposal = SourceDisposalForTag(tag).value_or(SourceDisposal::MoveToDestination);
  config.compress = watchCompressPDFFileButton->isChecked();

  auto notifier = std::make_unique<Notifier>(config.source, [this] { ForwardScanRequest(); });
  if (!notifier->isValid()) {
    RefuseWatching("WatchFolderCannotWatchMsg");
    return false;
  }
  std::shared_ptr<OutcomeRelay> relay = m_relay;
  m_engine = std::make_unique<WatchEngine>(config, [relay](const WatchOutcome& outcome) {
    relay->Post([outcome](WatchFolderController* c) { Q_EMIT c->watchOutcome(outcome); });
  });
  m_notifier = std::move(notifier);
  // The files that are already there.
  ForwardScanRequest();
  return true;
}

void WatchFolderController::StopWatching() {
  m_notifier.reset();
  if (m_engine) RetireEngine(std::move(m_engine));
  m_scanDeferred = false;
}

void WatchFolderController::ForwardScanRequest() {
  if (!m_engine) return;
  if (m_retiring > 0) {
    m_scanDeferred = true;
  } else {
    m_engine->RequestScan();
  }
}

void WatchFolderController::RetireEngine(std::unique_ptr<WatchEngine> engine) {
  JoinFinishedRetirees();
  ++m_retiring;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<OutcomeRelay> relay = m_relay;
  // Stopping waits for the file in hand, which must not hold up the window.
  std::thread thread([engine = std::move(engine), done, relay]() mutable {
    engine->Stop();
    engine.reset();
    done->store(true);
    relay->Post([](WatchFolderController* c) { c->EngineRetired(); });
  });
  m_retirees.push_back(Retiree{std::move(thread), std::move(done)});
}

void WatchFolderController::EngineRetired() {
  --m_retiring;
  JoinFinishedRetirees();
  if (m_retiring == 0 && m_scanDeferred) {
    m_scanDeferred = false;
    if (m_engine) m_engine->RequestScan();
  }
}

void WatchFolderController::JoinFinishedRetirees() {
  for (auto it = m_retirees.begin(); it != m_retirees.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = m_retirees.erase(it);
    } else {
      ++it;
    }
  }
}

void WatchFolderController::EnableDisableForWatching() {
  m_Watching = !m_Watching;
  const bool unlocked = !m_Watching;
  watchFolderSourcePathTextField->setEnabled(unlocked);
  selectSourceWatchFolderButtonOutlet->setEnabled(unlocked);
  watchFolderDestinationPathTextField->setEnabled(unlocked);
  selectDestinationWatchFolderButtonOutlet->setEnabled(unlocked);
  watchCompressPDFFileButton->setEnabled(unlocked);
  if (selectedTag() == 3) {
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

  WriteWatchFolderPreferences(m_Watching, "IsWatching");
  Q_EMIT watchingChanged(m_Watching);
}
