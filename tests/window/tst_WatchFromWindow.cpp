// The watch folder as the application window runs it: resumed at launch from
// the settings file, its sheet behind the menu command, and quitting while
// watching.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "platform/Bookmark.h"
#include "platform/LocalizedString.h"
#include "watch/WatchFolderController.h"
#include "watch/WatchSettingsStore.h"

#include "PostScriptSamples.h"

#include <QSet>
#include <QAction>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

namespace {
constexpr int kDeadline = 120000;
}  // namespace

class WatchFromWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  fs::path m_config, m_source, m_destination;

  fs::path Root() const { return TempPath(m_tmp); }

  // Settings as the sheet leaves them after "Watch": delete each source.
  void WriteWatchingSettings() {
    WatchFolderEntry folder;
    folder.source = m_source;
    folder.destination = m_destination;
    folder.stored.disposal = SourceDisposal::Delete;
    folder.stored.on = true;
    QVERIFY(WatchSettingsStore().Write(0, folder));  // under XDG_CONFIG_HOME
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    InstallStringTable();
  }

  void init() {
    static int run = 0;
    const fs::path here = Root() / ("run" + std::to_string(++run));
    m_config = here / "config";
    m_source = here / "watched";
    m_destination = here / "pdfs";
    for (const fs::path& f : {m_config, m_source, m_destination}) fs::create_directories(f);
    qputenv("XDG_CONFIG_HOME", m_config.c_str());
    qputenv("XDG_STATE_HOME", (here / "state").c_str());
  }

  void watchingResumesAtLaunchAndQuittingAsksUntilItIsStopped() {
    WriteWatchingSettings();
    // Already there before launch: the first scan takes it.
    WriteFile(m_source / "waiting.ps", samples::OnePagePostScript());
    {
      WindowFixture f(false);
      QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_destination / "waiting.pdf") && !fs::exists(m_source / "waiting.ps"),
                               kDeadline);
      QVERIFY(samples::QpdfCheckPasses(m_destination / "waiting.pdf"));
      QVERIFY(f.prompts.alerts.empty());

      QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
      f.prompts.alertAnswers = {0};  // No
      f.action("quitMenuItem")->trigger();
      QCOMPARE(f.prompts.alerts.size(), std::size_t{1});
      QCOMPARE(f.prompts.alerts[0].title, LocalizedString("QuitOnCloseTitle"));
      QCOMPARE(terminate.count(), 0);
      QVERIFY(f.d().isWatching());
      f.prompts.alertAnswers = {1};  // Quit
      f.action("quitMenuItem")->trigger();
      QCOMPARE(terminate.count(), 1);
    }
    // Quitting is not stopping: the next launch watches again. Stopped from
    // the sheet behind the menu command, quitting no longer asks.
    QVERIFY(WatchSettingsStore().Read().folders.at(0)->stored.on);
    WindowFixture f(false);
    QTRY_VERIFY_WITH_TIMEOUT(f.d().isWatching(), kDeadline);
    f.action("watchFolderMenuItem")->trigger();
    WatchFolderController& watch = f.d().watchFolder();
    QTRY_VERIFY(watch.preferencesDialogOutlet->isVisible());
    QCOMPARE(watch.preferencesDialogOutlet->parentWidget(), f.d().window());
    watch.watchButtonOutlet->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.d().isWatching(), kDeadline);
    QSignalSpy terminate(&f.d(), &AppDelegate::terminateApproved);
    f.action("quitMenuItem")->trigger();
    QCOMPARE(terminate.count(), 1);
    QVERIFY(f.prompts.alerts.empty());
    QTRY_VERIFY_WITH_TIMEOUT(!WatchSettingsStore().Read().folders.at(0)->stored.on, kDeadline);
  }

  void theSheetIsReachableByNameAndByTyping() {
    WindowFixture f(false);
    f.action("watchFolderMenuItem")->trigger();
    WatchFolderController& watch = f.d().watchFolder();
    QTRY_VERIFY(watch.preferencesDialogOutlet->isVisible() && watch.isLoaded());

    // Every field and button says what it is for, each its own name.
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
    QStringList titles;
    for (QPushButton* choose : {watch.selectSourceWatchFolderButtonOutlet,
                                watch.selectDestinationWatchFolderButtonOutlet,
                                watch.selectMoveFilesWatchFolderButtonOutlet}) {
      choose->setEnabled(true);
      choose->click();
      QTRY_VERIFY(!f.prompts.panels.empty());
      titles << f.prompts.panels.back().title;
    }
    QCOMPARE(QSet<QString>(titles.cbegin(), titles.cend()).size(), 3);
    QVERIFY(!titles.contains(LocalizedString("OpenDialogTitle")));

    // A path typed (or pasted) and confirmed is taken; a wrong one is not.
    QLineEdit* source = watch.watchFolderSourcePathTextField;
    QVERIFY(!source->isReadOnly());
    source->setFocus();
    source->selectAll();
    QTest::keyClicks(source, QString::fromLocal8Bit(m_source.c_str()));
    QTest::keyClick(source, Qt::Key_Return);
    QTRY_VERIFY(WatchSettingsStore().Read().folders.at(0) && WatchSettingsStore().Read().folders.at(0)->isSet());
    source->selectAll();
    QTest::keyClicks(source, QStringLiteral("/no/such/folder"));
    QTest::keyClick(source, Qt::Key_Return);
    QCOMPARE(source->text(), QString::fromLocal8Bit(m_source.c_str()));
  }
};

QTEST_MAIN(WatchFromWindowTest)
#include "tst_WatchFromWindow.moc"
