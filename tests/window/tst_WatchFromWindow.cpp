// The watch folder as the application window runs it: resumed at launch from
// the settings file, its sheet behind the menu command, and quitting or
// closing the window while watching.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "platform/LocalizedString.h"
#include "platform/Workspace.h"
#include "watch/WatchFolderController.h"
#include "watch/WatchSettingsStore.h"

#include "PostScriptSamples.h"

#include <QSet>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

namespace {
// Everything here waits on work off the main thread (settings, conversions),
// which on a loaded machine takes far longer than QTRY's default.
constexpr int kDeadline = 120000;
}  // namespace

class WatchFromWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  fs::path m_source, m_destination;

  static bool FirstIsOn() {
    const auto first = WatchSettingsStore().Read().folders.at(0);
    return first && first->stored.on;
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    InstallStringTable();
  }

  void init() {
    static int run = 0;
    const fs::path here = TempPath(m_tmp) / ("run" + std::to_string(++run));
    m_source = here / "watched";
    m_destination = here / "pdfs";
    for (const fs::path& f : {here / "config", m_source, m_destination}) fs::create_directories(f);
    qputenv("XDG_CONFIG_HOME", (here / "config").c_str());
    qputenv("XDG_STATE_HOME", (here / "state").c_str());
  }

  void watchingResumesAtLaunchAndQuittingAsksUntilItIsStopped() {
    // Settings as the sheet leaves them after "Watch": delete each source.
    WatchFolderEntry folder;
    folder.source = m_source;
    folder.destination = m_destination;
    folder.stored.disposal = SourceDisposal::Delete;
    folder.stored.on = true;
    QVERIFY(WatchSettingsStore().Write(0, folder));  // under XDG_CONFIG_HOME
    // Already there before launch: the first scan takes it.
    WriteFile(m_source / "waiting.ps", samples::OnePagePostScript());
    {
      WindowFixture f(false);
      QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "waiting.pdf") && !fs::exists(m_source / "waiting.ps"),
                               kDeadline);
      QVERIFY(samples::QpdfCheckPasses(m_destination / "waiting.pdf"));
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
      QCOMPARE(f.prompts.alerts.size(), std::size_t{3});
      QTRY_COMPARE_WITH_TIMEOUT(terminate.count(), 1, kDeadline);
    }
    // Quitting is not stopping: the next launch watches again. Stopped from
    // the sheet behind the menu command, quitting no longer asks.
    QVERIFY(FirstIsOn());
    WindowFixture f(false);
    QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
    f.action("watchFolderMenuItem")->trigger();
    WatchFolderController& watch = f.d().watchFolder();
    QTRY_VERIFY_WITH_TIMEOUT(watch.preferencesDialogOutlet->isVisible(), kDeadline);
    QCOMPARE(watch.preferencesDialogOutlet->parentWidget(), f.d().window());
    watch.watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.d().isWatching(), kDeadline);
    QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
    f.action("quitMenuItem")->trigger();
    QCOMPARE(terminate.count(), 1);
    QVERIFY(f.prompts.alerts.empty());
    QTRY_VERIFY_WITH_TIMEOUT(!FirstIsOn(), kDeadline);
  }

  // The sheet uses the window's own prompts and desktop, set after it was
  // made; its fields have names for screen readers and take typed paths.
  void theSheetIsReachableByNameAndByTyping() {
    WindowFixture f(false);
    f.action("watchFolderMenuItem")->trigger();
    WatchFolderController& watch = f.d().watchFolder();
    QTRY_VERIFY_WITH_TIMEOUT(watch.preferencesDialogOutlet->isVisible() && watch.isLoaded(), kDeadline);

    QStringList names;
    for (QWidget* widget : std::initializer_list<QWidget*>{
             watch.watchFolderSourcePathTextField, watch.watchFolderDestinationPathTextField,
             watch.watchFolderMoveFilesPathTextField, watch.selectSourceWatchFolderButtonOutlet,
             watch.openSourceWatchFolderButtonOutlet, watch.selectDestinationWatchFolderButtonOutlet,
             watch.openDestinationWatchFolderButtonOutlet, watch.selectMoveFilesWatchFolderButtonOutlet,
             watch.openMoveFilesWatchFolderButtonOutlet, watch.watchingSpinningProgressOutlet}) {
      QVERIFY(!widget->accessibleName().isEmpty());
      names << widget->accessibleName();
    }
    QCOMPARE(QSet<QString>(names.cbegin(), names.cend()).size(), 10);

    // The choosers say which folder they choose, and none is the Add panel.
    watch.disposalButton(SourceDisposal::MoveToFolder)->click();
    for (QPushButton* choose : {watch.selectSourceWatchFolderButtonOutlet,
                                watch.selectDestinationWatchFolderButtonOutlet,
                                watch.selectMoveFilesWatchFolderButtonOutlet})
      choose->click();
    QTRY_COMPARE_WITH_TIMEOUT(f.prompts.completedPanels, 3, kDeadline);
    QSet<QString> titles;
    for (const OpenPanelRequest& panel : f.prompts.panels) titles << panel.title;
    QCOMPARE(titles.size(), 3);
    QVERIFY(!titles.contains(LocalizedString("OpenDialogTitle")));

    // A path typed (or pasted) and confirmed is taken; a wrong one is not.
    QLineEdit* source = watch.watchFolderSourcePathTextField;
    source->setFocus();
    source->selectAll();
    QTest::keyClicks(source, QString::fromLocal8Bit(m_source.c_str()));
    QTest::keyClick(source, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(WatchSettingsStore().Read().folders.at(0) &&
                                 WatchSettingsStore().Read().folders.at(0)->isSet(),
                             kDeadline);
    source->selectAll();
    QTest::keyClicks(source, QStringLiteral("/no/such/folder"));
    QTest::keyClick(source, Qt::Key_Return);
    QCOMPARE(source->text(), QString::fromLocal8Bit(m_source.c_str()));
    watch.openSourceWatchFolderButtonOutlet->click();
    QCOMPARE(f.workspace.opened, std::vector<QUrl>{FileUrlForPath(m_source)});
  }
};

QTEST_MAIN(WatchFromWindowTest)
#include "tst_WatchFromWindow.moc"
