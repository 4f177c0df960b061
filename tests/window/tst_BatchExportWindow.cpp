// Convert and Convert All through the controller, with the real converter on
// real files: the folder chooser, the progress sheet as it changes, cancel,
// the closing alerts, refused second requests and quitting mid-batch.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "app/ExportProgressSheet.h"
#include "platform/LocalizedString.h"
#include "platform/Workspace.h"

#include "PostScriptSamples.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

#include <sys/stat.h>

namespace {

constexpr int kDeadline = 120000;

// The sheet's line and bar, each time either changes.
struct ProgressRecord {
  QStringList lines;  // distinct lines, in the order shown
  std::vector<int> values;
  std::vector<int> maximums;
};

QString Line(int index, int count, const QString& name) {
  return LocalizedString("Exporting").arg(QString::number(index), QString::number(count), name);
}

}  // namespace

class BatchExportWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  std::unique_ptr<WindowFixture> m_f;
  ProgressRecord m_progress;
  fs::path m_root;


  // A converter that says it has started (Started(gate)) and then waits for
  // a gate file before it does the real work, so that a test can act while
  // items are in hand.
  fs::path GatedConverter(const fs::path& gate) {
    const fs::path real = samples::BinDir() / "pstopdf";
    return samples::WriteStandInConverter(
        m_root, "gated-pstopdf",
        ": > '" + Started(gate).string() + "'\n"
        "while [ ! -e '" + gate.string() + "' ]; do sleep 0.02; done\nexec '" + real.string() +
            "' \"$@\"");
  }
  static fs::path Started(const fs::path& gate) { return gate.string() + ".started"; }

  ExportProgressSheet* Sheet() const { return m_f->find<ExportProgressSheet>(); }

  void Record() {
    ExportProgressSheet* sheet = Sheet();
    connect(sheet, &ExportProgressSheet::progressChanged, this, [this, sheet] {
      // Read from the widgets themselves, as the user sees them.
      const QString line = sheet->conversionFileNumberStaticText->text();
      if (!line.isEmpty() && (m_progress.lines.isEmpty() || m_progress.lines.back() != line))
        m_progress.lines << line;
      m_progress.values.push_back(sheet->conversionProgressIndicator->value());
      m_progress.maximums.push_back(sheet->conversionProgressIndicator->maximum());
    });
  }

  void Add(std::vector<fs::path> files) {
    const int before = m_f->rows();
    const auto count = static_cast<int>(files.size());
    QVERIFY(m_f->addFromPanel(std::move(files)));
    QCOMPARE(m_f->rows(), before + count);
  }

  // Runs a command with the chooser answering destination; waits until the
  // batch is idle again.
  [[nodiscard]] bool RunBatch(const char* command, const fs::path& destination) {
    m_f->prompts.AnswerNextPanel({destination});
    QAction* action = m_f->action(command);
    // The window turns Convert back on once it has heard the last batch end.
    if (!QTest::qWaitFor([action] { return action->isEnabled(); }, kDeadline)) return false;
    action->trigger();
    return WaitIdle();
  }

  [[nodiscard]] bool WaitIdle() {
    return QTest::qWaitFor([this] { return !m_f->d().batchExport().isBusy(); }, kDeadline);
  }

  QString Status(int row) const { return m_f->cell(row, FileListTableModel::kStatusColumn); }

  fs::path Dest(const char* name) {
    const fs::path dest = m_root / name;
    fs::create_directories(dest);
    return dest;
  }

  fs::path Good(const char* name) { return WriteFile(m_root / "in" / name, samples::OnePagePostScript()); }
  fs::path Bad(const char* name) {
    return WriteFile(m_root / "in" / name, "%!PS-Adobe-3.0\n/undefinedname-here cvx exec\nshowpage\n");
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    m_root = TempPath(m_tmp);
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    InstallStringTable();
    QVERIFY(!LocalizedString("Exporting").isEmpty());
  }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    fs::remove_all(m_root / "in");
    m_f = std::make_unique<WindowFixture>();
    m_progress = {};
    Record();
  }

  void cleanup() { m_f.reset(); }

  void convertShowsEveryStepAndClosesWithSuccess() {
    Add({Good("a.ps"), Good("b.ps")});
    const fs::path dest = Dest("success");
    m_f->selectRows({0, 1});
    // A cancelled chooser converts nothing and leaves Convert usable.
    m_f->action("exportMenuItem")->trigger();  // no answer scripted: cancelled
    QTRY_COMPARE_WITH_TIMEOUT(m_f->prompts.completedPanels, 2, kDeadline);
    QVERIFY(!m_f->d().batchExport().isBusy() && m_f->prompts.alerts.empty() && m_progress.values.empty());

    m_f->prompts.alertAnswers = {0};  // Open Destination
    QVERIFY(RunBatch("exportMenuItem", dest));

    // The chooser: a folder, titled for Convert (Convert All has its own).
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{3});
    const OpenPanelRequest& chooser = m_f->prompts.panels.back();
    QCOMPARE(chooser.title, LocalizedString("ConvertChooserTitle"));
    QVERIFY(chooser.title != LocalizedString("ConvertAllChooserTitle") && !chooser.prompt.isEmpty());
    QVERIFY(!chooser.canChooseFiles && chooser.canChooseDirectories && chooser.canCreateDirectories &&
            !chooser.allowsMultipleSelection);

    QCOMPARE(m_progress.lines, QStringList({Line(0, 2, QString()), Line(1, 2, "a.ps"), Line(2, 2, "b.ps")}));
    QCOMPARE(m_progress.values.back(), 4);
    QCOMPARE(m_progress.maximums.back(), 4);
    QVERIFY(!Sheet()->isVisible());

    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    const auto& alert = m_f->prompts.alerts.front();
    QCOMPARE(alert.title, LocalizedString("SuccessfullConvertMsg"));
    QCOMPARE(alert.message, QString());
    QCOMPARE(alert.defaultButton, LocalizedString("OkButtonString"));
    QCOMPARE(alert.alternateButton, LocalizedString("OpenDestinationTitle"));
    // Good news, and Escape means OK, not Open Destination.
    QCOMPARE(alert.kind, AlertRequest::Kind::Information);
    QCOMPARE(alert.escapeAnswer, 1);
    QCOMPARE(m_f->workspace.opened, std::vector<QUrl>{FileUrlForPath(dest)});

    // Each row says where its PDF went; Enter on a row opens it.
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverted").arg(QStringLiteral("a.pdf")), kDeadline);
    QCOMPARE(Status(1), LocalizedString("StatusConverted").arg(QStringLiteral("b.pdf")));
    m_f->table()->setFocus();
    m_f->table()->setCurrentIndex(m_f->table()->model()->index(1, 0));
    QTest::keyClick(m_f->table(), Qt::Key_Return);
    QCOMPARE(m_f->workspace.opened.back(), FileUrlForPath(dest / "b.pdf"));

    QCOMPARE(samples::ListTree(dest), (std::vector<std::string>{"a.pdf", "b.pdf"}));
    QVERIFY(samples::QpdfCheckPasses(dest / "a.pdf"));
    // The list is left as it was, and the commands are back.
    QCOMPARE(m_f->rows(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(m_f->find<QPushButton>("exportButton")->isEnabled(), kDeadline);
    QVERIFY(m_f->toolbarButton("Add")->isEnabled());

    // Nothing to convert: no chooser at all.
    m_f->selectRows({});
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{3});
  }

  void closingAlertsFollowTheOutcome() {
    const fs::path bad = Bad("bad %1 name.ps");
    Add({bad});
    m_f->selectRows({0});
    QVERIFY(RunBatch("exportMenuItem", Dest("single")));
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    QCOMPARE(m_f->prompts.alerts[0].title, LocalizedString("ErrorAlertTitle"));
    // The name goes into the message as it stands, never read as a format;
    // the reason follows in words, with where the interpreter stopped, and
    // its own message waits in the details.
    const QString reason = LocalizedString("FailureUndefined").arg(QStringLiteral("undefinedname-here")) +
                           QLatin1Char(' ') + LocalizedString("FailureAtLine").arg(2);
    QCOMPARE(m_f->prompts.alerts[0].message,
             LocalizedString("ErrorAlertSingleMsg").arg(QStringLiteral("bad %1 name.ps")) +
                 QStringLiteral("\n\n") + reason);
    QVERIFY(m_f->prompts.alerts[0].details.contains(QStringLiteral("Error: /undefined")));
    QCOMPARE(m_f->prompts.alerts[0].kind, AlertRequest::Kind::Critical);
    QCOMPARE(m_f->prompts.alerts[0].alternateButton, QString());
    QCOMPARE(Status(0), LocalizedString("StatusFailed").arg(reason));
    QVERIFY(samples::ListTree(m_root / "single").empty());

    // Every one of several fails.
    Add({Bad("x.ps"), Bad("y.ps")});
    QVERIFY(RunBatch("exportAllMenuItem", Dest("all-fail")));
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{2});
    QCOMPARE(m_f->prompts.panels.back().title, LocalizedString("ConvertAllChooserTitle"));
    QCOMPARE(m_f->prompts.alerts[1].title, LocalizedString("ErrorAlertTitle"));
    // The failed files by name, and each with its reason in the details.
    QCOMPARE(m_f->prompts.alerts[1].message,
             LocalizedString("ErrorAlertMsg") + QStringLiteral("\n\n") +
                 LocalizedString("FailedFilesAre").arg(QStringLiteral("bad %1 name.ps, x.ps, y.ps")));
    for (const char* name : {"x.ps", "y.ps"})
      QVERIFY(m_f->prompts.alerts[1].details.contains(
          LocalizedString("FailedFileLine").arg(QLatin1String(name), reason)));
    QCOMPARE(m_f->prompts.alerts[1].defaultButton, LocalizedString("OkButtonString"));

    // Some fail: the partial alert, whose OK opens nothing.
    Add({Good("good.ps")});
    const fs::path partial = Dest("partial");
    m_f->prompts.alertAnswers = {1};
    QVERIFY(RunBatch("exportAllMenuItem", partial));
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{3});
    QCOMPARE(m_f->prompts.alerts[2].title, LocalizedString("ConvertMsg"));
    QVERIFY(m_f->prompts.alerts[2].message.startsWith(LocalizedString("ErrorAlertMsg")));
    QVERIFY(m_f->prompts.alerts[2].message.contains(QStringLiteral("x.ps")));
    QVERIFY(!m_f->prompts.alerts[2].message.contains(QStringLiteral("good.ps")));
    QCOMPARE(m_f->prompts.alerts[2].kind, AlertRequest::Kind::Warning);
    QCOMPARE(m_f->prompts.alerts[2].escapeAnswer, 1);
    QCOMPARE(m_f->prompts.alerts[2].alternateButton, LocalizedString("OpenDestinationTitle"));
    QCOMPARE(Status(3), LocalizedString("StatusConverted").arg(QStringLiteral("good.pdf")));
    QVERIFY(m_f->workspace.opened.empty());
    QCOMPARE(samples::ListTree(partial), std::vector<std::string>{"good.pdf"});
  }

  void pipeOrDeviceFailsAtOnceAndTheRestConverts() {
    // Never listed when added; one that became a pipe after it was listed
    // fails at once, without holding the batch.
    const fs::path pipe = m_root / "in" / "pipe.ps";
    fs::create_directories(pipe.parent_path());
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    QVERIFY(m_f->addFromPanel({pipe, "/dev/zero"}));
    QCOMPARE(m_f->rows(), 0);
    fs::remove(pipe);
    Add({Good("pipe.ps"), Good("good.ps")});
    fs::remove(pipe);
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    const fs::path dest = Dest("pipe");
    m_f->prompts.alertAnswers = {1};
    QVERIFY(RunBatch("exportAllMenuItem", dest));
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    QCOMPARE(m_f->prompts.alerts[0].title, LocalizedString("ConvertMsg"));
    QCOMPARE(samples::ListTree(dest), std::vector<std::string>{"good.pdf"});
  }

  void destinationThatCannotBeWrittenFailsEveryItem() {
    Add({Good("a.ps"), Good("b.ps")});
    // Nobody, not even root, can create files in /proc.
    QVERIFY(RunBatch("exportAllMenuItem", "/proc"));
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    QCOMPARE(m_f->prompts.alerts[0].title, LocalizedString("ErrorAlertTitle"));
    QVERIFY(m_f->prompts.alerts[0].message.startsWith(LocalizedString("ErrorAlertMsg")));
    QCOMPARE(Status(0), LocalizedString("StatusFailed").arg(LocalizedString("FailureCannotWrite")));
    QVERIFY(!fs::exists("/proc/a.pdf"));

    // A chosen "folder" that is a file is left untouched.
    const fs::path file = WriteFile(m_root / "not-a-folder", "keep me");
    QVERIFY(RunBatch("exportAllMenuItem", file));
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{2});
    QVERIFY(m_f->prompts.alerts[1].message.startsWith(LocalizedString("ErrorAlertMsg")));
    QVERIFY(fs::is_regular_file(file));
    QCOMPARE(fs::file_size(file), std::uintmax_t{7});
  }

  void keptTreeItemWhoseFolderCannotBeMadeIsSkipped() {
    const fs::path top = m_root / "in" / "top";
    WriteFile(top / "a.ps", samples::OnePagePostScript());
    WriteFile(top / "b" / "c.ps", samples::OnePagePostScript());
    WriteFile(top / "d.ps", samples::OnePagePostScript());
    m_f->choosePanelOptions(true, true);
    QVERIFY(m_f->addFromPanel({top}));
    m_f->prompts.whilePanelOpen = nullptr;
    QCOMPARE(m_f->rows(), 3);
    QHeaderView* header = m_f->table()->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      {header->sectionViewportPosition(FileListTableModel::kFilePathColumn) + 5, header->height() / 2});
    QCOMPARE(m_f->shownPaths(), (std::vector<fs::path>{top / "a.ps", top / "b" / "c.ps", top / "d.ps"}));

    const fs::path dest = Dest("tree");
    WriteFile(dest / "b", "a file where the folder b would go");
    QVERIFY(RunBatch("exportAllMenuItem", dest));

    QCOMPARE(m_progress.lines, QStringList({Line(0, 3, QString()), Line(1, 3, "a.ps"), Line(2, 3, "d.ps")}));
    QCOMPARE(m_progress.values.back(), 4);
    QCOMPARE(m_progress.maximums.back(), 5);
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    QCOMPARE(m_f->prompts.alerts[0].title, LocalizedString("ConvertMsg"));
    QCOMPARE(samples::ListTree(dest), (std::vector<std::string>{"a.pdf", "b", "d.pdf"}));
  }

  void cancelStopsTheConversionsInHand() {
    Add({Good("a.ps"), Good("b.ps"), Good("c.ps")});
    const fs::path gate = m_root / "gate-cancel";
    qputenv("QUILLPRESS_PSTOPDF", GatedConverter(gate).c_str());
    const fs::path dest = Dest("cancel");
    m_f->d().batchExport().setConcurrentConversions(2);
    m_f->prompts.AnswerNextPanel({dest});
    m_f->action("exportAllMenuItem")->trigger();

    ExportProgressSheet* sheet = Sheet();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(Started(gate)), kDeadline);
    QVERIFY(sheet->isVisible());
    // Two at a time: the third waits.
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverting"), kDeadline);
    QTRY_COMPARE_WITH_TIMEOUT(Status(1), LocalizedString("StatusConverting"), kDeadline);
    QCOMPARE(Status(2), LocalizedString("StatusWaiting"));
    QTest::mouseClick(sheet->cancelButton, Qt::LeftButton);
    QVERIFY(m_f->d().isConversionCancelled());
    // The sheet says so at once, and Cancel is not pressed twice.
    QCOMPARE(sheet->conversionFileNumberStaticText->text(), LocalizedString("Cancelling"));
    QVERIFY(!sheet->cancelButton->isEnabled());
    // The conversions in hand are stopped: the gate never opens.
    QVERIFY(WaitIdle());

    // Nothing partial is left, and the window says nothing was converted.
    QVERIFY(samples::ListTree(dest).empty());
    QTRY_VERIFY_WITH_TIMEOUT(m_f->find<QLabel>("workspaceMessage")->isVisible(), kDeadline);
    QCOMPARE(m_f->find<QLabel>("workspaceMessage")->text(), LocalizedString("CancelledNothingConverted"));
    for (int row = 0; row < 3; ++row) QCOMPARE(Status(row), QString());
    QVERIFY(m_f->prompts.alerts.empty());
    QVERIFY(!sheet->isVisible());
    QVERIFY(!m_f->d().isConversionCancelled());
    fs::remove(Started(gate));
  }

  void secondRequestWhileABatchRunsIsRefused() {
    Add({Good("a.ps"), Good("b.ps")});
    const fs::path gate = m_root / "gate-second";
    qputenv("QUILLPRESS_PSTOPDF", GatedConverter(gate).c_str());
    const fs::path first = Dest("first");
    const fs::path second = Dest("second");

    // While the chooser is open.
    m_f->prompts.AnswerNextPanel({first});
    m_f->action("exportAllMenuItem")->trigger();
    m_f->selectRows({1});
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{2});

    // While the batch runs.
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(Started(gate)), kDeadline);
    QCOMPARE(m_f->d().batchExport().state(), BatchExport::State::Running);
    m_f->prompts.AnswerNextPanel({second});
    m_f->action("exportAllMenuItem")->trigger();
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{2});
    QVERIFY(!m_f->d().batchExport().Start(m_f->d().GetAllItems(), second, false));
    // A drop on a file manager's folder is refused too.
    QVERIFY(m_f->d().namesOfPromisedFilesDroppedAtDestination(second, m_f->d().GetAllItems()).empty());
    QCOMPARE(m_f->d().batchExport().destinationURL(), first);
    QCOMPARE(m_f->d().batchExport().sourceURLs().size(), std::size_t{2});
    // The window's Convert commands are off meanwhile.
    QVERIFY(!m_f->find<QPushButton>("exportAllButton")->isEnabled());
    QVERIFY(!m_f->action("exportMenuItem")->isEnabled());

    WriteFile(gate, "");
    QVERIFY(WaitIdle());
    QCOMPARE(samples::ListTree(first), (std::vector<std::string>{"a.pdf", "b.pdf"}));
    QVERIFY(samples::ListTree(second).empty());
    m_f->prompts.panelAnswers.clear();
    fs::remove(gate);
    fs::remove(Started(gate));
  }

  void filesAddedDuringABatchLeaveEveryCommandOn() {
    Add({Good("a.ps")});
    const fs::path gate = m_root / "gate-adding";
    qputenv("QUILLPRESS_PSTOPDF", GatedConverter(gate).c_str());
    const fs::path dest = Dest("adding");
    m_f->prompts.AnswerNextPanel({dest});
    m_f->action("exportAllMenuItem")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverting"), kDeadline);
    // The desktop hands over more files meanwhile; the batch ends while
    // they are being added.
    const fs::path more = m_root / "in" / "more";
    for (int i = 0; i < 3000; ++i) WriteFile(more / ("m" + std::to_string(i) + ".ps"));
    bool batchEndedDuringAdd = false;
    connect(&m_f->d(), &AppDelegate::addingRunStarted, this, [&] {
      WriteFile(gate, "");
      batchEndedDuringAdd = true;
    });
    m_f->d().applicationOpenFiles(std::vector<fs::path>{more});
    QVERIFY(m_f->waitForAdding());
    QVERIFY(WaitIdle());
    QVERIFY(m_f->waitForAdding());
    QVERIFY(batchEndedDuringAdd);
    QCOMPARE(m_f->rows(), 3001);
    QTRY_VERIFY_WITH_TIMEOUT(m_f->toolbarButton("Add")->isEnabled(), kDeadline);
    QVERIFY(m_f->find<QPushButton>("exportButton")->isEnabled() && m_f->toolbarButton("Remove")->isEnabled());
    fs::remove(gate);
  }

  // The settings chosen under the table reach the conversion: the archive
  // preset as its metadata, the compression as object streams.
  void pdfSettingsReachTheConversion() {
    Add({WriteFile(m_root / "in" / "pages.ps", samples::PostScriptWithPages({{612, 792}, {612, 792}, {300, 300}}))});
    const fs::path plain = Dest("plain");
    QVERIFY(RunBatch("exportAllMenuItem", plain));
    auto* presets = m_f->find<QComboBox>("pdfPresetPopUp");
    auto* compress = m_f->find<QCheckBox>("compressPDFFileButton");
    QCOMPARE(presets->count(), static_cast<int>(kAllPdfPresets.size()));
    // Short names, each described in its tooltip, as is how the check box
    // goes with them.
    QCOMPARE(presets->itemText(presets->findData(QStringLiteral("pdfa-2b"))), QStringLiteral("Archive (PDF/A-2b)"));
    for (int i = 0; i < presets->count(); ++i)
      QVERIFY(presets->itemData(i, Qt::ToolTipRole).toString().size() > presets->itemText(i).size());
    QVERIFY(compress->toolTip().contains(presets->itemText(1)));
    presets->setCurrentIndex(presets->findData(QStringLiteral("pdfa-2b")));
    compress->click();
    const fs::path archive = Dest("archive");
    QVERIFY(RunBatch("exportAllMenuItem", archive));

    const std::string before = samples::ReadAll(plain / "pages.pdf"), after = samples::ReadAll(archive / "pages.pdf");
    QVERIFY(before.find("/ObjStm") == std::string::npos && before.find("pdfaid") == std::string::npos);
    QVERIFY(after.find("/ObjStm") != std::string::npos && after.find("pdfaid") != std::string::npos);
    QVERIFY(samples::QpdfCheckPasses(archive / "pages.pdf"));
    QCOMPARE(samples::PdfPageSizes(archive / "pages.pdf").size(), std::size_t{3});
  }

  void quittingMidBatchEndsCleanlyWithoutPartialFiles() {
    Add({Good("a.ps"), Good("b.ps")});
    // Writes part of a PDF and never finishes.
    const fs::path started = m_root / "stuck-started";
    const fs::path stuck = samples::WriteStandInConverter(
        m_root, "stuck-pstopdf",
        "printf '%%PDF-1.4 partial' > \"$3\"; : > '" + started.string() +
            "'\nwhile :; do sleep 0.02; done");
    qputenv("QUILLPRESS_PSTOPDF", stuck.c_str());
    const fs::path dest = Dest("quit");
    m_f->prompts.AnswerNextPanel({dest});
    m_f->action("exportAllMenuItem")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(started), kDeadline);
    m_f.reset();
    QVERIFY(samples::ListTree(dest).empty());
  }
};

QTEST_MAIN(BatchExportWindowTest)
#include "tst_BatchExportWindow.moc"
