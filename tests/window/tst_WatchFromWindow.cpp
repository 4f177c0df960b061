// The watch folder as the application window runs it: resumed at launch from
// the settings file, its sheet behind the menu command with the window's own
// prompts and desktop, and quitting or closing the window while watching.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "platform/LocalizedString.h"
#include "platform/Workspace.h"
#include "watch/WatchFolderController.h"
#include "watch/WatchSettingsStore.h"

#include "PostScriptSamples.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>

namespace {
// Everything here waits on work off the main thread (settings, conversions),
// which on a loaded machine takes far longer than QTRY's default.
constexpr int kDeadline = 120000;

std::optional<WatchFolderEntry> First() { return WatchSettingsStore().Read().folders.at(0); }
}  // namespace

class WatchFromWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    InstallStringTable();
  }

  void watchingResumesAtLaunchAndQuittingAsksUntilItIsStopped() {
    const fs::path here = TempPath(m_tmp), source = here / "watched", destination = here / "pdfs", other = here / "other";
    for (const fs::path& f : {here / "config", source, destination, other}) fs::create_directories(f);
    qputenv("XDG_CONFIG_HOME", (here / "config").c_str());
    qputenv("XDG_STATE_HOME", (here / "state").c_str());
    // Settings as the sheet leaves them after "Watch": delete each source.
    WatchFolderEntry folder;
    folder.source = source;
    folder.destination = destination;
    folder.stored.disposal = SourceDisposal::Delete;
    folder.stored.on = true;
    QVERIFY(WatchSettingsStore().Write(0, folder));
    // Already there before launch: the first scan takes it.
    WriteFile(source / "waiting.ps", samples::OnePagePostScript());
    {
      WindowFixture f(false);
      QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(destination / "waiting.pdf") && !fs::exists(source / "waiting.ps"), kDeadline);
      QVERIFY(samples::QpdfCheckPasses(destination / "waiting.pdf"));
      QVERIFY(f.prompts.alerts.empty());

      // Quit answered No, the close box answered with Escape: both keep
      // everything running; the close box answered Quit ends it.
      QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
      f.prompts.alertAnswers = {0, ScriptedUserPrompts::kEscape, 1};
      f.action("quitMenuItem")->trigger();
      QVERIFY(!f.window()->close());
      QVERIFY(f.window()->isVisible() && f.d().isWatching());
      QCOMPARE(terminate.count(), 0);
      QCOMPARE(f.prompts.alerts.size(), std::size_t{2});
      const ScriptedUserPrompts::Alert& alert = f.prompts.alerts[0];
      QCOMPARE(alert.title, LocalizedString("QuitOnCloseTitle"));
      QCOMPARE(alert.message, LocalizedString("QuitOnCloseMessage"));
      QCOMPARE(alert.defaultButton, LocalizedString("QuitButtonString"));
      QCOMPARE(alert.alternateButton, LocalizedString("NoButtonTitle"));
      QVERIFY(f.window()->close());
      QTRY_COMPARE_WITH_TIMEOUT(terminate.count(), 1, kDeadline);
    }
    // Quitting is not stopping: the next launch watches again.
    QVERIFY(First()->stored.on);
    WindowFixture f(false);
    QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
    f.action("watchFolderMenuItem")->trigger();
    WatchFolderController& watch = f.d().watchFolder();
    QTRY_VERIFY_WITH_TIMEOUT(watch.preferencesDialogOutlet->isVisible(), kDeadline);
    QCOMPARE(watch.preferencesDialogOutlet->parentWidget(), f.d().window());
    // Its fields have names for screen readers.
    QSet<QString> names;
    for (QWidget* widget : std::initializer_list<QWidget*>{
             watch.watchFolderSourcePathTextField, watch.watchFolderDestinationPathTextField,
             watch.watchFolderMoveFilesPathTextField, watch.selectSourceWatchFolderButtonOutlet,
             watch.openSourceWatchFolderButtonOutlet, watch.selectDestinationWatchFolderButtonOutlet,
             watch.openDestinationWatchFolderButtonOutlet, watch.selectMoveFilesWatchFolderButtonOutlet,
             watch.openMoveFilesWatchFolderButtonOutlet, watch.watchingSpinningProgressOutlet}) {
      names << widget->accessibleName();
    }
    QVERIFY(names.size() == 10 && !names.contains(QString()));

    // Stopped from the sheet; the choosers then say which folder they
    // choose, through the window's prompts.
    watch.watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.d().isWatching(), kDeadline);
    watch.disposalButton(SourceDisposal::MoveToFolder)->click();
    for (QPushButton* choose : {watch.selectSourceWatchFolderButtonOutlet, watch.selectDestinationWatchFolderButtonOutlet,
                                watch.selectMoveFilesWatchFolderButtonOutlet}) {
      choose->click();
    }
    QTRY_COMPARE_WITH_TIMEOUT(f.prompts.completedPanels, 3, kDeadline);
    QStringList titles;
    for (const OpenPanelRequest& panel : f.prompts.panels) {
      titles << panel.title;
      QCOMPARE(panel.prompt, LocalizedString("OpenFileDialogButton"));
      QVERIFY(!panel.canChooseFiles && panel.canChooseDirectories && !panel.allowsMultipleSelection &&
              panel.canCreateDirectories);
    }
    QCOMPARE(titles, (QStringList{LocalizedString("WatchSourceChooserTitle"), LocalizedString("OpenDestinationDialogTitle"),
                                  LocalizedString("WatchMoveFilesChooserTitle")}));

    // A path typed (or pasted) and confirmed is taken; a wrong one is not.
    QLineEdit* field = watch.watchFolderSourcePathTextField;
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, QString::fromLocal8Bit(other.c_str()));
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(First()->source == other, kDeadline);
    field->selectAll();
    QTest::keyClicks(field, QStringLiteral("/no/such/folder"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->text(), QString::fromLocal8Bit(other.c_str()));
    watch.openSourceWatchFolderButtonOutlet->click();
    QCOMPARE(f.workspace.opened, std::vector<QUrl>{FileUrlForPath(other)});

    // Stopped, quitting no longer asks.
    QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
    f.action("quitMenuItem")->trigger();
    QCOMPARE(terminate.count(), 1);
    QVERIFY(f.prompts.alerts.empty());
    QTRY_VERIFY_WITH_TIMEOUT(!First()->stored.on, kDeadline);
  }
};

QTEST_MAIN(WatchFromWindowTest)
#include "tst_WatchFromWindow.moc"
