// Drags out to a file manager's folder on a real X server: the test plays
// the file manager's side of X Direct Save and drives the pointer.

#include "../window/WindowTestFixture.h"

#include "platform/BackgroundWork.h"
#include "platform/DirectSaveDrag.h"
#include "platform/LocalizedString.h"
#include "platform/PromisedFileName.h"

#include "PostScriptSamples.h"
#include "XdsFileManagerPeer.h"

#include <QDrag>
#include <QGuiApplication>
#include <QScopeGuard>

#include <atomic>

Q_DECLARE_METATYPE(XdsFileManagerPeer::Mode)

namespace {

constexpr int kDeadline = 120000;

// Calls `act` at the first event of one of `types` that reaches the object.
class FirstEvent : public QObject {
 public:
  FirstEvent(QObject* on, std::initializer_list<QEvent::Type> types, std::function<void()> act = {})
      : m_types(types), m_act(std::move(act)) {
    on->installEventFilter(this);
  }
  bool seen = false;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (!seen && m_types.contains(event->type())) {
      seen = true;
      if (m_act) m_act();
    }
    return false;
  }

 private:
  QList<QEvent::Type> m_types;
  std::function<void()> m_act;
};

// Runs a plain QDrag::exec, as an item view does, from a press.
class DragSource : public QWidget {
 public:
  std::function<QMimeData*()> makeData;

 protected:
  void mousePressEvent(QMouseEvent*) override {
    auto* drag = new QDrag(this);
    // The drag's picture stays off the pointer, so that the window under the
    // pointer is the target's, never the picture's own.
    drag->setHotSpot(QPoint(-40, -40));
    drag->setMimeData(makeData());
    drag->exec(Qt::CopyAction);
  }
};

}  // namespace

// Rows dragged out to a file manager's folder: the folder the target names
// reaches the application, and the target hears how the promise went.
class DirectSaveTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_tmp;
  DragSource m_source;

 private Q_SLOTS:
  void initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));  // ctest runs this under Xvfb
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    // Below where the window of the last test goes.
    m_source.setGeometry(40, 560, 300, 200);
    m_source.show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_source));
  }

  // The folder is looked at off the main thread, held here until the target
  // has read the name: the target waits, and the window goes on. Rows run one
  // after another on Qt's one source window, each drag promising its own
  // name, bytes as they are; the folder's name needs escaping and is not
  // UTF-8. A target that asks twice hears the same answer and starts the work
  // once. A look that takes too long answers F, and fulfils nothing when it
  // ends later. A target without direct save gets no data.
  void dropOnAFolder_data() {
    using M = XdsFileManagerPeer::Mode;
    QTest::addColumn<QByteArray>("uri");  // empty: the folder's, with this host; "file": a file's
    QTest::addColumn<M>("mode");
    QTest::addColumn<bool>("keep");   // what the application's fulfil answers
    QTest::addColumn<bool>("hangs");  // the look never ends in time
    QTest::addColumn<QByteArray>("answer");
    const auto row = [](const char* tag, const char* uri, M mode, bool keep, bool hangs, const char* answer) {
      QTest::newRow(tag) << QByteArray(uri) << mode << keep << hangs << QByteArray(answer);
    };
    row("kept", "", M::DirectSave, true, false, "S");
    row("asked twice", "", M::DirectSaveTwice, true, false, "S");
    row("refused", "", M::DirectSave, false, false, "F");
    row("look hangs", "", M::DirectSave, true, true, "F");
    row("a file", "file", M::DirectSave, true, false, "F");
    row("no such folder", "file:///nonexistent-quillpress-folder/", M::DirectSave, true, false, "F");
    for (const char* uri : {"file://elsewhere.invalid/tmp/", "http://localhost/tmp/", "file:"})
      row(uri, uri, M::DirectSave, true, false, "E");
    row("no direct save", "", M::UriList, true, false, "");
  }
  void dropOnAFolder() {
    static int drags = 0;  // each drag promises a name of its own, not UTF-8
    const QByteArray name = "caf\xe9 " + QByteArray::number(++drags);
    QFETCH(QByteArray, uri);
    QFETCH(XdsFileManagerPeer::Mode, mode);
    QFETCH(bool, keep);
    QFETCH(bool, hangs);
    QFETCH(QByteArray, answer);
    QTemporaryDir base;
    const fs::path folder = fs::path(QFile::encodeName(base.path()).toStdString()) / "caf\xe9 50% #1?";
    fs::create_directories(folder);
    auto removeFolder = qScopeGuard([&] { fs::remove_all(folder); });  // QTemporaryDir cannot name it
    if (uri == "file") std::ofstream(folder / "plain") << "x";
    const auto folderUri = [](const fs::path& path) {
      return "file://" + LocalHostName() + QByteArray::fromStdString(path.native()).toPercentEncoding("/") + "/";
    };
    if (uri.isEmpty() || uri == "file") uri = folderUri(uri.isEmpty() ? folder : folder / "plain");

    auto looks = std::make_shared<BackgroundTasks>();
    auto open = std::make_shared<std::atomic<bool>>(false);
    const auto openLooks = [open] {
      *open = true;
      open->notify_all();
    };
    auto opener = qScopeGuard(openLooks);
    looks->Run([open](std::stop_token) { open->wait(false); return true; }, [](bool) {});
    std::vector<fs::path> fulfilled;
    m_source.makeData = [&] {
      return new DirectSaveMimeData(
          PromisedFileName("/data/" + name.toStdString() + ".ps"),
          [&](const fs::path& at) {
            fulfilled.push_back(at);
            return keep;
          },
          looks);
    };
    XdsFileManagerPeer peer(uri, mode);
    QVERIFY(peer.ready());
    peer.drag(m_source.mapToGlobal(m_source.rect().center()), peer.center());
    if (mode != XdsFileManagerPeer::Mode::UriList) {
      QTRY_VERIFY2_WITH_TIMEOUT(!peer.seen.promisedName.isEmpty(), ("the target saw: " + peer.seen.steps).constData(), 30000);
      QCOMPARE(peer.seen.promisedName, name + ".pdf");
      if (answer != "E") QVERIFY(!peer.seen.answered);
    }
    if (!hangs) openLooks();
    QTRY_VERIFY_WITH_TIMEOUT(peer.seen.finished, 30000);
    QCOMPARE(peer.seen.offeredTypes, QStringList{DirectSaveMimeData::kFormat});
    QCOMPARE(peer.seen.answer, answer);
    if (mode == XdsFileManagerPeer::Mode::DirectSaveTwice) QCOMPARE(peer.seen.secondAnswer, answer);
    QCOMPARE(peer.seen.finishedAccepted, answer == "S");
    openLooks();
    bool lookedAfter = false;
    looks->Run([](std::stop_token) { return true; }, [&](bool) { lookedAfter = true; });
    QTRY_VERIFY_WITH_TIMEOUT(lookedAfter, 30000);
    QCOMPARE(fulfilled, uri == folderUri(folder) && !hangs && mode != XdsFileManagerPeer::Mode::UriList
                            ? std::vector<fs::path>{folder}
                            : std::vector<fs::path>{});
  }

  // The name a source is promised under, and the local path a file URI
  // names (empty: none), byte for byte.
  void namesAndUris() {
    const std::pair<QByteArray, QByteArray> promised[] = {
        {"/a/chart.final.eps", "chart.final.pdf"}, {"/a/notes", "notes.pdf"}, {"/a/.hidden", ".hidden.pdf"},
        {"/a/.hidden.ps", ".hidden.pdf"}, {"/a/odd.", "odd.pdf"}, {"a.pdf", "a.pdf"}, {"/a.b/c", "c.pdf"},
        {"/a/b.ps/", "b.pdf"}, {"/", ""}, {"", ""}, {"/a/..", ""}};
    for (const auto& [source, name] : promised)
      QCOMPARE(QByteArray::fromStdString(PromisedFileName(source.toStdString()).native()), name);
    const std::pair<QByteArray, QByteArray> uris[] = {
        {"file:///tmp/x.pdf", "/tmp/x.pdf"}, {"file://LocalHost/t", "/t"}, {"file://ThisBox/t", "/t"},
        {"file:/t", "/t"}, {"FILE:///t", "/t"}, {"file:///a%20b/%e9%2F%25", "/a b/\xe9/%"},
        {QByteArray("file:///t\0", 9), "/t"}, {"file:///t\r\n", "/t"}, {"file://other/t", ""},
        {"file://thisbox", ""}, {"smb://thisbox/t", ""}, {"file:t", ""}, {"file:///t%zz", ""}, {"file:///t%2", ""},
        {"file:///t%00x", ""}, {"file:///t?x", ""}, {"file:///t#x", ""}, {"", ""}};
    for (const auto& [uri, path] : uris) {
      const std::optional<fs::path> result = LocalPathFromFileUri(uri, "thisbox");
      QCOMPARE(result ? QByteArray::fromStdString(result->native()) : QByteArray(), path);
    }
  }

  // Rows dropped back on the table are refused; the drag out that follows
  // converts the selected rows into the folder the file manager names, as
  // Convert does (its sheet, its closing alert), asking for no folder.
  void draggedRowsAreConvertedIntoTheDropFolder() {
    const fs::path root = TempPath(m_tmp), folder = root / "dropped here";
    fs::create_directories(folder);
    std::vector<fs::path> files;
    for (const char* name : {"report.ps", "chart.final.eps", "c.ps"})
      files.push_back(WriteFile(root / "in" / name, samples::OnePagePostScript()));
    WindowFixture f;
    QVERIFY(f.addFromPanel(files));
    QVERIFY(QTest::qWaitForWindowExposed(f.window()));
    // Launching centres the window; put it where the peer is not.
    QCoreApplication::processEvents();
    f.window()->setGeometry(20, 40, 620, 420);
    QTRY_COMPARE(f.window()->geometry().topLeft(), QPoint(20, 40));
    XdsFileManagerPeer peer("file://" + QByteArray::fromStdString(folder.native()).toPercentEncoding("/") + "/",
                            XdsFileManagerPeer::Mode::DirectSave, QRect(800, 560, 300, 300));
    QVERIFY(peer.ready());
    QTableView* table = f.table();
    const auto rowOnScreen = [table](int row) {
      return table->viewport()->mapToGlobal(
          table->visualRect(table->model()->index(row, FileListTableModel::kFilePathColumn)).center());
    };
    // The view takes a drag up from the second motion with the button down:
    // the first must have arrived before the rest come, or they are folded.
    const auto pressOnRow = [&](int row) {
      FirstEvent motion(table->viewport(), {QEvent::MouseMove});
      f.selectRows({row, row + 1});
      peer.press(rowOnScreen(row), rowOnScreen(row) + QPoint(0, 2));
      QTRY_VERIFY_WITH_TIMEOUT(motion.seen, kDeadline);
    };

    pressOnRow(0);
    {
      // The button goes up once the drag is under way over the table; the
      // drag runs its own event loop, so the release comes from there.
      FirstEvent over(table->viewport(), {QEvent::DragEnter, QEvent::DragMove}, [&peer] { peer.release(); });
      peer.drag(rowOnScreen(0) + QPoint(0, 2), rowOnScreen(2), false);
      QTRY_VERIFY_WITH_TIMEOUT(over.seen, kDeadline);
    }
    pressOnRow(0);
    peer.drag(rowOnScreen(0), peer.center());
    QTRY_VERIFY_WITH_TIMEOUT(peer.seen.finished, kDeadline);
    QCOMPARE(peer.seen.promisedName, QByteArray("report.pdf"));
    QCOMPARE(peer.seen.answer, QByteArray("S"));

    QTRY_VERIFY_WITH_TIMEOUT(!f.prompts.alerts.empty(), kDeadline);
    QCOMPARE(f.prompts.alerts.front().title, LocalizedString("SuccessfullConvertMsg"));
    QTRY_VERIFY_WITH_TIMEOUT(!f.d().batchExport().isBusy(), kDeadline);
    QCOMPARE(samples::ListTree(folder), (std::vector<std::string>{"chart.final.pdf", "report.pdf"}));
    QCOMPARE(f.prompts.panels.size(), std::size_t{1});
    QCOMPARE(f.rows(), 3);
  }
};

QTEST_MAIN(DirectSaveTest)
#include "tst_direct_save.moc"
