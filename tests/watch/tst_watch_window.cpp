// The watch folder settings sheet driven as a user does: folders chosen in
// the panel or dropped on the boxes, the choice, the watch button and the
// list of folders, real conversions of files arriving in the source folders,
// and the settings file read back with a reader of its own.

#include "app/ApplicationResources.h"
#include "platform/Bookmark.h"
#include "platform/LocalizedString.h"
#include "platform/Workspace.h"
#include "conversion/PostScriptConverter.h"
#include "watch/WatchFolderController.h"

#include "BMTUtil.h"
#include "IndependentPlist.h"
#include "PostScriptSamples.h"
#include "RecordingWorkspace.h"
#include "ScriptedUserPrompts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using samples::PlistData;
using samples::PlistInteger;
using samples::PlistType;

namespace {

constexpr int kDeadline = 120000;

QByteArray Bytes(const fs::path& path) { return QByteArray::fromStdString(path.native()); }
QString Shown(const fs::path& path) { return QFile::decodeName(Bytes(path)); }
QUrl UrlOf(const fs::path& path) { return FileUrlForPath(path); }

// Hands an event to the box as the window does once it has found the box
// under the pointer. (Sent through the application, a drop would go to
// whatever widget the drag manager last saw, which may be long gone.)
void Deliver(QWidget* box, QEvent* event) { static_cast<QObject*>(box)->event(event); }

// Drags these URLs over the box and, when drop is set, drops them: whether
// the box took them.
bool Drag(QWidget* box, const QList<QUrl>& urls, bool drop) {
  QMimeData mime;
  mime.setUrls(urls);
  QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  enter.ignore();
  Deliver(box, &enter);
  if (!drop) {
    QDragLeaveEvent leave;
    Deliver(box, &leave);
    return enter.isAccepted() && enter.dropAction() == Qt::CopyAction;
  }
  QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  Deliver(box, &move);
  QDropEvent dropped(QPointF(6, 6), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  dropped.ignore();
  Deliver(box, &dropped);
  return dropped.isAccepted();
}
bool DragEnters(QWidget* box, const QList<QUrl>& urls) { return Drag(box, urls, false); }
bool Drops(QWidget* box, const QList<QUrl>& urls) { return Drag(box, urls, true); }

}  // namespace

class WatchWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> m_dir;
  fs::path m_root, m_source, m_destination, m_moveTo, m_prefs;
  std::unique_ptr<QWidget> m_window;
  std::unique_ptr<ScriptedUserPrompts> m_prompts;
  std::unique_ptr<RecordingWorkspace> m_workspace;
  std::unique_ptr<WatchFolderController> m_c;

  // A controller as the window makes one at launch.
  void Launch(bool loadSettings = true) {
    m_c.reset();
    m_c = std::make_unique<WatchFolderController>(m_window.get(), *m_prompts, *m_workspace,
                                                  WatchSettingsStore(m_prefs));
    m_c->DoWatchFolderFilesManipulation(nullptr);
    if (loadSettings) {
      m_c->StartAutoWatchFolder();
      QTRY_VERIFY_WITH_TIMEOUT(m_c->isLoaded(), kDeadline);
    }
    m_c->OpenWatchFolderPreferences();
  }

  // The settings are written off the main thread: what has been changed is
  // in the file once the controller has nothing left to write.
  void Settle() {
    if (m_c) QVERIFY(QTest::qWaitFor([&] { return !m_c->isSaving(); }, kDeadline));
  }
  QJsonObject Prefs() {
    Settle();
    return samples::ReadPlistIndependently(m_prefs);
  }
  QStringList Keys() {
    QStringList keys = Prefs().keys();
    keys.sort();
    return keys;
  }
  QByteArray PrefsBytes() {
    Settle();
    QFile f(QFile::decodeName(m_prefs.c_str()));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  bool IsBoolean(const QString& key, bool value) {
    const QJsonObject p = Prefs();
    return PlistType(p, key) == u"bool" && p[key].toArray()[1].toBool() == value;
  }

  // Chooses a folder with a choose button and the panel.
  void Choose(QPushButton* button, const fs::path& folder) {
    const int before = m_prompts->completedPanels;
    m_prompts->AnswerNextPanel({folder});
    button->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompts->completedPanels, before + 1, kDeadline);
  }

  // Fills the sheet's slots and the choice.
  void Fill(const fs::path& source, const fs::path& destination, SourceDisposal disposal) {
    Choose(m_c->selectSourceWatchFolderButtonOutlet, source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, destination);
    m_c->disposalButton(disposal)->click();
    if (disposal == SourceDisposal::MoveToFolder) Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
  }
  void SetUpFolders(SourceDisposal disposal) {
    Launch();
    Fill(m_source, m_destination, disposal);
  }

  // Adds a folder through the sheet's Add button and starts it.
  void AddAndStart(const fs::path& source, const fs::path& destination, SourceDisposal disposal) {
    fs::create_directories(source);
    fs::create_directories(destination);
    m_c->addWatchFolderButton->click();
    QVERIFY(m_c->watchFolderSourcePathTextField->text().isEmpty() && !m_c->isWatching());
    Fill(source, destination, disposal);
    m_c->watchButtonOutlet->click();
  }

  // Selects the list's row of a folder by its source.
  void Select(const fs::path& source) {
    QTreeWidget* list = m_c->watchFoldersList;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
      if (list->topLevelItem(row)->text(1) == Shown(source)) list->setCurrentItem(list->topLevelItem(row));
    }
    QCOMPARE(list->currentItem()->text(1), Shown(source));
  }

  // Whether every control that changes the folder is enabled (or, with
  // enabled false, disabled), the open buttons aside.
  bool ControlsEnabled(bool enabled) {
    bool all = m_c->watchFolderSourcePathTextField->isEnabled() == enabled &&
               m_c->selectSourceWatchFolderButtonOutlet->isEnabled() == enabled &&
               m_c->watchFolderDestinationPathTextField->isEnabled() == enabled &&
               m_c->selectDestinationWatchFolderButtonOutlet->isEnabled() == enabled &&
               m_c->watchCompressPDFFileButton->isEnabled() == enabled &&
               m_c->watchPdfPresetPopUp->isEnabled() == enabled;
    for (QAbstractButton* cell : m_c->sourceFileDeletOrMoveMatrixOutlet->buttons()) {
      all = all && cell->isEnabled() == enabled;
    }
    return all;
  }

 private Q_SLOTS:
  void initTestCase() {
    InstallStringTable();
    qunsetenv("QUILLPRESS_PSTOPDF");
  }

  void init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = fs::path(QFile::encodeName(m_dir->path()).toStdString());
    m_source = m_root / "in";
    m_destination = m_root / "out";
    m_moveTo = m_root / "done";
    for (const auto& f : {m_source, m_destination, m_moveTo}) fs::create_directories(f);
    m_prefs = m_root / "config" / "Preferences" / "org.quillpress.Quillpress-WatchFolderPref.plist";
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->path()) + "/xdg");
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->path()) + "/state");
    m_window = std::make_unique<QWidget>();
    m_window->resize(600, 400);
    m_window->show();
    m_prompts = std::make_unique<ScriptedUserPrompts>();
    m_workspace = std::make_unique<RecordingWorkspace>();
  }

  void cleanup() {
    m_c.reset();
    m_window.reset();
    // Names that are not UTF-8 are beyond QTemporaryDir's own clean-up.
    std::error_code ec;
    fs::remove_all(m_root, ec);
    BMTUtil::SetRunningSystemVersionForTesting(nullptr);
  }

  void firstLaunchWritesDefaultsAndTheSheetShowsItsTexts() {
    for (const char* content : {"", "not a property list"}) {
      // No file, then one that is not a dictionary: the defaults.
      if (*content) samples::WriteFile(m_prefs, content);
      Launch();
      QCOMPARE(Keys(), (QStringList{"IsWatching", "MoveToDestinationOption"}));
      QCOMPARE(PlistType(Prefs(), "MoveToDestinationOption"), QStringLiteral("int"));
      QCOMPARE(PlistInteger(Prefs(), "MoveToDestinationOption"), 2);
      QVERIFY(IsBoolean("IsWatching", false));
    }
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::MoveToDestination);
    QVERIFY(!m_c->watchButtonOutlet->isEnabled() && !m_c->isWatching());

    // The sheet: window-modal on the window, every text from the table.
    QDialog* sheet = m_c->preferencesDialogOutlet;
    QVERIFY(sheet->isVisible());
    QCOMPARE(sheet->parentWidget(), m_window.get());
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    QVERIFY(!sheet->windowTitle().isEmpty());
    for (QAbstractButton* b : sheet->findChildren<QAbstractButton*>()) {
      QVERIFY2(!b->text().isEmpty(), qPrintable(b->objectName()));
    }
    for (QLabel* l : sheet->findChildren<QLabel*>()) QVERIFY2(!l->text().isEmpty(), qPrintable(l->objectName()));
    for (QLineEdit* field : sheet->findChildren<QLineEdit*>()) {
      QVERIFY(!field->isReadOnly());  // paths can be typed or pasted
      QVERIFY(field->text().isEmpty());
    }
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
    QVERIFY(!m_c->isSpinning());
    m_c->doneButton->click();
    QVERIFY(!sheet->isVisible());
  }

  void aSettingsFileThatDoesNotAnswerLeavesTheWindowFree() {
    // A settings file whose reads block, as on a network mount that hangs.
    fs::create_directories(m_prefs.parent_path());
    QCOMPARE(mkfifo(m_prefs.c_str(), 0600), 0);
    m_c = std::make_unique<WatchFolderController>(m_window.get(), *m_prompts, *m_workspace,
                                                  WatchSettingsStore(m_prefs));
    m_c->StartAutoWatchFolder();
    m_c->OpenWatchFolderPreferences();
    QVERIFY(m_c->preferencesDialogOutlet->isVisible() && !m_c->isLoaded());
    // Nothing can be changed until the settings are read, so that nothing
    // is lost to them.
    QVERIFY(ControlsEnabled(false) && !m_c->addWatchFolderButton->isEnabled());
    m_c->doneButton->click();
    QVERIFY(!m_c->preferencesDialogOutlet->isVisible());
    // Once the file answers, it is read.
    std::thread answer([this] {
      std::ofstream(m_prefs) << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                "<key>MoveToDestinationOption</key><integer>1</integer></dict></plist>";
    });
    QTRY_VERIFY_WITH_TIMEOUT(m_c->isLoaded(), kDeadline);
    answer.join();
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::Delete);
    QVERIFY(ControlsEnabled(true) && m_c->addWatchFolderButton->isEnabled());
  }

  void foldersChosenInThePanelAndTheChoiceAreShownAndStored() {
    Launch();
    // Nothing to open yet; a cancelled panel changes nothing.
    m_c->openSourceWatchFolderButtonOutlet->click();
    m_c->openDestinationWatchFolderButtonOutlet->click();
    QVERIFY(m_workspace->opened.empty());
    const QByteArray before = PrefsBytes();
    m_c->selectSourceWatchFolderButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompts->completedPanels, 1, kDeadline);
    QVERIFY(!m_c->watchFolderSourceURL());
    QCOMPARE(PrefsBytes(), before);

    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    const OpenPanelRequest& panel = m_prompts->panels.back();
    QCOMPARE(panel.title, LocalizedString("WatchSourceChooserTitle"));
    QCOMPARE(panel.prompt, LocalizedString("OpenFileDialogButton"));
    QVERIFY(!panel.canChooseFiles && panel.canChooseDirectories && !panel.allowsMultipleSelection &&
            panel.canCreateDirectories);
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(m_source));
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    QCOMPARE(m_c->watchFolderSourcePathTextField->toolTip(), Shown(m_source));
    QCOMPARE(Keys(), (QStringList{"IsWatching", "MoveToDestinationOption", "SourceURL"}));
    QCOMPARE(PlistType(Prefs(), "SourceURL"), QStringLiteral("data"));
    const QByteArray stored = PlistData(Prefs(), "SourceURL");
    QCOMPARE(ResolveFolderBookmark(std::vector<char>(stored.begin(), stored.end())),
             std::optional<fs::path>(m_source));
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());

    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    QCOMPARE(m_prompts->panels.back().title, LocalizedString("OpenDestinationDialogTitle"));
    QCOMPARE(m_c->watchFolderDestinationPathTextField->text(), Shown(m_destination));
    QVERIFY(Keys().contains("DestinationURL"));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());

    // Choice 3 (clicked on its label) needs the move-to folder too, whose
    // controls it enables and whose path it draws undimmed.
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::MoveToDestination);
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled() &&
            !m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());
    QAbstractButton* third = m_c->disposalButton(SourceDisposal::MoveToFolder);
    QTest::mouseClick(third, Qt::LeftButton, Qt::NoModifier, QPoint(6, third->height() / 2));
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::MoveToFolder);
    QCOMPARE(PlistInteger(Prefs(), "MoveToDestinationOption"), 3);
    QVERIFY(m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());
    QLineEdit* moveField = m_c->watchFolderMoveFilesPathTextField;
    QVERIFY(moveField->palette().color(QPalette::Active, QPalette::Text) !=
            moveField->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
    QCOMPARE(m_prompts->panels.back().title, LocalizedString("WatchMoveFilesChooserTitle"));
    QCOMPARE(moveField->text(), Shown(m_moveTo));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    QCOMPARE(Keys(), (QStringList{"DestinationURL", "IsWatching", "MoveDestinationURL", "MoveToDestinationOption",
                                  "SourceURL"}));
    QVERIFY(PlistData(Prefs(), "MoveDestinationURL").contains(Bytes(m_moveTo)));

    // The open buttons open what the slots hold.
    m_c->openSourceWatchFolderButtonOutlet->click();
    m_c->openDestinationWatchFolderButtonOutlet->click();
    m_c->openMoveFilesWatchFolderButtonOutlet->click();
    QCOMPARE(m_workspace->opened, (std::vector<QUrl>{UrlOf(m_source), UrlOf(m_destination), UrlOf(m_moveTo)}));

    m_c->disposalButton(SourceDisposal::Delete)->click();
    QCOMPARE(PlistInteger(Prefs(), "MoveToDestinationOption"), 1);
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
  }

  void oneFolderDroppedOnABoxIsTaken() {
    Launch();
    const fs::path odd = m_root / std::string("caf\xe9-\xff");  // not UTF-8
    fs::create_directories(odd);
    samples::WriteFile(m_root / "file.ps", samples::OnePagePostScript());
    QWidget* source = m_c->watchFolderSourcePathViewCntr;

    for (const QList<QUrl>& refused :
         {QList<QUrl>{UrlOf(m_source), UrlOf(m_destination)}, QList<QUrl>{UrlOf(m_root / "file.ps")},
          QList<QUrl>{UrlOf(m_root / "missing")}, QList<QUrl>{QUrl(QStringLiteral("https://example.org/f"))},
          QList<QUrl>{}}) {
      QVERIFY(!DragEnters(source, refused));
      QVERIFY(!Drops(source, refused));
    }
    QVERIFY(!m_c->watchFolderSourceURL() && m_c->watchFolderSourcePathTextField->text().isEmpty());
    QVERIFY(!Keys().contains("SourceURL"));

    QVERIFY(DragEnters(source, {UrlOf(odd)}));
    QVERIFY(Drops(source, {UrlOf(odd)}));
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(odd));
    QVERIFY(PlistData(Prefs(), "SourceURL").contains(Bytes(odd)));
    QVERIFY(Drops(m_c->watchFolderDestinationPathViewCntr, {UrlOf(m_destination)}));
    QCOMPARE(m_c->watchFolderDestinationURL(), std::optional<fs::path>(m_destination));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());

    // The move-to box takes a folder also while the choice does not use it;
    // its path is then drawn dimmed.
    QVERIFY(Drops(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_moveTo)}));
    QCOMPARE(m_c->watchFolderMoveFilesURL(), std::optional<fs::path>(m_moveTo));
    QVERIFY(PlistData(Prefs(), "MoveDestinationURL").contains(Bytes(m_moveTo)));
    QLineEdit* moveField = m_c->watchFolderMoveFilesPathTextField;
    QCOMPARE(moveField->text(), Shown(m_moveTo));
    QCOMPARE(moveField->palette().color(QPalette::Active, QPalette::Text),
             moveField->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
  }

  void refusalsAreShownAndChangeNothing() {
    // Source and destination the same, with choice 3 and no move-to folder:
    // the first check speaks.
    Launch();
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_source);
    m_c->disposalButton(SourceDisposal::MoveToFolder)->click();
    QByteArray before = PrefsBytes();
    m_c->DoFolderWatch(m_c->watchButtonOutlet);
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    const ScriptedUserPrompts::Alert alert = m_prompts->alerts.back();
    QCOMPARE(alert.title, LocalizedString("SourceWatchAndDestSameMsg"));
    QVERIFY(!alert.title.isEmpty() && alert.message.isEmpty() && alert.alternateButton.isEmpty());
    QCOMPARE(alert.defaultButton, LocalizedString("OkButtonString"));
    QVERIFY(!m_c->isWatching());
    QCOMPARE(PrefsBytes(), before);

    // A source removed after it was chosen.
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    m_c->disposalButton(SourceDisposal::Delete)->click();
    fs::remove_all(m_source);
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(2));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFolderCannotWatchMsg"));
    QVERIFY(!m_c->isWatching() && m_c->selectSourceWatchFolderButtonOutlet->isEnabled());
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
    QCOMPARE(PlistInteger(Prefs(), "MoveToDestinationOption"), 1);
    QVERIFY(IsBoolean("IsWatching", false));
  }

  // Seen in the PDF: the archive preset's metadata, the compression's object
  // streams. Read back at the next launch; back at the defaults, the keys
  // go, so that a file that never had them stays as it was.
  void thePdfSettingsReachTheConverterAndAreStoredOnlyWhenNotTheDefault() {
    SetUpFolders(SourceDisposal::Delete);
    QComboBox* presets = m_c->watchPdfPresetPopUp;
    QCOMPARE(presets->count(), int(kAllPdfPresets.size()));
    QCOMPARE(m_c->selectedPreset(), PdfPreset::Faithful);
    QVERIFY(!m_c->watchCompressPDFFileButton->isChecked());
    m_c->watchCompressPDFFileButton->click();
    presets->setCurrentIndex(presets->findData(QStringLiteral("pdfa-2b")));
    Q_EMIT presets->activated(presets->currentIndex());
    QCOMPARE(PlistType(Prefs(), "PDFPreset"), QStringLiteral("str"));
    QVERIFY(IsBoolean("CompressPDF", true));
    samples::WriteFile(m_source / "kept.ps", samples::OnePagePostScript());
    m_c->watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "kept.pdf") && samples::ListTree(m_source).empty(),
                             kDeadline);
    const std::string pdf = samples::ReadAll(m_destination / "kept.pdf");
    QVERIFY(pdf.find("/ObjStm") != std::string::npos && pdf.find("pdfaid") != std::string::npos);
    m_c->watchButtonOutlet->click();

    Launch();
    QCOMPARE(m_c->selectedPreset(), PdfPreset::PdfA2b);
    QVERIFY(m_c->watchCompressPDFFileButton->isChecked());
    presets = m_c->watchPdfPresetPopUp;
    presets->setCurrentIndex(presets->findData(QStringLiteral("faithful")));
    Q_EMIT presets->activated(presets->currentIndex());
    m_c->watchCompressPDFFileButton->click();
    QCOMPARE(Keys(), (QStringList{"DestinationURL", "IsWatching", "MoveToDestinationOption", "SourceURL"}));
  }

  void watchingDeletesOrMovesAsChosenWithTheControlsLocked() {
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
      samples::WriteFile(m_source / ("f" + std::to_string(i) + ".ps"),
                         samples::PostScriptWithPages(std::vector<std::pair<int, int>>(8, {400, 400})));
      expected.push_back("f" + std::to_string(i) + ".pdf");
    }
    SetUpFolders(SourceDisposal::Delete);
    int converted = 0;
    connect(m_c.get(), &WatchFolderController::watchEvent, this,
            [&](const WatchEvent& o) { converted += o.kind == WatchEvent::Kind::Converted ? 1 : 0; });
    QSignalSpy changes(m_c.get(), &WatchFolderController::watchingChanged);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QCOMPARE(changes.size(), 1);
    QVERIFY(IsBoolean("IsWatching", true));
    QTRY_VERIFY_WITH_TIMEOUT(converted >= 1, kDeadline);

    // Locked while watching; the open buttons stay usable; nothing can be
    // dropped.
    QVERIFY(ControlsEnabled(false));
    QVERIFY(m_c->openSourceWatchFolderButtonOutlet->isEnabled() &&
            m_c->openDestinationWatchFolderButtonOutlet->isEnabled() && m_c->watchButtonOutlet->isEnabled());
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StopWatchingButtonTitle"));
    QVERIFY(m_c->isSpinning() && m_c->watchingSpinningProgressOutlet->isVisible());
    QVERIFY(!DragEnters(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}));
    QVERIFY(!Drops(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}));
    QVERIFY(!Drops(m_c->watchFolderDestinationPathViewCntr, {UrlOf(m_moveTo)}));
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(m_source));
    QCOMPARE(m_c->watchFolderDestinationURL(), std::optional<fs::path>(m_destination));

    // Stop: unlocked and recorded.
    m_c->watchButtonOutlet->click();
    QVERIFY(!m_c->isWatching());
    QCOMPARE(changes.size(), 2);
    QVERIFY(IsBoolean("IsWatching", false));
    QVERIFY(ControlsEnabled(true));
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());  // choice 1
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
    QVERIFY(!m_c->isSpinning());
    QVERIFY(DragEnters(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}));
    // Stopped with work in hand and started again at once: each file is
    // converted once and its source deleted.
    m_c->watchButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(samples::ListTree(m_source), std::vector<std::string>{}, kDeadline);
    QCOMPARE(samples::ListTree(m_destination), expected);
    m_c->watchButtonOutlet->click();

    // Choice 3: into the move-to folder, whose controls are locked too.
    m_c->disposalButton(SourceDisposal::MoveToFolder)->click();
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
    samples::WriteFile(m_source / "plan.ps", samples::OnePagePostScript());
    m_c->watchButtonOutlet->click();
    QVERIFY(!m_c->watchFolderMoveFilesPathTextField->isEnabled() &&
            !m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(!Drops(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_root)}));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_moveTo / "plan.ps") && fs::exists(m_destination / "plan.pdf"),
                             kDeadline);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->watchFolderMoveFilesPathTextField->isEnabled() &&
            m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
  }

  void watchingResumesAtLaunchWhereTheFoldersAre() {
    SetUpFolders(SourceDisposal::MoveToFolder);
    m_c->watchButtonOutlet->click();
    // Leaving the application does not stop watching in the file.
    m_c.reset();
    QVERIFY(IsBoolean("IsWatching", true));
    const QByteArray moveTo = PlistData(Prefs(), "MoveDestinationURL");

    // The move-to folder renamed: found at its new place, its bookmark kept.
    samples::WriteFile(m_source / "waiting.ps", samples::OnePagePostScript());
    fs::rename(m_moveTo, m_root / "finished");
    Launch();
    QVERIFY(m_c->isWatching());
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::MoveToFolder);
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    QCOMPARE(m_c->watchFolderDestinationPathTextField->text(), Shown(m_destination));
    QCOMPARE(m_c->watchFolderMoveFilesPathTextField->text(), Shown(m_root / "finished"));
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StopWatchingButtonTitle"));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_root / "finished" / "waiting.ps") &&
                                 fs::exists(m_destination / "waiting.pdf"),
                             kDeadline);
    QCOMPARE(PlistData(Prefs(), "MoveDestinationURL"), moveTo);
    m_c.reset();

    // The move-to folder gone: refused as it is stored (its files are never
    // put elsewhere than chosen), and the choice stays.
    fs::remove_all(m_root / "finished");
    Launch();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFolderNoDestinationMsg"));
    QVERIFY(!m_c->isWatching());
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::MoveToFolder);
    QCOMPARE(PlistInteger(Prefs(), "MoveToDestinationOption"), 3);
    m_c->disposalButton(SourceDisposal::Delete)->click();
    m_c.reset();

    // The source folder gone: waited for, as every folder is.
    fs::remove_all(m_source);
    Launch();
    QCOMPARE(m_c->stateOf(0), WatchFolderState::Waiting);
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    QVERIFY(IsBoolean("IsWatching", true));

    // A resume that fails the checks shows the alert.
    m_c->watchButtonOutlet->click();
    fs::create_directories(m_source);
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_source);
    Settle();
    QVERIFY(WatchSettingsStore(m_prefs).SetOn(0, true));
    Launch();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(2));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("SourceWatchAndDestSameMsg"));
    QVERIFY(!m_c->isWatching());

    // Not watching when it was stopped.
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    m_c->watchButtonOutlet->click();
    m_c->watchButtonOutlet->click();
    Launch();
    QVERIFY(!m_c->isWatching() && m_c->watchButtonOutlet->isEnabled());
  }

  void olderPlatformKeepsFoldersInMemoryOnly() {
    const BMTUtil::SystemVersion older{10, 7, 2};
    BMTUtil::SetRunningSystemVersionForTesting(&older);
    Launch(false);  // the window does not load the file on such a platform
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    QVERIFY(!fs::exists(m_prefs));
    m_c->disposalButton(SourceDisposal::Delete)->click();
    QCOMPARE(Keys(), QStringList{"MoveToDestinationOption"});
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QCOMPARE(Keys(), (QStringList{"IsWatching", "MoveToDestinationOption"}));
    samples::WriteFile(m_source / "old.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "old.pdf") && !fs::exists(m_source / "old.ps"), kDeadline);
  }

  void theActivityListTheStateAndTheFailureNotice() {
    samples::WriteFile(m_source / "good.ps", samples::OnePagePostScript());
    SetUpFolders(SourceDisposal::Delete);
    std::vector<QString> notices;
    m_c->setFailureNotifier([&](const QString& title, const QString& body) { notices.push_back(title + body); });
    bool onMainThread = true;
    connect(m_c.get(), &WatchFolderController::watchEvent, this,
            [&] { onMainThread = onMainThread && QThread::currentThread() == qApp->thread(); });
    QCOMPARE(m_c->watchStateLabel->text(), LocalizedString("WatchStateOff"));
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_c->watchStateLabel->text(), LocalizedString("WatchStateWatching"));
    QTreeWidget* list = m_c->watchActivityList;
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 3, kDeadline);
    QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("good.ps"));
    QCOMPARE(list->topLevelItem(0)->text(2), LocalizedString("WatchEventDeleted"));
    QCOMPARE(list->topLevelItem(1)->text(2), LocalizedString("WatchEventConverted") + QStringLiteral(": good.pdf"));
    QCOMPARE(list->topLevelItem(2)->text(2), LocalizedString("WatchEventStarted") + QStringLiteral(": out"));
    QVERIFY(!list->topLevelItem(0)->font(0).bold());

    // A failure while the window is not in front: at the top, standing out,
    // and told on the desktop.
    m_window->hide();
    // Named to fool whoever reads it: shown escaped.
    const fs::path bad = m_source / "bad\x1b[8m\n.ps";
    samples::WriteFile(bad, "%!PS-Adobe-3.0\n/undefinedname-here cvx exec\nshowpage\n");
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 4, kDeadline);
    QTreeWidgetItem* failed = list->topLevelItem(0);
    QCOMPARE(failed->text(1), QStringLiteral("bad\\x1b[8m\\n.ps"));
    QCOMPARE(failed->text(2), LocalizedString("WatchEventFailed"));
    QVERIFY(failed->text(3).contains(QStringLiteral("undefinedname-here")));
    QVERIFY(failed->font(1).bold());
    QVERIFY(failed->foreground(1).color() != list->topLevelItem(1)->foreground(1).color());
    QCOMPARE(notices.size(), std::size_t(1));
    QVERIFY(notices[0].contains(QStringLiteral("bad\\x1b[8m\\n.ps")));
    QVERIFY(m_c->watchFoldersList->topLevelItem(0)->text(3).contains(QStringLiteral("1")));  // its failures

    // A double click shows the file in the file viewer.
    m_window->show();
    m_c->OpenWatchFolderPreferences();
    QVERIFY(QTest::qWaitForWindowExposed(m_c->preferencesDialogOutlet));
    const QRect at = list->visualItemRect(failed);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at.center());
    QCOMPARE(m_workspace->revealed, std::vector<fs::path>{bad});

    // The folder gone and back.
    fs::remove_all(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(m_c->watchStateLabel->text(), LocalizedString("WatchStateWaiting"), kDeadline);
    QVERIFY(m_c->isWatching());
    QCOMPARE(list->topLevelItem(0)->text(2), LocalizedString("WatchEventFolderGone"));
    fs::create_directories(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(m_c->watchStateLabel->text(), LocalizedString("WatchStateWatching"), kDeadline);
    QVERIFY(onMainThread);
  }

  void severalFoldersInTheList() {
    SetUpFolders(SourceDisposal::Delete);
    m_c->watchButtonOutlet->click();
    QTreeWidget* list = m_c->watchFoldersList;
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("in"));
    QCOMPARE(list->topLevelItem(0)->text(1), Shown(m_source));
    QCOMPARE(list->topLevelItem(0)->text(2), Shown(m_destination));
    QCOMPARE(list->topLevelItem(0)->text(3), LocalizedString("WatchStateWatching"));

    // A second folder, added and set up in the same slots.
    const fs::path in2 = m_root / "in2", out2 = m_root / "out2";
    AddAndStart(in2, out2, SourceDisposal::Delete);
    QCOMPARE(m_c->editedFolder(), std::size_t(1));
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(list->topLevelItem(1)->checkState(0), Qt::Checked);
    samples::WriteFile(in2 / "second.ps", samples::OnePagePostScript());
    samples::WriteFile(m_source / "first.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(out2 / "second.pdf") && fs::exists(m_destination / "first.pdf"), kDeadline);
    // The first file keeps its keys; the second folder is stored beside it.
    QCOMPARE(Keys(), (QStringList{"DestinationURL", "IsWatching", "MoveToDestinationOption", "SourceURL"}));
    QVERIFY(fs::exists(m_prefs.parent_path() / "org.quillpress.Quillpress-WatchFolders.plist"));

    // A third whose source is the first's destination is refused, and
    // removed before it was ever stored.
    AddAndStart(m_destination, m_moveTo, SourceDisposal::MoveToDestination);
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFoldersLoopMsg"));
    QVERIFY(!m_c->isWatching());
    list->setCurrentItem(list->topLevelItem(2));
    m_c->removeWatchFolderButton->click();
    QCOMPARE(list->topLevelItemCount(), 2);

    // The first switched off in the list; the second stays on.
    list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    QCOMPARE(m_c->stateOf(0), WatchFolderState::Off);
    QVERIFY(IsBoolean("IsWatching", false));
    QCOMPARE(m_c->stateOf(1), WatchFolderState::Watching);

    // At the next launch the second resumes, the first does not; edited, its
    // slots show its folders; removed, it stops.
    Launch();
    QCOMPARE(m_c->stateOf(1), WatchFolderState::Watching);
    QCOMPARE(m_c->stateOf(0), WatchFolderState::Off);
    list = m_c->watchFoldersList;
    QCOMPARE(list->topLevelItemCount(), 2);
    Select(in2);
    m_c->editWatchFolderButton->click();
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(in2));
    QVERIFY(m_c->isWatching());
    m_c->removeWatchFolderButton->click();
    QCOMPARE(list->topLevelItemCount(), 1);
    QVERIFY(!m_c->service().anyRunning());
    QCOMPARE(m_c->editedFolder(), std::size_t(0));
  }

  void removingOrEditingAFolderLeavesTheOthersRunning() {
    SetUpFolders(SourceDisposal::Delete);
    m_c->watchButtonOutlet->click();
    const fs::path in2 = m_root / "in2", in3 = m_root / "in3", out3 = m_root / "out3";
    AddAndStart(in2, m_root / "out2", SourceDisposal::Delete);
    AddAndStart(in3, out3, SourceDisposal::MoveToDestination);
    std::vector<WatchEvent> events;
    connect(m_c.get(), &WatchFolderController::watchEvent, this, [&](const WatchEvent& e) { events.push_back(e); });
    // A long file in hand in the last folder.
    samples::WriteFile(in3 / "long.ps", samples::PostScriptWithPages(std::vector<std::pair<int, int>>(60, {612, 792})));
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(in3 / "long.ps"), kDeadline);  // claimed

    // The first removed, the second stopped, given another destination and
    // started again, all through the sheet's buttons.
    Select(m_source);
    m_c->removeWatchFolderButton->click();
    Select(in2);
    m_c->editWatchFolderButton->click();
    m_c->watchButtonOutlet->click();
    const fs::path other = m_root / "other";
    fs::create_directories(other);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, other);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());

    samples::WriteFile(in2 / "two.ps", samples::OnePagePostScript());
    // The events come over a queue after the files have moved: wait for the
    // third's move to be told.
    auto told = [&](WatchEvent::Kind kind) {
      return std::count_if(events.begin(), events.end(), [&](const WatchEvent& e) {
        return (e.file.parent_path() == in3 || e.file == in3) && e.kind == kind;
      });
    };
    QTRY_VERIFY_WITH_TIMEOUT(told(WatchEvent::Kind::Moved) == 1 && fs::exists(other / "two.pdf"), kDeadline);
    // The third was never stopped: its file converted once, without a pause.
    for (const WatchEvent& e : events) {
      const bool third = e.file.parent_path() == in3 || e.file == in3;
      QVERIFY2(!third || e.kind == WatchEvent::Kind::Converted || e.kind == WatchEvent::Kind::Moved, e.file.c_str());
    }
    QCOMPARE(told(WatchEvent::Kind::Converted), 1);
    QVERIFY(fs::exists(out3 / "long.pdf"));
  }
};

QTEST_MAIN(WatchWindowTest)
#include "tst_watch_window.moc"
