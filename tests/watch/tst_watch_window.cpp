// The watch folder settings sheet driven as a user does: folders chosen in
// the panel or dropped on the boxes, the choice, the watch button, real
// conversions of files arriving in the source folder, and the settings file
// read back with a reader of its own.

#include "app/ApplicationResources.h"
#include "platform/Bookmark.h"
#include "platform/LocalizedString.h"
#include "platform/Workspace.h"
#include "conversion/PostScriptConverter.h"
#include "watch/WatchFolderController.h"

#include "BMTUtil.h"
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
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>
#include <QXmlStreamReader>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

// One value of the settings file as written on disk.
struct PlistValue {
  QString type;  // "data", "integer", "true", "false", or another element name
  QByteArray data;
  qint64 integer = 0;
};
using PlistDict = std::map<QString, PlistValue>;

// Reads the top-level dictionary of an XML property list on its own, so
// that the file is checked without the code that wrote it.
std::optional<PlistDict> ReadPlist(const fs::path& file) {
  QFile in(QFile::decodeName(file.c_str()));
  if (!in.open(QIODevice::ReadOnly)) return std::nullopt;
  QXmlStreamReader xml(&in);
  PlistDict dict;
  int depth = 0;
  bool sawPlist = false;
  QString key;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isEndElement() && xml.name() == u"dict") --depth;
    if (!xml.isStartElement()) continue;
    const QString name = xml.name().toString();
    if (name == u"plist") {
      sawPlist = true;
    } else if (name == u"dict") {
      if (++depth > 1) return std::nullopt;  // no nested dictionaries are written
    } else if (depth == 1 && name == u"key") {
      key = xml.readElementText();
    } else if (depth == 1) {
      PlistValue value;
      value.type = name;
      const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
      if (name == u"data") {
        value.data = QByteArray::fromBase64(text.simplified().remove(QLatin1Char(' ')).toLatin1());
      } else if (name == u"integer") {
        value.integer = text.trimmed().toLongLong();
      }
      dict[key] = value;
    }
  }
  if (xml.hasError() || !sawPlist) return std::nullopt;
  return dict;
}

std::set<QString> Keys(const PlistDict& dict) {
  std::set<QString> keys;
  for (const auto& [k, v] : dict) keys.insert(k);
  return keys;
}

QByteArray Bytes(const fs::path& path) { return QByteArray::fromStdString(path.native()); }

QString Shown(const fs::path& path) { return QFile::decodeName(Bytes(path)); }

QUrl UrlOf(const fs::path& path) { return FileUrlForPath(path); }

// Hands an event to the box as the window does once it has found the box
// under the pointer. (Sent through the application, a drop would go to
// whatever widget the drag manager last saw, which may be long gone.)
void Deliver(QWidget* box, QEvent* event) { static_cast<QObject*>(box)->event(event); }

// A drag with these URLs entering the box: whether the box would take it.
bool DragEnters(QWidget* box, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                        Qt::NoModifier);
  enter.ignore();
  Deliver(box, &enter);
  const bool taken = enter.isAccepted() && enter.dropAction() == Qt::CopyAction;
  QDragLeaveEvent leave;
  Deliver(box, &leave);
  return taken;
}

// The same URLs dragged over the box and dropped: whether the drop was taken.
bool Drops(QWidget* box, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                        Qt::NoModifier);
  Deliver(box, &enter);
  QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                      Qt::NoModifier);
  Deliver(box, &move);
  QDropEvent drop(QPointF(6, 6), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                  Qt::NoModifier);
  drop.ignore();
  Deliver(box, &drop);
  return drop.isAccepted();
}

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
                                                  WatchFolderSettings(m_prefs));
    m_c->DoWatchFolderFilesManipulation(nullptr);
    if (loadSettings) m_c->StartAutoWatchFolder();
    m_c->OpenWatchFolderPreferences();
  }

  PlistDict Prefs() {
    std::optional<PlistDict> dict = ReadPlist(m_prefs);
    return dict ? *dict : PlistDict{};
  }
  QByteArray PrefsBytes() {
    QFile f(QFile::decodeName(m_prefs.c_str()));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  // Chooses a folder with a choose button and the panel.
  void Choose(QPushButton* button, const fs::path& folder) {
    const int before = m_prompts->completedPanels;
    m_prompts->AnswerNextPanel({folder});
    button->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompts->completedPanels, before + 1, kDeadline);
  }

  void SetUpFolders(int tag) {
    Launch();
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(tag)->click();
    if (tag == 3) Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
  }

  // Adds a folder through the sheet's Add button and starts it.
  void AddAndStart(const fs::path& source, const fs::path& destination, int tag) {
    fs::create_directories(source);
    fs::create_directories(destination);
    m_c->addWatchFolderButton->click();
    Choose(m_c->selectSourceWatchFolderButtonOutlet, source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, destination);
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(tag)->click();
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
  }

  // Selects the list's row of a folder by its source.
  void Select(const fs::path& source) {
    QTreeWidget* list = m_c->watchFoldersList;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
      if (list->topLevelItem(row)->text(1) == Shown(source)) list->setCurrentItem(list->topLevelItem(row));
    }
    QCOMPARE(list->currentItem()->text(1), Shown(source));
  }

  bool IsBoolean(const QString& key, bool value) {
    const PlistDict p = Prefs();
    return p.count(key) && p.at(key).type == (value ? u"true" : u"false");
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
    qunsetenv("QUILLPRESS_PSTOPDF");
    m_c.reset();
    m_window.reset();
    // Names that are not UTF-8 are beyond QTemporaryDir's own clean-up.
    std::error_code ec;
    fs::remove_all(m_root, ec);
    BMTUtil::SetRunningSystemVersionForTesting(nullptr);
  }

  void firstLaunchWritesDefaultsAndTheSheetShowsItsTexts() {
    Launch();
    std::optional<PlistDict> prefs = ReadPlist(m_prefs);
    QVERIFY(prefs);
    QCOMPARE(Keys(*prefs), (std::set<QString>{"IsWatching", "MoveToDestinationOption"}));
    QCOMPARE(prefs->at("MoveToDestinationOption").type, QStringLiteral("integer"));
    QCOMPARE(prefs->at("MoveToDestinationOption").integer, 2);
    QCOMPARE(prefs->at("IsWatching").type, QStringLiteral("false"));
    QCOMPARE(m_c->selectedTag(), 2);
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());
    QVERIFY(!m_c->isWatching());

    // The sheet: window-modal on the window, every text from the table.
    QDialog* sheet = m_c->preferencesDialogOutlet;
    QVERIFY(sheet->isVisible());
    QCOMPARE(sheet->parentWidget(), m_window.get());
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    QVERIFY(!sheet->windowTitle().isEmpty());
    for (QAbstractButton* b : sheet->findChildren<QAbstractButton*>()) {
      QVERIFY2(!b->text().isEmpty(), qPrintable(b->objectName()));
    }
    for (QLabel* l : sheet->findChildren<QLabel*>()) {
      QVERIFY2(!l->text().isEmpty(), qPrintable(l->objectName()));
    }
    for (QLineEdit* field : sheet->findChildren<QLineEdit*>()) {
      // Paths can be typed or pasted.
      QVERIFY(!field->isReadOnly());
      QVERIFY(field->text().isEmpty());
    }
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
    QVERIFY(!m_c->isSpinning());
    m_c->doneButton->click();
    QVERIFY(!sheet->isVisible());

    // A file that is not a dictionary is replaced by the defaults.
    m_c.reset();
    samples::WriteFile(m_prefs, "not a property list");
    Launch();
    prefs = ReadPlist(m_prefs);
    QVERIFY(prefs);
    QCOMPARE(Keys(*prefs), (std::set<QString>{"IsWatching", "MoveToDestinationOption"}));
  }

  void foldersChosenInThePanelAreShownAndStored() {
    Launch();
    QByteArray before = PrefsBytes();
    // A cancelled panel changes nothing.
    m_c->selectSourceWatchFolderButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompts->completedPanels, 1, kDeadline);
    QVERIFY(!m_c->watchFolderSourceURL());
    QCOMPARE(PrefsBytes(), before);

    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    const OpenPanelRequest& panel = m_prompts->panels.back();
    QCOMPARE(panel.title, LocalizedString("WatchSourceChooserTitle"));
    QCOMPARE(panel.prompt, LocalizedString("OpenFileDialogButton"));
    QVERIFY(!panel.canChooseFiles);
    QVERIFY(panel.canChooseDirectories);
    QVERIFY(!panel.allowsMultipleSelection);
    QVERIFY(panel.canCreateDirectories);
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(m_source));
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    QCOMPARE(m_c->watchFolderSourcePathTextField->toolTip(), Shown(m_source));
    PlistDict prefs = Prefs();
    QCOMPARE(Keys(prefs), (std::set<QString>{"IsWatching", "MoveToDestinationOption", "SourceURL"}));
    QCOMPARE(prefs.at("SourceURL").type, QStringLiteral("data"));
    QVERIFY(prefs.at("SourceURL").data.contains(Bytes(m_source)));
    const std::vector<char> stored(prefs.at("SourceURL").data.begin(), prefs.at("SourceURL").data.end());
    QCOMPARE(ResolveFolderBookmark(stored), std::optional<fs::path>(m_source));
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());

    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    QCOMPARE(m_prompts->panels.back().title, LocalizedString("OpenDestinationDialogTitle"));
    QVERIFY(!LocalizedString("OpenDestinationDialogTitle").isEmpty());
    QCOMPARE(m_c->watchFolderDestinationPathTextField->text(), Shown(m_destination));
    QVERIFY(Keys(Prefs()).count("DestinationURL"));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());

    // Choice 3 needs the move-to folder too.
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(3)->click();
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
    QCOMPARE(m_prompts->panels.back().title, LocalizedString("WatchMoveFilesChooserTitle"));
    QCOMPARE(m_c->watchFolderMoveFilesPathTextField->text(), Shown(m_moveTo));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    prefs = Prefs();
    QCOMPARE(Keys(prefs), (std::set<QString>{"DestinationURL", "IsWatching", "MoveDestinationURL",
                                             "MoveToDestinationOption", "SourceURL"}));
    QCOMPARE(prefs.at("MoveToDestinationOption").integer, 3);
    QVERIFY(prefs.at("MoveDestinationURL").data.contains(Bytes(m_moveTo)));

    // The open buttons open what the slots hold.
    m_c->openSourceWatchFolderButtonOutlet->click();
    m_c->openDestinationWatchFolderButtonOutlet->click();
    m_c->openMoveFilesWatchFolderButtonOutlet->click();
    QCOMPARE(m_workspace->opened,
             (std::vector<QUrl>{UrlOf(m_source), UrlOf(m_destination), UrlOf(m_moveTo)}));

    // The same folder for source and destination is accepted here.
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_source);
    QCOMPARE(m_c->watchFolderDestinationURL(), std::optional<fs::path>(m_source));
  }

  void openButtonsDoNothingWithoutAFolder() {
    Launch();
    m_c->openSourceWatchFolderButtonOutlet->click();
    m_c->openDestinationWatchFolderButtonOutlet->click();
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(3)->click();
    m_c->openMoveFilesWatchFolderButtonOutlet->click();
    QVERIFY(m_workspace->opened.empty());
  }

  void oneFolderDroppedOnABoxIsTaken() {
    Launch();
    const fs::path odd = m_root / std::string("caf\xe9-\xff");  // not UTF-8
    fs::create_directories(odd);
    samples::WriteFile(m_root / "file.ps", samples::OnePagePostScript());
    QWidget* source = m_c->watchFolderSourcePathViewCntr;

    QVERIFY(!DragEnters(source, {UrlOf(m_source), UrlOf(m_destination)}));
    QVERIFY(!DragEnters(source, {UrlOf(m_root / "file.ps")}));
    QVERIFY(!DragEnters(source, {UrlOf(m_root / "missing")}));
    QVERIFY(!DragEnters(source, {QUrl(QStringLiteral("https://example.org/folder"))}));
    QVERIFY(!DragEnters(source, {}));
    QVERIFY(!Drops(source, {UrlOf(m_source), UrlOf(m_destination)}));
    QVERIFY(!Drops(source, {UrlOf(m_root / "file.ps")}));
    QVERIFY(!m_c->watchFolderSourceURL());
    QVERIFY(m_c->watchFolderSourcePathTextField->text().isEmpty());
    QVERIFY(!Keys(Prefs()).count("SourceURL"));

    QVERIFY(DragEnters(source, {UrlOf(odd)}));
    QVERIFY(Drops(source, {UrlOf(odd)}));
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(odd));
    QVERIFY(Prefs().at("SourceURL").data.contains(Bytes(odd)));

    QVERIFY(Drops(m_c->watchFolderDestinationPathViewCntr, {UrlOf(m_destination)}));
    QCOMPARE(m_c->watchFolderDestinationURL(), std::optional<fs::path>(m_destination));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());

    // A box of an unknown type sets nothing, but the button is looked at
    // again (here after a choice that was not yet applied to it).
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(3)->setChecked(true);
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    m_c->watchFolderMoveFilesPathViewCntr->setBoxTypeOption(7);
    QVERIFY(Drops(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_moveTo)}));
    QVERIFY(!m_c->watchFolderMoveFilesURL());
    QVERIFY(!Keys(Prefs()).count("MoveDestinationURL"));
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());
    m_c->watchFolderMoveFilesPathViewCntr->setBoxTypeOption(2);
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(2)->click();

    // The move-to box takes a folder also while the choice does not use it;
    // its path is then drawn dimmed.
    QVERIFY(Drops(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_moveTo)}));
    QCOMPARE(m_c->watchFolderMoveFilesURL(), std::optional<fs::path>(m_moveTo));
    QVERIFY(Prefs().at("MoveDestinationURL").data.contains(Bytes(m_moveTo)));
    QLineEdit* moveField = m_c->watchFolderMoveFilesPathTextField;
    QCOMPARE(moveField->text(), Shown(m_moveTo));
    QCOMPARE(moveField->palette().color(QPalette::Active, QPalette::Text),
             moveField->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
  }

  void theChoiceControlsTheMoveToFolderAndIsStored() {
    Launch();
    QCOMPARE(m_c->selectedTag(), 2);
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(!m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());

    QAbstractButton* third = m_c->sourceFileDeletOrMoveMatrixOutlet->button(3);
    QTest::mouseClick(third, Qt::LeftButton, Qt::NoModifier, QPoint(6, third->height() / 2));
    QCOMPARE(m_c->selectedTag(), 3);
    QCOMPARE(Prefs().at("MoveToDestinationOption").integer, 3);
    QVERIFY(m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());
    QLineEdit* moveField = m_c->watchFolderMoveFilesPathTextField;
    QVERIFY(moveField->palette().color(QPalette::Active, QPalette::Text) !=
            moveField->palette().color(QPalette::Disabled, QPalette::Text));

    m_c->sourceFileDeletOrMoveMatrixOutlet->button(1)->click();
    QCOMPARE(Prefs().at("MoveToDestinationOption").integer, 1);
    QCOMPARE(Prefs().at("MoveToDestinationOption").type, QStringLiteral("integer"));
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());

    // Applied without a sender (as at launch), the choice is not stored.
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(2)->setChecked(true);
    const QByteArray before = PrefsBytes();
    m_c->DoWatchFolderFilesManipulation(nullptr);
    QCOMPARE(PrefsBytes(), before);
    QCOMPARE(Prefs().at("MoveToDestinationOption").integer, 1);
  }

  void refusalsComeInTheirOrderAndChangeNothing() {
    // Source and destination the same, with choice 3 and no move-to folder:
    // the first check speaks.
    Launch();
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_source);
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(3)->click();
    QByteArray before = PrefsBytes();
    m_c->DoFolderWatch(m_c->watchButtonOutlet);
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    const ScriptedUserPrompts::Alert alert = m_prompts->alerts.back();
    QCOMPARE(alert.title, LocalizedString("SourceWatchAndDestSameMsg"));
    QVERIFY(!alert.title.isEmpty());
    QVERIFY(alert.message.isEmpty());
    QCOMPARE(alert.defaultButton, LocalizedString("OkButtonString"));
    QVERIFY(alert.alternateButton.isEmpty());
    QVERIFY(!m_c->isWatching());
    QCOMPARE(PrefsBytes(), before);

    // The same folder reached through a link is the same folder.
    fs::create_directory_symlink(m_source, m_root / "link");
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_root / "link");
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(2)->click();
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(2));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("SourceWatchAndDestSameMsg"));
    QVERIFY(!m_c->isWatching());

    // Choice 3 with no move-to folder.
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(3)->click();
    before = PrefsBytes();
    m_c->DoFolderWatch(nullptr);
    QCOMPARE(m_prompts->alerts.size(), std::size_t(3));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("MoveFoderNotSelectedMsg"));
    QVERIFY(!m_prompts->alerts.back().title.isEmpty());
    QVERIFY(!m_c->isWatching());
    QCOMPARE(PrefsBytes(), before);

    // Choice 3 with the source as the move-to folder.
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_source);
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(4));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("SourceWatchAndMoveSameMsg"));
    QVERIFY(!m_prompts->alerts.back().title.isEmpty());
    QVERIFY(!m_c->isWatching());
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));

    // A move-to folder inside the source folder is accepted.
    fs::create_directories(m_source / "done");
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_source / "done");
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(4));
    QVERIFY(m_c->isWatching());
  }

  void aFolderThatCannotBeWatchedIsRefused() {
    // A shown source whose slot was lost (its bookmark no longer resolves).
    SetUpFolders(1);
    m_c->SetWatchFolderSourceURLData(std::vector<char>{'n', 'o', 't'});
    QVERIFY(!m_c->watchFolderSourceURL());
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    QByteArray before = PrefsBytes();
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFolderCannotWatchMsg"));
    QVERIFY(!m_prompts->alerts.back().title.isEmpty());
    QCOMPARE(m_prompts->alerts.back().defaultButton, LocalizedString("OkButtonString"));
    QVERIFY(!m_c->isWatching());
    QCOMPARE(PrefsBytes(), before);

    // A source folder removed after it was chosen cannot be watched.
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    fs::remove_all(m_source);
    before = PrefsBytes();
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(2));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFolderCannotWatchMsg"));
    QVERIFY(!m_c->isWatching());
    QVERIFY(m_c->selectSourceWatchFolderButtonOutlet->isEnabled());
    QCOMPARE(PrefsBytes(), before);
  }

  void theCompressBoxMakesSmallerPdfs() {
    const std::string doc = samples::PostScriptWithPages(std::vector<std::pair<int, int>>(30, {612, 792}));
    samples::WriteFile(m_source / "plain.ps", doc);
    SetUpFolders(1);
    QVERIFY(!m_c->watchCompressPDFFileButton->isChecked());
    m_c->watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "plain.pdf") && samples::ListTree(m_source).empty(),
                             kDeadline);
    m_c->watchButtonOutlet->click();

    m_c->watchCompressPDFFileButton->click();
    QVERIFY(m_c->watchCompressPDFFileButton->isChecked());
    samples::WriteFile(m_source / "small.ps", doc);
    m_c->watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "small.pdf") && samples::ListTree(m_source).empty(),
                             kDeadline);
    QVERIFY(fs::file_size(m_destination / "small.pdf") < fs::file_size(m_destination / "plain.pdf"));
    QCOMPARE(samples::PdfPageSizes(m_destination / "small.pdf").size(), std::size_t(30));
    // Stored only while on, so that a file that never had it stays as it was.
    QCOMPARE(Keys(Prefs()), (std::set<QString>{"CompressPDF", "DestinationURL", "IsWatching",
                                               "MoveToDestinationOption", "SourceURL"}));
    m_c->watchButtonOutlet->click();
    m_c->watchCompressPDFFileButton->click();
    QVERIFY(!Keys(Prefs()).count("CompressPDF"));
  }

  void promptsAndWorkspacePutInPlaceLaterAreUsed() {
    Launch();
    ScriptedUserPrompts other;
    RecordingWorkspace otherWorkspace;
    m_c->setUserPrompts(other);
    m_c->setWorkspace(otherWorkspace);
    other.AnswerNextPanel({m_source});
    m_c->selectSourceWatchFolderButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(other.completedPanels, 1, kDeadline);
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(m_source));
    m_c->openSourceWatchFolderButtonOutlet->click();
    QCOMPARE(otherWorkspace.opened, std::vector<QUrl>{UrlOf(m_source)});
    QVERIFY(m_prompts->panels.empty());
    QVERIFY(m_workspace->opened.empty());
  }

  void watchingConvertsAndDeletesWithTheControlsLocked() {
    samples::WriteFile(m_source / "early.ps", samples::OnePagePostScript());
    SetUpFolders(1);
    QSignalSpy changes(m_c.get(), &WatchFolderController::watchingChanged);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QCOMPARE(changes.size(), 1);
    QVERIFY(IsBoolean("IsWatching", true));

    // The files already there, then one that arrives.
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "early.pdf") && !fs::exists(m_source / "early.ps"),
                             kDeadline);
    samples::WriteFile(m_source / "later.eps", samples::EpsWithBox(0, 0, 50, 40));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "later.pdf") && !fs::exists(m_source / "later.eps"),
                             kDeadline);
    QCOMPARE(samples::PdfPageSizes(m_destination / "early.pdf").size(), std::size_t(1));
    QCOMPARE(samples::PdfPageSizes(m_destination / "later.pdf").size(), std::size_t(1));
    QTRY_COMPARE_WITH_TIMEOUT(samples::ListTree(m_source), std::vector<std::string>{}, kDeadline);

    // Locked while watching; the open buttons stay usable.
    QVERIFY(!m_c->watchFolderSourcePathTextField->isEnabled());
    QVERIFY(!m_c->selectSourceWatchFolderButtonOutlet->isEnabled());
    QVERIFY(!m_c->watchFolderDestinationPathTextField->isEnabled());
    QVERIFY(!m_c->selectDestinationWatchFolderButtonOutlet->isEnabled());
    QVERIFY(!m_c->watchCompressPDFFileButton->isEnabled());
    for (QAbstractButton* cell : m_c->sourceFileDeletOrMoveMatrixOutlet->buttons()) {
      QVERIFY(!cell->isEnabled());
    }
    QVERIFY(m_c->openSourceWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->openDestinationWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StopWatchingButtonTitle"));
    QVERIFY(!LocalizedString("StopWatchingButtonTitle").isEmpty());
    QVERIFY(m_c->isSpinning());
    QVERIFY(m_c->watchingSpinningProgressOutlet->isVisible());
    QCOMPARE(m_c->watchingSpinningProgressOutlet->maximum(), 0);

    // No folder can be dropped while watching.
    QVERIFY(!m_c->allowDragAndDrop());
    QVERIFY(!DragEnters(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}));
    QVERIFY(!Drops(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}));
    QVERIFY(!Drops(m_c->watchFolderDestinationPathViewCntr, {UrlOf(m_moveTo)}));
    QCOMPARE(m_c->watchFolderSourceURL(), std::optional<fs::path>(m_source));
    QCOMPARE(m_c->watchFolderDestinationURL(), std::optional<fs::path>(m_destination));

    // Stop: unlocked, recorded, and nothing more is converted.
    m_c->watchButtonOutlet->click();
    QVERIFY(!m_c->isWatching());
    QCOMPARE(changes.size(), 2);
    QVERIFY(IsBoolean("IsWatching", false));
    QVERIFY(m_c->watchFolderSourcePathTextField->isEnabled());
    QVERIFY(m_c->selectSourceWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->selectDestinationWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->watchCompressPDFFileButton->isEnabled());
    for (QAbstractButton* cell : m_c->sourceFileDeletOrMoveMatrixOutlet->buttons()) {
      QVERIFY(cell->isEnabled());
    }
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());  // choice 1
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StartWatchingButtonTitle"));
    QVERIFY(!m_c->isSpinning());
    QVERIFY(DragEnters(m_c->watchFolderSourcePathViewCntr, {UrlOf(m_moveTo)}));
  }

  void convertedFilesAreMovedAsChosen() {
    // Choice 2: into the destination folder, numbered when the name is taken.
    samples::WriteFile(m_destination / "chart.ps", "an older file of the same name");
    samples::WriteFile(m_source / "chart.ps", samples::OnePagePostScript());
    SetUpFolders(2);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "chart1.ps"), kDeadline);
    QVERIFY(fs::exists(m_destination / "chart.pdf"));
    QVERIFY(!fs::exists(m_source / "chart.ps"));
    m_c->watchButtonOutlet->click();
    QVERIFY(!m_c->isWatching());

    // Choice 3: into the move-to folder, whose controls are locked too.
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(3)->click();
    Choose(m_c->selectMoveFilesWatchFolderButtonOutlet, m_moveTo);
    samples::WriteFile(m_source / "plan.ps", samples::OnePagePostScript());
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QVERIFY(!m_c->watchFolderMoveFilesPathTextField->isEnabled());
    QVERIFY(!m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(m_c->openMoveFilesWatchFolderButtonOutlet->isEnabled());
    QVERIFY(!Drops(m_c->watchFolderMoveFilesPathViewCntr, {UrlOf(m_root)}));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_moveTo / "plan.ps") && fs::exists(m_destination / "plan.pdf"),
                             kDeadline);
    QVERIFY(!fs::exists(m_source / "plan.ps"));
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->watchFolderMoveFilesPathTextField->isEnabled());
    QVERIFY(m_c->selectMoveFilesWatchFolderButtonOutlet->isEnabled());
  }

  void outcomesReachTheMainThread() {
    samples::WriteFile(m_source / "a.ps", samples::OnePagePostScript());
    SetUpFolders(1);
    std::vector<WatchEvent> outcomes;
    bool onMainThread = true;
    connect(m_c.get(), &WatchFolderController::watchEvent, this, [&](const WatchEvent& o) {
      onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
      outcomes.push_back(o);
    });
    m_c->watchButtonOutlet->click();
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), std::size_t(3), kDeadline);
    QVERIFY(onMainThread);
    QCOMPARE(outcomes[0].kind, WatchEvent::Kind::Started);
    QCOMPARE(outcomes[1].kind, WatchEvent::Kind::Converted);
    QCOMPARE(outcomes[1].result, m_destination / "a.pdf");
    QCOMPARE(outcomes[2].kind, WatchEvent::Kind::Deleted);
  }

  void stoppingAndStartingAgainTakesEachFileOnce() {
    constexpr int kFiles = 6;
    for (int i = 0; i < kFiles; ++i) {
      samples::WriteFile(m_source / ("f" + std::to_string(i) + ".ps"),
                         samples::PostScriptWithPages(std::vector<std::pair<int, int>>(8, {400, 400})));
    }
    SetUpFolders(1);
    int converted = 0;
    connect(m_c.get(), &WatchFolderController::watchEvent, this, [&](const WatchEvent& o) {
      converted += o.kind == WatchEvent::Kind::Converted ? 1 : 0;
    });
    m_c->watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(converted >= 1, kDeadline);
    // Stopped with work in hand and started again at once.
    m_c->watchButtonOutlet->click();
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QTRY_COMPARE_WITH_TIMEOUT(samples::ListTree(m_source), std::vector<std::string>{}, kDeadline);
    std::vector<std::string> expected;
    for (int i = 0; i < kFiles; ++i) expected.push_back("f" + std::to_string(i) + ".pdf");
    std::sort(expected.begin(), expected.end());
    QCOMPARE(samples::ListTree(m_destination), expected);
  }

  void watchingResumesAtLaunch() {
    SetUpFolders(3);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    // Leaving the application does not stop watching in the file.
    m_c.reset();
    QVERIFY(IsBoolean("IsWatching", true));

    samples::WriteFile(m_source / "waiting.ps", samples::OnePagePostScript());
    Launch();
    QVERIFY(m_c->isWatching());
    QCOMPARE(m_c->selectedTag(), 3);
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    QCOMPARE(m_c->watchFolderDestinationPathTextField->text(), Shown(m_destination));
    QCOMPARE(m_c->watchFolderMoveFilesPathTextField->text(), Shown(m_moveTo));
    QCOMPARE(m_c->watchButtonOutlet->text(), LocalizedString("StopWatchingButtonTitle"));
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_moveTo / "waiting.ps") && fs::exists(m_destination / "waiting.pdf"),
                             kDeadline);
    QVERIFY(m_prompts->alerts.empty());

    // Not watching when it was stopped.
    m_c->watchButtonOutlet->click();
    Launch();
    QVERIFY(!m_c->isWatching());
    QVERIFY(m_c->watchButtonOutlet->isEnabled());
  }

  void aFolderThatMovedIsFoundAndAGoneOneIsNot() {
    SetUpFolders(3);
    m_c->watchButtonOutlet->click();
    m_c.reset();
    const PlistDict stored = Prefs();

    // The move-to folder renamed: found at its new place, the file untouched.
    fs::rename(m_moveTo, m_root / "finished");
    Launch();
    QVERIFY(m_c->isWatching());
    QCOMPARE(m_c->watchFolderMoveFilesURL(), std::optional<fs::path>(m_root / "finished"));
    QCOMPARE(m_c->watchFolderMoveFilesPathTextField->text(), Shown(m_root / "finished"));
    QCOMPARE(Prefs().at("MoveDestinationURL").data, stored.at("MoveDestinationURL").data);
    m_c.reset();

    // The move-to folder gone: the choice keeps its initial selection and
    // the stored choice stays.
    fs::remove_all(m_root / "finished");
    Launch();
    QVERIFY(!m_c->watchFolderMoveFilesURL());
    QVERIFY(m_c->watchFolderMoveFilesPathTextField->text().isEmpty());
    QCOMPARE(m_c->selectedTag(), 2);
    QCOMPARE(Prefs().at("MoveToDestinationOption").integer, 3);
    m_c.reset();

    // The source folder gone: the button stays off and watching does not
    // resume; the file still says it was on.
    fs::remove_all(m_source);
    Launch();
    QVERIFY(!m_c->watchFolderSourceURL());
    QVERIFY(!m_c->watchButtonOutlet->isEnabled());
    QVERIFY(!m_c->isWatching());
    QVERIFY(m_prompts->alerts.empty());
    QVERIFY(IsBoolean("IsWatching", true));
  }

  void aResumeThatFailsTheChecksShowsTheAlert() {
    Launch();
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_source);
    m_c.reset();
    QVERIFY(WatchFolderSettings(m_prefs).WriteBoolean("IsWatching", true));
    Launch();
    QCOMPARE(m_prompts->alerts.size(), std::size_t(1));
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("SourceWatchAndDestSameMsg"));
    QVERIFY(!m_c->isWatching());
    QVERIFY(IsBoolean("IsWatching", true));
  }

  void olderPlatformKeepsFoldersInMemoryOnly() {
    const BMTUtil::SystemVersion older{10, 7, 2};
    BMTUtil::SetRunningSystemVersionForTesting(&older);
    Launch(false);  // the window does not load the file on such a platform
    QVERIFY(!fs::exists(m_prefs));
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_source);
    QVERIFY(m_c->watchFolderSourceURL());
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(m_source));
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_destination);
    QVERIFY(!fs::exists(m_prefs));
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(1)->click();
    QCOMPARE(Keys(Prefs()), std::set<QString>{"MoveToDestinationOption"});
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QCOMPARE(Keys(Prefs()), (std::set<QString>{"IsWatching", "MoveToDestinationOption"}));
    samples::WriteFile(m_source / "old.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "old.pdf") && !fs::exists(m_source / "old.ps"),
                             kDeadline);
  }

  void theActivityListTheStateAndTheFailureNotice() {
    const fs::path converter = samples::WriteStandInConverter(
        m_root, "picky",
        "if grep -q BAD \"$1\"; then echo 'not a page in it' >&2; exit 1; fi\n"
        "exec '" + ConverterProgramPath().native() + "' \"$@\"");
    qputenv("QUILLPRESS_PSTOPDF", converter.c_str());
    samples::WriteFile(m_source / "good.ps", samples::OnePagePostScript());
    SetUpFolders(1);
    std::vector<QString> notices;
    m_c->setFailureNotifier([&](const QString& title, const QString& body) { notices.push_back(title + body); });
    QCOMPARE(m_c->watchStateLabel->text(), LocalizedString("WatchStateOff"));
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_c->watchStateLabel->text(), LocalizedString("WatchStateWatching"));
    QTreeWidget* list = m_c->watchActivityList;
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 3, kDeadline);  // started, converted, deleted
    QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("good.ps"));
    QCOMPARE(list->topLevelItem(0)->text(2), LocalizedString("WatchEventDeleted"));
    QCOMPARE(list->topLevelItem(1)->text(2), LocalizedString("WatchEventConverted") + QStringLiteral(": good.pdf"));
    QCOMPARE(list->topLevelItem(2)->text(2), LocalizedString("WatchEventStarted") + QStringLiteral(": out"));
    QVERIFY(!list->topLevelItem(0)->font(0).bold());

    // A failure while the window is not in front: at the top, standing out,
    // and told on the desktop.
    m_window->hide();
    samples::WriteFile(m_source / "bad.ps", samples::OnePagePostScript() + "% BAD\n");
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 4, kDeadline);
    QTreeWidgetItem* failed = list->topLevelItem(0);
    QCOMPARE(failed->text(1), QStringLiteral("bad.ps"));
    QCOMPARE(failed->text(2), LocalizedString("WatchEventFailed"));
    QVERIFY(failed->text(3).contains(QStringLiteral("not a page in it")));
    QVERIFY(failed->font(1).bold());
    QVERIFY(failed->foreground(1).color() != list->topLevelItem(1)->foreground(1).color());
    QCOMPARE(notices.size(), std::size_t(1));
    QVERIFY(notices[0].contains(QStringLiteral("bad.ps")));

    // A double click shows the file in the file viewer.
    m_window->show();
    m_c->OpenWatchFolderPreferences();
    QVERIFY(QTest::qWaitForWindowExposed(m_c->preferencesDialogOutlet));
    const QRect at = list->visualItemRect(failed);
    // The first click of a double click, then the second.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at.center());
    QCOMPARE(m_workspace->revealed, std::vector<fs::path>{m_source / "bad.ps"});

    // The folder gone and back.
    fs::remove_all(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(m_c->watchStateLabel->text(), LocalizedString("WatchStateWaiting"), kDeadline);
    QVERIFY(m_c->isWatching());
    QCOMPARE(list->topLevelItem(0)->text(2), LocalizedString("WatchEventFolderGone"));
    fs::create_directories(m_source);
    QTRY_COMPARE_WITH_TIMEOUT(m_c->watchStateLabel->text(), LocalizedString("WatchStateWatching"), kDeadline);
  }

  void thePdfSettingsAreStoredOnlyWhenNotTheDefault() {
    samples::WriteFile(m_source / "small.ps", samples::OnePagePostScript());
    SetUpFolders(1);
    QComboBox* presets = m_c->watchPdfPresetPopUp;
    QCOMPARE(presets->count(), int(kAllPdfPresets.size()));
    QCOMPARE(m_c->selectedPreset(), PdfPreset::Faithful);
    QVERIFY(!Keys(Prefs()).count("PDFPreset"));
    presets->setCurrentIndex(presets->findData(QStringLiteral("smallest")));
    Q_EMIT presets->activated(presets->currentIndex());
    QCOMPARE(Prefs().at("PDFPreset").type, QStringLiteral("string"));
    m_c->watchButtonOutlet->click();
    QVERIFY(!presets->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "small.pdf"), kDeadline);
    m_c->watchButtonOutlet->click();

    // Read back at the next launch; back to the default, the key goes.
    Launch();
    QCOMPARE(m_c->selectedPreset(), PdfPreset::Smallest);
    presets = m_c->watchPdfPresetPopUp;
    presets->setCurrentIndex(presets->findData(QStringLiteral("faithful")));
    Q_EMIT presets->activated(presets->currentIndex());
    QVERIFY(!Keys(Prefs()).count("PDFPreset"));
  }

  void severalFoldersInTheList() {
    SetUpFolders(1);
    m_c->watchButtonOutlet->click();
    QTreeWidget* list = m_c->watchFoldersList;
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("in"));
    QCOMPARE(list->topLevelItem(0)->text(1), Shown(m_source));
    QCOMPARE(list->topLevelItem(0)->text(2), Shown(m_destination));
    QCOMPARE(list->topLevelItem(0)->text(3), LocalizedString("WatchStateWatching"));

    // A second folder, added and set up in the same slots.
    m_c->addWatchFolderButton->click();
    QCOMPARE(m_c->editedFolder(), std::size_t(1));
    QVERIFY(m_c->watchFolderSourcePathTextField->text().isEmpty());
    QVERIFY(!m_c->isWatching());
    QVERIFY(m_c->selectSourceWatchFolderButtonOutlet->isEnabled());
    const fs::path in2 = m_root / "in2", out2 = m_root / "out2";
    fs::create_directories(in2);
    fs::create_directories(out2);
    Choose(m_c->selectSourceWatchFolderButtonOutlet, in2);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, out2);
    m_c->sourceFileDeletOrMoveMatrixOutlet->button(1)->click();
    QCOMPARE(list->topLevelItemCount(), 2);
    m_c->watchButtonOutlet->click();
    QVERIFY(m_c->isWatching());
    QCOMPARE(list->topLevelItem(1)->checkState(0), Qt::Checked);
    samples::WriteFile(in2 / "second.ps", samples::OnePagePostScript());
    samples::WriteFile(m_source / "first.ps", samples::OnePagePostScript());
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(out2 / "second.pdf") && fs::exists(m_destination / "first.pdf"), kDeadline);
    // The first file keeps its keys; the second folder is stored beside it.
    QCOMPARE(Keys(Prefs()), (std::set<QString>{"DestinationURL", "IsWatching", "MoveToDestinationOption",
                                               "SourceURL"}));
    QVERIFY(fs::exists(m_prefs.parent_path() / "org.quillpress.Quillpress-WatchFolders.plist"));

    // A third whose source is the first's destination is refused.
    m_c->addWatchFolderButton->click();
    Choose(m_c->selectSourceWatchFolderButtonOutlet, m_destination);
    Choose(m_c->selectDestinationWatchFolderButtonOutlet, m_moveTo);
    m_c->watchButtonOutlet->click();
    QCOMPARE(m_prompts->alerts.back().title, LocalizedString("WatchFoldersLoopMsg"));
    QVERIFY(!m_c->isWatching());
    list->setCurrentItem(list->topLevelItem(2));
    m_c->removeWatchFolderButton->click();
    QCOMPARE(list->topLevelItemCount(), 2);

    // The first switched off in the list; the second stays on.
    list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    QCOMPARE(m_c->service().state(0), WatchFolderState::Off);
    QVERIFY(IsBoolean("IsWatching", false));
    QCOMPARE(m_c->service().state(1), WatchFolderState::Watching);

    // At the next launch the second resumes, the first does not.
    Launch();
    QCOMPARE(m_c->service().state(1), WatchFolderState::Watching);
    QCOMPARE(m_c->service().state(0), WatchFolderState::Off);
    list = m_c->watchFoldersList;
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(list->topLevelItem(1)->text(1), Shown(in2));

    // Edited: its slots show its folders; removed: it stops.
    list->setCurrentItem(list->topLevelItem(1));
    m_c->editWatchFolderButton->click();
    QCOMPARE(m_c->watchFolderSourcePathTextField->text(), Shown(in2));
    QVERIFY(m_c->isWatching());
    m_c->removeWatchFolderButton->click();
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(m_c->service().state(1), WatchFolderState::Off);
    QVERIFY(!m_c->service().anyRunning());
    QCOMPARE(m_c->editedFolder(), std::size_t(0));
  }

  void removingOrEditingAFolderLeavesTheOthersRunning() {
    SetUpFolders(1);
    m_c->watchButtonOutlet->click();
    const fs::path in2 = m_root / "in2", out2 = m_root / "out2", in3 = m_root / "in3", out3 = m_root / "out3";
    AddAndStart(in2, out2, 1);
    AddAndStart(in3, out3, 1);
    std::vector<WatchEvent> events;
    connect(m_c.get(), &WatchFolderController::watchEvent, this, [&](const WatchEvent& e) { events.push_back(e); });
    // A long file in hand in the last folder.
    samples::WriteFile(in3 / "long.ps",
                       samples::PostScriptWithPages(std::vector<std::pair<int, int>>(60, {612, 792})));
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(in3 / "long.ps"), kDeadline);  // claimed

    // The first removed, the second stopped, given another destination
    // and started again, all through the sheet's buttons.
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
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(out3 / "long.pdf") && fs::exists(other / "two.pdf"), kDeadline);
    // The third was never stopped, its file converted once, without a pause.
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(in3).empty(), kDeadline);
    int converted = 0;
    for (const WatchEvent& e : events) {
      const bool third = e.file.parent_path() == in3 || e.file == in3;
      QVERIFY2(!third || e.kind == WatchEvent::Kind::Converted || e.kind == WatchEvent::Kind::Deleted,
               e.file.c_str());
      converted += third && e.kind == WatchEvent::Kind::Converted ? 1 : 0;
    }
    QCOMPARE(converted, 1);
  }
};

QTEST_MAIN(WatchWindowTest)
#include "tst_watch_window.moc"
