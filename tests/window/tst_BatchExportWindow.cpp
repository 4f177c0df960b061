// Convert and Convert All through the controller, with the real converter on
// real files: the folder chooser, the progress sheet as it changes, cancel,
// the closing alerts, refused second requests and quitting mid-batch.

#include "WindowTestFixture.h"

#include "app/ApplicationResources.h"
#include "app/ExportProgressSheet.h"
#include "platform/LocalizedString.h"

#include "PostScriptSamples.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <sys/stat.h>

namespace {

constexpr int kDeadline = 120000;

QString Line(int index, int count, const QString& name) {
  return LocalizedString("Exporting").arg(QString::number(index), QString::number(count), name);
}

}  // namespace

class BatchExportWindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  std::unique_ptr<WindowFixture> m_f;
  fs::path m_root;

  // A converter that writes part of a PDF, says it has started (gate.started)
  // and then waits for the gate file before it does the real work, so that a
  // test can act while items are in hand.
  fs::path GatedConverter(const fs::path& gate) {
    return samples::WriteStandInConverter(m_root, "gated-pstopdf",
                                          "printf '%%PDF-1.4 partial' > \"$3\"; : > '" + gate.string() +
                                              ".started'\nwhile [ ! -e '" + gate.string() +
                                              "' ]; do sleep 0.02; done\nexec '" +
                                              (samples::BinDir() / "pstopdf").string() + "' \"$@\"");
  }

  ExportProgressSheet* Sheet() const { return m_f->find<ExportProgressSheet>(); }

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
  const AlertRequest& Alert(std::size_t i) const { return m_f->prompts.alerts.at(i); }

  fs::path Dest(const char* name) {
    fs::create_directories(m_root / name);
    return m_root / name;
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
  }

  void init() {
    qunsetenv("QUILLPRESS_PSTOPDF");
    fs::remove_all(m_root / "in");
    m_f = std::make_unique<WindowFixture>();
  }

  void cleanup() { m_f.reset(); }

  // Convert from the chooser to the alert; then the settings chosen under
  // the table reach the conversion: the archive preset as its metadata, the compression as object streams. Short
  // names, each described in its tooltip, as is how the check box goes with
  // them.
  void convertShowsEveryStepAndClosesWithSuccess() {
    Add({Good("a.ps"), Good("b.ps")});
    const fs::path dest = Dest("success");
    QStringList lines;  // the sheet's distinct lines, in the order shown
    int value = 0, maximum = 0;
    // Read from the widgets themselves, as the user sees them.
    connect(Sheet(), &ExportProgressSheet::progressChanged, this, [&] {
      const QString line = Sheet()->conversionFileNumberStaticText->text();
      if (!line.isEmpty() && (lines.isEmpty() || lines.back() != line)) lines << line;
      value = Sheet()->conversionProgressIndicator->value();
      maximum = Sheet()->conversionProgressIndicator->maximum();
    });
    m_f->selectRows({0, 1});
    // A cancelled chooser converts nothing and leaves Convert usable.
    m_f->action("exportMenuItem")->trigger();  // no answer scripted: cancelled
    QTRY_COMPARE_WITH_TIMEOUT(m_f->prompts.completedPanels, 2, kDeadline);
    QVERIFY(!m_f->d().batchExport().isBusy() && m_f->prompts.alerts.empty() && lines.empty());

    m_f->prompts.alertAnswers = {0};  // Open Destination
    QVERIFY(RunBatch("exportMenuItem", dest));
    // The chooser: a folder, titled for Convert (Convert All has its own).
    const OpenPanelRequest& chooser = m_f->prompts.panels.back();
    QCOMPARE(chooser.title, LocalizedString("ConvertChooserTitle"));
    QVERIFY(chooser.title != LocalizedString("ConvertAllChooserTitle") && !chooser.prompt.isEmpty());
    QVERIFY(!chooser.canChooseFiles && chooser.canChooseDirectories && chooser.canCreateDirectories &&
            !chooser.allowsMultipleSelection);
    QCOMPARE(lines, QStringList({Line(0, 2, QString()), Line(1, 2, "a.ps"), Line(2, 2, "b.ps")}));
    QCOMPARE(std::pair(value, maximum), std::pair(4, 4));
    QVERIFY(!Sheet()->isVisible());
    // Good news, and Escape means OK, not Open Destination.
    QCOMPARE(m_f->prompts.alerts.size(), std::size_t{1});
    QCOMPARE((QStringList{Alert(0).title, Alert(0).message, Alert(0).defaultButton, Alert(0).alternateButton}),
             (QStringList{LocalizedString("SuccessfullConvertMsg"), QString(), LocalizedString("OkButtonString"),
                          LocalizedString("OpenDestinationTitle")}));
    QVERIFY(Alert(0).kind == AlertRequest::Kind::Information && Alert(0).escapeAnswer == 1);
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

    auto* presets = m_f->find<QComboBox>("pdfPresetPopUp");
    auto* compress = m_f->find<QCheckBox>("compressPDFFileButton");
    for (int i = 0; i < presets->count(); ++i)
      QVERIFY(presets->itemData(i, Qt::ToolTipRole).toString().size() > presets->itemText(i).size());
    QVERIFY(compress->toolTip().contains(presets->itemText(1)));
    presets->setCurrentIndex(presets->findData(QStringLiteral("pdfa-2b")));
    compress->click();
    const fs::path archive = Dest("archive");
    QVERIFY(RunBatch("exportAllMenuItem", archive));
    const std::string before = samples::ReadAll(dest / "a.pdf"), after = samples::ReadAll(archive / "a.pdf");
    QVERIFY(before.find("/ObjStm") == std::string::npos && before.find("pdfaid") == std::string::npos);
    QVERIFY(after.find("/ObjStm") != std::string::npos && after.find("pdfaid") != std::string::npos);
    QVERIFY(samples::QpdfCheckPasses(archive / "a.pdf"));
  }

  void closingAlertsFollowTheOutcome() {
    Add({Bad("bad %1 name.ps")});
    m_f->selectRows({0});
    QVERIFY(RunBatch("exportMenuItem", Dest("single")));  // leaves nothing there: tst_conversion
    // The name goes into the message as it stands, never read as a format;
    // the reason follows in words, with where the interpreter stopped, and
    // its own message waits in the details.
    const QString reason = LocalizedString("FailureUndefined").arg(QStringLiteral("undefinedname-here")) +
                           QLatin1Char(' ') + LocalizedString("FailureAtLine").arg(2);
    QCOMPARE(Alert(0).title, LocalizedString("ErrorAlertTitle"));
    QCOMPARE(Alert(0).message, LocalizedString("ErrorAlertSingleMsg").arg(QStringLiteral("bad %1 name.ps")) +
                                   QStringLiteral("\n\n") + reason);
    QVERIFY(Alert(0).details.contains(QStringLiteral("Error: /undefined")) && Alert(0).alternateButton.isEmpty());
    QCOMPARE(Alert(0).kind, AlertRequest::Kind::Critical);
    QCOMPARE(Status(0), LocalizedString("StatusFailed").arg(reason));

    // Every one of several fails: the failed files by name, and each with
    // its reason in the details.
    Add({Bad("x.ps"), Bad("y.ps")});
    QVERIFY(RunBatch("exportAllMenuItem", Dest("all-fail")));
    QCOMPARE(m_f->prompts.panels.back().title, LocalizedString("ConvertAllChooserTitle"));
    QCOMPARE(Alert(1).title, LocalizedString("ErrorAlertTitle"));
    QCOMPARE(Alert(1).message, LocalizedString("ErrorAlertMsg") + QStringLiteral("\n\n") +
                                   LocalizedString("FailedFilesAre").arg(QStringLiteral("bad %1 name.ps, x.ps, y.ps")));
    for (const char* name : {"x.ps", "y.ps"})
      QVERIFY(Alert(1).details.contains(LocalizedString("FailedFileLine").arg(QLatin1String(name), reason)));
    QCOMPARE(Alert(1).defaultButton, LocalizedString("OkButtonString"));

    // Some fail, one of them a file that became a pipe after it was listed
    // (it fails at once, without holding the batch): the partial alert
    // names the first three as they stand and counts the rest; its OK opens
    // nothing. Pipes and devices are never listed.
    const fs::path pipe = m_root / "in" / "pipe.ps";
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    QVERIFY(m_f->addFromPanel({pipe, "/dev/zero"}));
    QCOMPARE(m_f->rows(), 3);
    fs::remove(pipe);
    Add({Good("pipe.ps"), Good("good.ps")});
    fs::remove(pipe);
    QCOMPARE(mkfifo(pipe.c_str(), 0600), 0);
    const fs::path partial = Dest("partial");
    QVERIFY(RunBatch("exportAllMenuItem", partial));
    QCOMPARE(Alert(2).title, LocalizedString("ConvertMsg"));
    QCOMPARE(Alert(2).message, LocalizedString("ErrorAlertMsg") + QStringLiteral("\n\n") +
                                   LocalizedString("FailedFilesAre").arg(LocalizedString("FailedNamesAndMore").arg(
                                       QStringLiteral("bad %1 name.ps, x.ps, y.ps"), QStringLiteral("1"))));
    QVERIFY(Alert(2).kind == AlertRequest::Kind::Warning && Alert(2).escapeAnswer == 1);
    QCOMPARE(Alert(2).alternateButton, LocalizedString("OpenDestinationTitle"));
    QVERIFY(m_f->workspace.opened.empty());
    QCOMPARE(samples::ListTree(partial), std::vector<std::string>{"good.pdf"});

    // A destination nobody can write into (not even root, in /proc) fails
    // every item; a chosen "folder" that is a file is left untouched.
    QVERIFY(RunBatch("exportAllMenuItem", "/proc"));
    QCOMPARE(Status(4), LocalizedString("StatusFailed").arg(LocalizedString("FailureCannotWrite")));
    const fs::path file = WriteFile(m_root / "not-a-folder", "keep me");
    QVERIFY(RunBatch("exportAllMenuItem", file));
    QVERIFY(Alert(4).message.startsWith(LocalizedString("ErrorAlertMsg")));
    QCOMPARE(samples::ReadAll(file), std::string("keep me"));
  }

  // Two at a time, the third waiting. While the chooser is open and while
  // the batch runs, a second request is refused however it comes (the
  // menu, the batch itself, a drop on a file manager's folder) and changes
  // nothing; the Convert commands are off. Cancel says so at once, is not
  // pressed twice, stops the conversions in hand and leaves nothing.
  void secondRequestsAreRefusedAndCancelStopsTheBatch() {
    Add({Good("a.ps"), Good("b.ps"), Good("c.ps")});
    const fs::path gate = m_root / "gate-cancel";
    qputenv("QUILLPRESS_PSTOPDF", GatedConverter(gate).c_str());
    const fs::path first = Dest("first"), second = Dest("second");
    m_f->d().batchExport().setConcurrentConversions(2);
    m_f->prompts.AnswerNextPanel({first});
    m_f->action("exportAllMenuItem")->trigger();
    m_f->selectRows({1});
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{2});

    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(gate.string() + ".started"), kDeadline);
    QVERIFY(Sheet()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(Status(0), LocalizedString("StatusConverting"), kDeadline);
    QTRY_COMPARE_WITH_TIMEOUT(Status(1), LocalizedString("StatusConverting"), kDeadline);
    QCOMPARE(Status(2), LocalizedString("StatusWaiting"));
    m_f->prompts.AnswerNextPanel({second});
    m_f->action("exportAllMenuItem")->trigger();
    m_f->action("exportMenuItem")->trigger();
    QCOMPARE(m_f->prompts.panels.size(), std::size_t{2});
    QVERIFY(!m_f->d().batchExport().Start(m_f->d().GetAllItems(), second, false));
    QVERIFY(m_f->d().namesOfPromisedFilesDroppedAtDestination(second, m_f->d().GetAllItems()).empty());
    QCOMPARE(m_f->d().batchExport().destinationURL(), first);
    QCOMPARE(m_f->d().batchExport().sourceURLs().size(), std::size_t{3});
    QVERIFY(!m_f->find<QPushButton>("exportAllButton")->isEnabled() && !m_f->action("exportMenuItem")->isEnabled());

    QTest::mouseClick(Sheet()->cancelButton, Qt::LeftButton);
    QVERIFY(m_f->d().isConversionCancelled());
    QCOMPARE(Sheet()->conversionFileNumberStaticText->text(), LocalizedString("Cancelling"));
    QVERIFY(!Sheet()->cancelButton->isEnabled());
    QVERIFY(WaitIdle());  // the gate never opens
    QVERIFY(samples::ListTree(first).empty() && samples::ListTree(second).empty());
    QTRY_COMPARE_WITH_TIMEOUT(m_f->find<QLabel>("workspaceMessage")->text(), LocalizedString("CancelledNothingConverted"),
                              kDeadline);
    QVERIFY(m_f->find<QLabel>("workspaceMessage")->isVisible());
    for (int row = 0; row < 3; ++row) QCOMPARE(Status(row), QString());
    QVERIFY(m_f->prompts.alerts.empty() && !Sheet()->isVisible() && !m_f->d().isConversionCancelled());
    m_f->prompts.panelAnswers.clear();
    fs::remove(gate.string() + ".started");
  }

  // A batch that ends while files are being added leaves every command on;
  // quitting in the middle of the next one leaves no partial file.
  void filesAddedDuringABatchAndQuittingMidBatch() {
    Add({Good("a.ps")});
    const fs::path gate = m_root / "gate-adding";
    qputenv("QUILLPRESS_PSTOPDF", GatedConverter(gate).c_str());
    m_f->prompts.AnswerNextPanel({Dest("adding")});
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
    QVERIFY(m_f->waitForAdding() && WaitIdle() && m_f->waitForAdding());
    QVERIFY(batchEndedDuringAdd);
    QCOMPARE(m_f->rows(), 3001);
    QTRY_VERIFY_WITH_TIMEOUT(m_f->toolbarButton("Add")->isEnabled(), kDeadline);
    QVERIFY(m_f->find<QPushButton>("exportButton")->isEnabled() && m_f->toolbarButton("Remove")->isEnabled());
    fs::remove(gate);
    fs::remove(gate.string() + ".started");
    const fs::path quit = Dest("quit");
    m_f->prompts.AnswerNextPanel({quit});
    m_f->action("exportAllMenuItem")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(gate.string() + ".started"), kDeadline);
    m_f.reset();
    QVERIFY(samples::ListTree(quit).empty());
  }
};

QTEST_MAIN(BatchExportWindowTest)
#include "tst_BatchExportWindow.moc"
