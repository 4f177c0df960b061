// The watch folder settings sheet driven as a user does: folders chosen in
// the panel or dropped on the boxes, the choice, the watch button and the
// list of folders, real conversions of files arriving in the source folders,
// and the settings file read back with a reader of its own; and the sheet in
// the application's window (WindowTestFixture.h), which resumes watching at
// launch and asks before quitting while it watches.

#include "../window/WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "platform/Bookmark.h"
#include "platform/LocalizedString.h"
#include "platform/Workspace.h"
#include "watch/WatchFolderController.h"

#include "BMTUtil.h"
#include "IndependentPlist.h"
#include "PostScriptSamples.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QThread>
#include <QTreeWidget>

#include <sys/stat.h>

#include <thread>

using namespace samples;

namespace {

constexpr int kDeadline = 120000;

QByteArray Bytes(const fs::path& path) { return QByteArray::fromStdString(path.native()); }
QString Shown(const fs::path& path) { return QFile::decodeName(Bytes(path)); }
QUrl UrlOf(const fs::path& path) { return FileUrlForPath(path); }
std::optional<WatchFolderEntry> FirstFolder() { return WatchSettingsStore().Read().folders.at(0); }

// Drags these URLs over the box and drops them, the events handed to the
// box as the window hands them on once it has found the box under the
// pointer (sent through the application, a drop would go to whatever widget
// the drag manager last saw): 1 when the box offers to take them as the drag
// enters, plus 2 when it took them at the drop.
int Takes(QObject* box, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
  QDragEnterEvent enter(QPoint(4, 4), actions, &mime, Qt::LeftButton, Qt::NoModifier);
  QDragMoveEvent move(QPoint(6, 6), actions, &mime, Qt::LeftButton, Qt::NoModifier);
  QDropEvent drop(QPointF(6, 6), actions, &mime, Qt::LeftButton, Qt::NoModifier);
  enter.ignore();
  drop.ignore();
  for (QEvent* event : std::initializer_list<QEvent*>{&enter, &move, &drop}) box->event(event);
  return (enter.isAccepted() && enter.dropAction() == Qt::CopyAction ? 1 : 0) + (drop.isAccepted() ? 2 : 0);
}

}  // namespace

class WatchWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_dir;
  fs::path m_root, m_source, m_destination, m_moveTo, m_prefs;
  std::unique_ptr<QWidget> m_window;
  std::unique_ptr<ScriptedUserPrompts> m_prompts;
  std::unique_ptr<RecordingWorkspace> m_workspace;
  std::unique_ptr<WatchFolderController> m_c;

  // A controller as the window makes one at launch, once it has read the
  // settings unless told not to wait.
  void Launch(bool loadSettings = true, bool wait = true) {
    m_c.reset();
    m_c = std::make_unique<WatchFolderController>(m_window.get(), *m_prompts, *m_workspace, WatchSettingsStore(m_prefs));
    m_c->DoWatchFolderFilesManipulation(nullptr);
    if (loadSettings) m_c->StartAutoWatchFolder();
    m_c->OpenWatchFolderPreferences();
    QTRY_VERIFY_WITH_TIMEOUT(!wait || m_c->isLoaded(), kDeadline);
  }
  // The settings file once written: the controller writes off the main
  // thread, and has written what was changed once it has nothing left.
  QByteArray PrefsBytes() {
    if (m_c && !QTest::qWaitFor([&] { return !m_c->isSaving(); }, kDeadline)) return "still saving";
    return QByteArray::fromStdString(ReadAll(m_prefs));
  }
  QJsonObject Prefs() { return PrefsBytes().isEmpty() ? QJsonObject() : ReadPlistIndependently(m_prefs); }
  QStringList Keys() { return Prefs().keys(); }  // sorted
  // A stored value as [type, value].
  QJsonArray Pref(const char* key) { return Prefs()[QLatin1String(key)].toArray(); }

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
  // Adds a folder through the sheet's Add button and starts it.
  void AddAndStart(const fs::path& source, const fs::path& destination, SourceDisposal disposal) {
    for (const fs::path& folder : {source, destination}) fs::create_directories(folder);
    m_c->addWatchFolderButton->click();
    QVERIFY(m_c->watchFolderSourcePathTextField->text().isEmpty() && !m_c->isWatching());
    Fill(source, destination, disposal);
    m_c->watchButtonOutlet->click();
  }
  // Selects the list's row of a folder by its source.
  void Select(const fs::path& source) {
    const QList<QTreeWidgetItem*> found = m_c->watchFoldersList->findItems(Shown(source), Qt::MatchExactly, 1);
    QCOMPARE(found.size(), 1);
    m_c->watchFoldersList->setCurrentItem(found.front());
  }
  // The texts of a row of a list; none when there is no such row.
  static QStringList Row(QTreeWidget* list, int row) {
    QStringList texts;
    for (int column = 0; list->topLevelItem(row) && column < 4; ++column) texts << list->topLevelItem(row)->text(column);
    return texts;
  }
  void ChoosePreset(const char* name) {
    QTest::keyClicks(m_c->watchPdfPresetPopUp, m_c->watchPdfPresetPopUp->itemText(m_c->watchPdfPresetPopUp->findData(name)));
  }
  // Whether every control that changes the folder is enabled (or, with
  // enabled false, disabled), the open buttons aside.
  bool ControlsEnabled(bool enabled) {
    QList<QWidget*> all = {m_c->watchFolderSourcePathTextField, m_c->selectSourceWatchFolderButtonOutlet,
                           m_c->watchFolderDestinationPathTextField, m_c->selectDestinationWatchFolderButtonOutlet,
                           m_c->watchCompressPDFFileButton, m_c->watchPdfPresetPopUp};
    for (QAbstractButton* cell : m_c->sourceFileDeletOrMoveMatrixOutlet->buttons()) all << cell;
    return std::all_of(all.begin(), all.end(), [&](QWidget* w) { return w->isEnabled() == enabled; });
  }

 private Q_SLOTS:
  void initTestCase() {
    InstallStringTable();
    qunsetenv("QUILLPRESS_PSTOPDF");
    qputenv("TMPDIR", m_dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()) + "/xdg");
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path()) + "/state");
  }

  void init() {
    static int run = 0;
    m_root = fs::path(QFile::encodeName(m_dir.path()).toStdString()) / std::to_string(++run);
    std::tie(m_source, m_destination, m_moveTo) = std::tuple(m_root / "in", m_root / "out", m_root / "done");
    for (const auto& f : {m_source, m_destination, m_moveTo}) fs::create_directories(f);
    m_prefs = m_root / "config" / "Preferences" / "org.quillpress.Quillpress-WatchFolderPref.plist";
    m_window = std::make_unique<QWidget>();
    m_window->show();
    m_prompts = std::make_unique<ScriptedUserPrompts>();
    m_workspace = std::make_unique<RecordingWorkspace>();
  }

  void cleanup() {
    m_c.reset();
    m_window.reset();
    BMTUtil::SetRunningSystemVersionForTesting(nullptr);
    // Names that are not UTF-8 are beyond QTemporaryDir's own clean-up.
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }

  void aSettingsFileThatDoesNotAnswerLeavesTheWindowFree() {
    // A settings file whose reads block, as on a network mount that hangs.
    fs::create_directories(m_prefs.parent_path());
    QCOMPARE(mkfifo(m_prefs.c_str(), 0600), 0);
    Launch(true, false);
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

  // The first launch writes the defaults; the sheet shows its texts. The
  // slots are filled through the panel and by drops, the choice made and
  // the open buttons used, each shown and stored at once; then the
  // refusals, which change nothing.
  void theSheetItsSlotsTheChoiceAndTheRefusals() {
    for (const char* content : {"", "not a property list"}) {
      // No file, then one that is not a dictionary: the defaults.
      if (*content) ::WriteFile(m_prefs, content);
      Launch();
      QCOMPARE(Prefs(), (QJsonObject{{"IsWatching", QJsonArray{"bool", false}}, {"MoveToDestinationOption", QJsonArray{"int", 2}}}));
    }
    QCOMPARE(m_c->selectedDisposal(), SourceDisposal::MoveToDestination);
    QVERIFY(!m_c->watchButtonOutlet->isEnabled() && !m_c->isWatching() && !m_c->isSpinning());
    // The sheet: window-modal on the window, every text from the table, and
    // paths can be typed or pasted.
    QDialog* sheet = m_c->preferencesDialogOutlet;
    QVERIFY(sheet->isVisible() && !sheet->windowTitle().isEmpty() && sheet->windowModality() == Qt::WindowModal);
    for (QAbstractButton* b : sheet->findChildren<QAbstractButton*>()) QVERIFY2(!b->text().isEmpty(), qPrintable(b->objectName()));
    for (QLabel* l : sheet->findChildren<QLabel*>()) QVERIFY2(!l->text().isEmpty(), qPrintable(l->objectName()));
    for (QLineEdit* field : sheet->findChildren<QLineEdit*>()) QVERIFY(!field->isReadOnly() && field->text().isEmpty());

    // Nothing to open yet; a cancelled panel changes nothing.
    m_c->openSourceWatchFolderButtonOutlet->click();
    m_c->openDestinationWatchFolderButtonOutlet->click();
    QVERIFY(m_workspace->opened.empty());
    QByteArray before = PrefsBytes();
    m_c->selectSourceWatchFolderButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompts->completedPanels, 1, kDeadline);
    QVERIFY(!m_c->watchFolderSourceURL() && PrefsBytes() == before);
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    QCOMPARE(m_c->watchFolderSourcePathTextField->text() + m_c->watchFolderSourcePathTextField->toolTip(), Shown(m_source) + Shown(m_source));
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());

    // A box takes one folder that is there, whatever its name's bytes.
    const fs::path odd = m_root / std::string("caf\xe9-\xff");
    fs::create_directories(odd);
    ::WriteFile(m_root / "file.ps", OnePagePostScript());
    QWidget* box = m_c->watchFolderDestinationPathViewCntr;
    before = PrefsBytes();
    for (const QList<QUrl>& refused : {QList<QUrl>{UrlOf(m_source), UrlOf(m_destination)}, QList<QUrl>{UrlOf(m_root / "file.ps")},
                                       QList<QUrl>{UrlOf(m_root / "missing")}, QList<QUrl>{QUrl("https://example.org/f")}, QList<QUrl>{}}) {
      QCOMPARE(Takes(box, refused), 0);
    }
    QVERIFY(!m_c->watchFolderDestinationURL() && m_c->watchFolderDestinationPathTextField->text().isEmpty());
    QCOMPARE(PrefsBytes(), before);
    QCOMPARE(Takes(box, {UrlOf(odd)}), 3);
    QCOMPARE(Keys(), (QStringList{"DestinationURL", "IsWatching", "MoveToDestinationOption", "SourceURL"}));
    for (const auto& [key, folder] : {std::pair{"SourceURL", m_source}, std::pair{"DestinationURL", odd}}) {
      const QByteArray stored = PlistData(Prefs(), key);
      QVERIFY(PlistType(Prefs(), key) == "data" && ResolveFolderBookmark(std::vector<char>(stored.begin(), stored.end())) == folder);
    }
    QVERIFY(m_c->watchButtonOutlet->isEnabled());

    // Choice 3 (clicked on its label) needs the move-to folder, whose
    // controls it enables and whose path it draws undimmed.
    const QPalette& colours = m_c->watchFolderMoveFilesPathTextField->palette();
    auto dimmed = [&] { return colours.color(QPalette::Active, QPalette::Text) == colours.color(QPalette::Disabled, QPalette::Text); };
    QVERIFY(dimmed() && !m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled() && !m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());
    QAbstractButton* third = m_c->disposalButton(SourceDisposal::MoveToFolder);
    QTest::mouseClick(third, Qt::LeftButton, Qt::NoModifier, QPoint(6, third->height() / 2));
    QVERIFY(m_c->selectedDisposal() == SourceDisposal::MoveToFolder && Pref("MoveToDestinationOption") == (QJsonArray{"int", 3}));
    QVERIFY(!dimmed() && m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled() &&
            m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled() && !m_c->watchButtonOutlet->isEnabled());
    // Choice 1 is stored as 1; the move-to box still takes a folder, drawn dimmed.
    m_c->disposalButton(SourceDisposal::Delete)->click();
    QCOMPARE(Pref("MoveToDestinationOption"), (QJsonArray{"int", 1}));
    QCOMPARE(Takes(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_moveTo)}), 3);
    QVERIFY(m_c->watchFolderMoveFilesPathTextField->text() == Shown(m_moveTo) && PlistData(Prefs(), "MoveDestinationURL").contains(Bytes(m_moveTo)));
    QVERIFY(dimmed() && !m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
    // The open buttons open what the slots hold.
    m_c->disposalButton(SourceDisposal::MoveToFolder)->click();
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    for (QPushButton* open : {m_c->openSourceWatchFolderButtonOutlet, m_c->openDestinationWatchFolderButtonOutlet,
                              m_c->openMoveFilesWatchFolderButtonOutlet}) {
      open->click();
    }
    QCOMPARE(m_workspace->opened, (std::vector<QUrl>{UrlOf(m_source), UrlOf(odd), UrlOf(m_moveTo)}));

    // Source and destination the same: said, and nothing stored.
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_source);
    before = PrefsBytes();
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    const ScriptedUserPrompts::Alert alert = m_prompts->alerts.back();
    QCOMPARE(QStringList({alert.title, alert.message, alert.defaultButton, alert.alternateButton}),
             QStringList({LocalizedString("SourceWatchAndDestSameMsg"), "", LocalizedString("OkButtonString"), ""}));
    QVERIFY(!m_c->isWatching() && PrefsBytes() == before);
    // A source removed after it was chosen.
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    fs::remove_all(m_source);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_prompts->alerts.size() == 2 && m_prompts->alerts.back().title == LocalizedString("WatchFolderCannotWatchMsg"));
    QVERIFY(!m_c->isWatching() && ControlsEnabled(true) && Pref("IsWatching") == (QJsonArray{"bool", false}));
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
  }

  // Watching locks the controls; each choice puts the sources where it
  // says; the PDF settings reach the converter. Leaving the application
  // does not stop watching: the next launch resumes where the folders are,
  // refuses what the rules refuse, and stays stopped once stopped.
  void watchingWithEachChoiceAndResumingAtLaunch() {
    std::vector<std::string> expected;
    for (const char* stem : {"f0", "f1", "f2", "f3", "f4", "f5"}) {
      ::WriteFile(m_source / (stem + std::string(".ps")), PostScriptWithPages(std::vector<std::pair<int, int>>(8, {400, 400})));
      expected.push_back(stem + std::string(".pdf"));
    }
    Launch();
    Fill(m_source, m_destination, SourceDisposal::Delete);
    // Stored only when not the default.
    QCOMPARE(m_c->selectedPreset(), PdfPreset::Faithful);
    m_c->watchCompressPDFFileButton->click();
    ChoosePreset("pdfa-2b");
    QVERIFY(Pref("PDFPreset")[0] == "str" && Pref("CompressPDF") == (QJsonArray{"bool", true}));
    int converted = 0;
    connect(m_c.get(), &WatchFolderController::watchEvent, this, [&](const WatchEvent& o) { converted += o.kind == WatchEvent::Kind::Converted; });
    QSignalSpy changes(m_c.get(), &WatchFolderController::watchingChanged);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching() && changes.size() == 1 && Pref("IsWatching") == (QJsonArray{"bool", true}));
    QTRY_VERIFY_WITH_TIMEOUT(converted >= 1, kDeadline);
    // Locked while watching; the open buttons stay usable; nothing can be
    // dropped.
    QVERIFY(ControlsEnabled(false) && m_c->openSourceWatchFolderButtonOutlet->isEnabled() &&
            m_c->openDestinationWatchFolderButtonOutlet->isEnabled() && m_c->watchButtonOutlet->isEnabled());
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StopWatchingButtonTitle"));
    QVERIFY(m_c->isSpinning() && m_c->watchingSpinningProgressOutlet->isVisible());
    QVERIFY(Takes(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}) == 0 &&
            Takes(m_c->watchFolderDestinationPathViewCntr, {UrlOf(m_moveTo)}) == 0);
    // Stopped: unlocked and recorded.
    m_c->watchButtonOutlet->click();
    QVERIFY(!m_c->isWatching() && changes.size() == 2 && Pref("IsWatching") == (QJsonArray{"bool", false}));
    QVERIFY(ControlsEnabled(true) && !m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled() && !m_c->isSpinning());
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
    QCOMPARE(Takes(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_source)}), 3);
    // Stopped with work in hand and started again at once: each file is
    // converted once and its source deleted.
    m_c->watchButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(m_source), std::vector<std::string>{}, kDeadline);
    QCOMPARE(ListTree(m_destination), expected);
    const std::string pdf = ReadAll(m_destination / "f0.pdf");
    QVERIFY(pdf.find("/ObjStm") != std::string::npos && pdf.find("pdfaid") != std::string::npos);
    m_c->watchButtonOutlet->click();

    // Choice 3: into the move-to folder, whose controls are locked too.
    m_c->disposalButton(SourceDisposal::MoveToFolder)->click();
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
    m_c->watchButtonOutlet->click();
    QVERIFY(!m_c->watchFolderMoveFilesPathTextField->isEnabled() && !m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled() && Takes(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_root)}) == 0);
    m_c.reset();
    QCOMPARE(Pref("IsWatching"), (QJsonArray{"bool", true}));
    const QByteArray moveTo = PlistData(Prefs(), "MoveDestinationURL");

    // The move-to folder renamed: found at its new place, its bookmark kept.
    ::WriteFile(m_source / "waiting.ps", OnePagePostScript());
    fs::rename(m_moveTo, m_root / "finished");
    Launch();
    QVERIFY(m_c->isWatching() && m_c->selectedDisposal() == SourceDisposal::MoveToFolder);
    QVERIFY(m_c->selectedPreset() == PdfPreset::PdfA2b && m_c->watchCompressPDFFileButton->isChecked());
    QCOMPARE(QStringList({m_c->watchFolderSourcePathTextField->text(), m_c->watchFolderDestinationPathTextField->text(),
                          m_c->watchFolderMoveFilesPathTextField->text(), m_c->watchButtonOutlet->text()}),
             QStringList({Shown(m_source), Shown(m_destination), Shown(m_root / "finished"), LocalizedString("StopWatchingButtonTitle")}));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_root / "finished" / "waiting.ps") && fs::exists(m_destination / "waiting.pdf"), kDeadline);
    QCOMPARE(PlistData(Prefs(), "MoveDestinationURL"), moveTo);

    // The move-to folder gone: refused as it is stored (its files are never
    // put elsewhere than chosen), and the choice stays.
    m_c.reset();
    fs::remove_all(m_root / "finished");
    Launch();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFolderNoDestinationMsg"));
    QVERIFY(!m_c->isWatching() && m_c->selectedDisposal() == SourceDisposal::MoveToFolder);
    QCOMPARE(Pref("MoveToDestinationOption"), (QJsonArray{"int", 3}));
    // Back at the default PDF settings, their keys go.
    ChoosePreset("faithful");
    m_c->watchCompressPDFFileButton->click();
    QVERIFY(!Keys().contains("PDFPreset") && !Keys().contains("CompressPDF"));

    // The source folder gone: waited for, as every folder is. Stopped, it
    // stays stopped at the next launch.
    m_c->disposalButton(SourceDisposal::Delete)->click();
    m_c.reset();
    fs::remove_all(m_source);
    Launch();
    QVERIFY(m_c->stateOf(0) == WatchFolderState::Waiting && m_prompts->alerts.size() == 1);
    QCOMPARE(Pref("IsWatching"), (QJsonArray{"bool", true}));
    m_c->watchButtonOutlet->click();
    fs::create_directories(m_source);
    Launch();
    QVERIFY(!m_c->isWatching() && m_c->watchButtonOutlet->isEnabled());
  }

  void olderPlatformKeepsFoldersInMemoryOnly() {
    const BMTUtil::SystemVersion older{10, 7, 2};
    BMTUtil::SetRunningSystemVersionForTesting(&older);
    Launch(false);  // the window does not load the file on such a platform
    Fill(m_source, m_destination, SourceDisposal::Delete);
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    QCOMPARE(Keys(), QStringList{"MoveToDestinationOption"});
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QCOMPARE(Keys(), (QStringList{"IsWatching", "MoveToDestinationOption"}));
    ::WriteFile(m_source / "old.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "old.pdf") && !fs::exists(m_source / "old.ps"), kDeadline);
  }

  // Folders running: the activity list, the state and the failure notice on
  // the first; then several folders through the list: each added in the
  // sheet's slots, a loop refused before it is stored, one switched off in
  // the list and one edited (stopped, given another destination, started
  // again) while a third has a long file in hand, which is never stopped.
  // At the next launch the folders that were on resume; removed, they stop,
  // and the others run on.
  void runningFoldersTheActivityListAndTheFolderList() {
    ::WriteFile(m_source / "good.ps", OnePagePostScript());
    Launch();
    Fill(m_source, m_destination, SourceDisposal::Delete);
    std::vector<QString> notices;
    m_c->setFailureNotifier([&](const QString& title, const QString& body) { notices.push_back(title + body); });
    bool onMainThread = true;
    connect(m_c.get(), &WatchFolderController::watchEvent, this, [&] { onMainThread &= QThread::currentThread() == qApp->thread(); });
    QCOMPARE(m_c->watchStateLabel->text(), LocalizedString("WatchStateOff"));
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_c->watchStateLabel->text(), LocalizedString("WatchStateWatching"));
    QTreeWidget* folders = m_c->watchFoldersList;
    QCOMPARE(Row(folders, 0), (QStringList{"in", Shown(m_source), Shown(m_destination), LocalizedString("WatchStateWatching")}));
    QTreeWidget* list = m_c->watchActivityList;
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 3, kDeadline);
    QCOMPARE(Row(list, 0).mid(1, 2), (QStringList{"good.ps", LocalizedString("WatchEventDeleted")}));
    QCOMPARE(Row(list, 1)[2] + Row(list, 2)[2], LocalizedString("WatchEventConverted") + ": good.pdf" + LocalizedString("WatchEventStarted") + ": out");
    QVERIFY(!list->topLevelItem(0)->font(0).bold());

    // A failure while the window is not in front: at the top, standing out,
    // and told on the desktop; named to fool whoever reads it, shown escaped.
    m_window->hide();
    const fs::path bad = m_source / "bad\x1b[8m\n.ps";
    ::WriteFile(bad, "%!PS-Adobe-3.0\n/undefinedname-here cvx exec\nshowpage\n");
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 4, kDeadline);
    QTreeWidgetItem* failed = list->topLevelItem(0);
    QCOMPARE(Row(list, 0).mid(1, 2), (QStringList{"bad\\x1b[8m\\n.ps", LocalizedString("WatchEventFailed")}));
    QVERIFY(failed->text(3).contains("undefinedname-here") && failed->font(1).bold());
    QVERIFY(failed->foreground(1).color() != list->topLevelItem(1)->foreground(1).color());
    QVERIFY(notices.size() == 1 && notices[0].contains("bad\\x1b[8m\\n.ps") && Row(folders, 0).value(3).contains("1"));
    // A double click shows the file in the file viewer.
    m_window->show();
    m_c->OpenWatchFolderPreferences();
    QVERIFY(QTest::qWaitForWindowExposed(m_c->preferencesDialogOutlet));
    const QPoint at = list->visualItemRect(failed).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(m_workspace->revealed, std::vector<fs::path>{bad});
    // The folder gone and back.
    fs::remove_all(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(m_c->watchStateLabel->text(), LocalizedString("WatchStateWaiting"), kDeadline);
    QVERIFY(m_c->isWatching() && Row(list, 0)[2] == LocalizedString("WatchEventFolderGone"));
    fs::create_directories(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(m_c->watchStateLabel->text(), LocalizedString("WatchStateWatching"), kDeadline);

    const fs::path in2 = m_root / "in2", out2 = m_root / "out2", in3 = m_root / "in3", out3 = m_root / "out3";
    AddAndStart(in2, out2, SourceDisposal::Delete);
    QVERIFY(m_c->editedFolder() == 1 && folders->topLevelItemCount() == 2 && folders->topLevelItem(1)->checkState(0) == Qt::Checked);
    ::WriteFile(in2 / "second.ps", OnePagePostScript());
    ::WriteFile(m_source / "first.ps", OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(out2 / "second.pdf") && fs::exists(m_destination / "first.pdf"), kDeadline);
    // The first file keeps its keys; the others are stored beside it.
    QCOMPARE(Keys(), (QStringList{"DestinationURL", "IsWatching", "MoveToDestinationOption", "SourceURL"}));
    QVERIFY(fs::exists(m_prefs.parent_path() / "org.quillpress.Quillpress-WatchFolders.plist"));
    AddAndStart(m_destination, m_moveTo, SourceDisposal::MoveToDestination);
    QVERIFY(m_prompts->alerts.back().title == LocalizedString("WatchFoldersLoopMsg") && !m_c->isWatching());
    Select(m_destination);
    m_c->removeWatchFolderButton->click();
    QCOMPARE(folders->topLevelItemCount(), 2);

    AddAndStart(in3, out3, SourceDisposal::MoveToDestination);
    ::WriteFile(in3 / "long.ps", PostScriptWithPages(std::vector<std::pair<int, int>>(60, {612, 792})));
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(in3 / "long.ps"), kDeadline);  // claimed
    // The first switched off with the keyboard in the list.
    Select(m_source);
    QTest::keyClick(folders, Qt::Key_Space);
    QVERIFY(m_c->stateOf(0) == WatchFolderState::Off && m_c->stateOf(1) == WatchFolderState::Watching);
    QVERIFY(Pref("IsWatching") == (QJsonArray{"bool", false}) && Row(folders, 0).value(3).startsWith(LocalizedString("WatchStateOff")));
    Select(in2);
    m_c->editWatchFolderButton->click();
    m_c->watchButtonOutlet->click();
    fs::create_directories(m_root / "other");
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_root / "other");
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    ::WriteFile(in2 / "two.ps", OnePagePostScript());
    // The third was never stopped: its file converted once, without a pause.
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(out3 / "long.ps") && fs::exists(m_root / "other" / "two.pdf"), kDeadline);
    const std::string journal = ReadAll(WatchJournal::DefaultPath()), third = in3.native();
    for (const std::string word : {"started: ", "converted: ", "moved: "}) QCOMPARE(Occurrences(journal, word + third), 1u);
    QVERIFY(journal.find("stopped: " + third) == std::string::npos && journal.find("]: " + third) == std::string::npos);

    // Edited after the next launch, a folder's slots show its folders;
    // removed, it stops, and the one after it in the list runs on.
    Launch();
    QVERIFY(m_c->stateOf(0) == WatchFolderState::Off && m_c->stateOf(1) == WatchFolderState::Watching &&
            m_c->stateOf(2) == WatchFolderState::Watching && m_c->watchFoldersList->topLevelItemCount() == 3);
    Select(in2);
    m_c->editWatchFolderButton->click();
    QVERIFY(m_c->watchFolderSourcePathTextField->text() == Shown(in2) && m_c->isWatching());
    m_c->removeWatchFolderButton->click();
    QVERIFY(m_c->watchFoldersList->topLevelItemCount() == 2 && m_c->editedFolder() == 0 && m_c->stateOf(1) == WatchFolderState::Watching);
    Select(in3);
    m_c->removeWatchFolderButton->click();
    QVERIFY(!m_c->service().anyRunning() && onMainThread);
  }

  // The watch folder as the application window runs it: resumed at launch
  // from the settings file, its sheet behind the menu command with the
  // window's own prompts and desktop, and quitting or closing the window
  // while watching.
  void watchingResumesAtLaunchAndQuittingAsksUntilItIsStopped() {
    const fs::path source = m_source, destination = m_destination, other = m_moveTo;
    qputenv("XDG_CONFIG_HOME", (m_root / "config").c_str());
    // Settings as the sheet leaves them after "Watch": delete each source.
    WatchFolderEntry folder;
    std::tie(folder.source, folder.destination, folder.stored.disposal, folder.stored.on) =
        std::tuple(source, destination, SourceDisposal::Delete, true);
    QVERIFY(WatchSettingsStore().Write(0, folder));
    // Already there before launch: the first scan takes it.
    samples::WriteFile(source / "waiting.ps", samples::OnePagePostScript());
    {
      WindowFixture f(false);
      QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(destination / "waiting.pdf") && !fs::exists(source / "waiting.ps"), kDeadline);
      QVERIFY(samples::QpdfCheckPasses(destination / "waiting.pdf") && f.prompts.alerts.empty());

      // Quit answered No, the close box answered with Escape: both keep
      // everything running; the close box answered Quit ends it.
      QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
      f.prompts.alertAnswers = {0, ScriptedUserPrompts::kEscape, 1};
      f.action("quitMenuItem")->trigger();
      QVERIFY(!f.window()->close() && f.window()->isVisible() && f.d().isWatching() && terminate.count() == 0);
      QCOMPARE(f.prompts.alerts.size(), std::size_t{2});
      const ScriptedUserPrompts::Alert& alert = f.prompts.alerts[0];
      QCOMPARE(QStringList({alert.title, alert.message, alert.defaultButton, alert.alternateButton}),
               QStringList({LocalizedString("QuitOnCloseTitle"), LocalizedString("QuitOnCloseMessage"),
                            LocalizedString("QuitButtonString"), LocalizedString("NoButtonTitle")}));
      QVERIFY(f.window()->close());
      QTRY_COMPARE_WITH_TIMEOUT(terminate.count(), 1, kDeadline);
    }
    // Quitting is not stopping: the next launch watches again.
    QVERIFY(FirstFolder()->stored.on);
    WindowFixture f(false);
    QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
    f.action("watchFolderMenuItem")->trigger();
    WatchFolderController& watch = f.d().watchFolder();
    QTRY_VERIFY_WITH_TIMEOUT(watch.preferencesDialogOutlet->isVisible(), kDeadline);
    QCOMPARE(watch.preferencesDialogOutlet->parentWidget(), f.d().window());
    // Its path fields, choose and open buttons and spinner have names of
    // their own for screen readers.
    QSet<QString> names;
    const QRegularExpression named("^(select|open).*Outlet$|PathTextField$|SpinningProgress");
    for (QWidget* widget : watch.preferencesDialogOutlet->findChildren<QWidget*>(named)) names << widget->accessibleName();
    QVERIFY(names.size() == 10 && !names.contains(QString()));

    // Stopped from the sheet; the choosers then say which folder they
    // choose, through the window's prompts.
    watch.watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.d().isWatching(), kDeadline);
    watch.disposalButton(SourceDisposal::MoveToFolder)->click();
    for (QPushButton* choose : {watch.selectSourceWatchFolderButtonOutlet, watch.selectDestinationWatchFolderButtonOutlet,
                                watch.selectMoveFilesWatchFolderButtonOutlet}) choose->click();
    QTRY_COMPARE_WITH_TIMEOUT(f.prompts.completedPanels, 3, kDeadline);
    QStringList titles;
    for (const OpenPanelRequest& panel : f.prompts.panels) {
      titles << panel.title;
      QVERIFY(panel.prompt == LocalizedString("OpenFileDialogButton") && !panel.canChooseFiles && panel.canChooseDirectories &&
              !panel.allowsMultipleSelection && panel.canCreateDirectories);
    }
    QCOMPARE(titles, (QStringList{LocalizedString("WatchSourceChooserTitle"), LocalizedString("OpenDestinationDialogTitle"),
                                  LocalizedString("WatchMoveFilesChooserTitle")}));

    // A path typed (or pasted) and confirmed is taken; a wrong one is not.
    QLineEdit* field = watch.watchFolderSourcePathTextField;
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, QString::fromLocal8Bit(other.c_str()));
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(FirstFolder()->source == other, kDeadline);
    field->selectAll();
    QTest::keyClicks(field, QStringLiteral("/no/such/folder"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->text(), QString::fromLocal8Bit(other.c_str()));
    watch.openSourceWatchFolderButtonOutlet->click();
    QCOMPARE(f.workspace.opened, std::vector<QUrl>{FileUrlForPath(other)});

    // Stopped, quitting no longer asks.
    QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
    f.action("quitMenuItem")->trigger();
    QVERIFY(terminate.count() == 1 && f.prompts.alerts.empty());
    QTRY_VERIFY_WITH_TIMEOUT(!FirstFolder()->stored.on, kDeadline);
  }
};

QTEST_MAIN(WatchWindowTest)
#include "tst_watch_window.moc"
