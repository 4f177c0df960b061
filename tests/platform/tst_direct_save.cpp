#include "platform/BackgroundWork.h"
#include "platform/DirectSaveDrag.h"
#include "platform/PromisedFileName.h"

#include "XdsFileManagerPeer.h"

#include <QApplication>
#include <QDrag>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

namespace fs = std::filesystem;

Q_DECLARE_METATYPE(XdsFileManagerPeer::Mode)

namespace {

constexpr int kDeadlineMs = 30000;

// A widget that drags as an item view does: a press, a move past the drag
// distance, and a plain QDrag::exec with data made for that drag.
class DragSource : public QWidget {
 public:
  std::function<QMimeData*()> makeData;
  int dragsEnded = 0;
  Qt::DropAction lastResult = Qt::IgnoreAction;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    m_pressed = event->button() == Qt::LeftButton;
    m_pressAt = event->position().toPoint();
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (!m_pressed || !(event->buttons() & Qt::LeftButton)) return;
    if ((event->position().toPoint() - m_pressAt).manhattanLength() < QApplication::startDragDistance()) return;
    m_pressed = false;
    auto* drag = new QDrag(this);
    drag->setMimeData(makeData());
    lastResult = drag->exec(Qt::CopyAction);
    ++dragsEnded;
  }
  void mouseReleaseEvent(QMouseEvent*) override { m_pressed = false; }

 private:
  bool m_pressed = false;
  QPoint m_pressAt;
};

// Holds the folder looks back until opened, so that a test sees the target
// wait for its answer while the window goes on.
struct Gate {
  std::mutex mutex;
  std::condition_variable_any opened;
  bool open = false;
  void Open() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    opened.notify_all();
  }
};

fs::path PathOf(const QTemporaryDir& dir) { return fs::path(QFile::encodeName(dir.path()).toStdString()); }

}  // namespace

// Rows dragged out to a file manager's folder: the folder the target names
// reaches the application, and the target hears how the promise went.
class DirectSaveTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<DragSource> m_source;
  std::shared_ptr<BackgroundTasks> m_looks;
  bool m_keep = true;
  std::vector<fs::path> m_folders;  // what fulfil was given, in order

  void PromiseFrom(const fs::path& source) {
    const fs::path name = PromisedFileName(source);
    m_source->makeData = [this, name] {
      return new DirectSaveMimeData(
          name,
          [this](const fs::path& folder) {
            m_folders.push_back(folder);
            return m_keep;
          },
          m_looks);
    };
  }

  // Drags from the source widget onto the peer; with expectDrop, waits for
  // the peer to finish the drop as well.
  void DragOnto(XdsFileManagerPeer& peer, bool expectDrop) {
    QVERIFY2(peer.ready(), qPrintable(peer.observation().problem));
    const int before = m_source->dragsEnded;
    peer.dragPointer(m_source->mapToGlobal(m_source->rect().center()), peer.center());
    QTRY_VERIFY_WITH_TIMEOUT(peer.observation().pointerReleased, kDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_source->dragsEnded > before, kDeadlineMs);
    if (expectDrop) QTRY_VERIFY_WITH_TIMEOUT(peer.observation().finished, kDeadlineMs);
    QVERIFY2(peer.observation().problem.isEmpty(), qPrintable(peer.observation().problem));
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"),
             "these drags need a real X server; ctest runs them under Xvfb");
    m_source = std::make_unique<DragSource>();
    m_source->setGeometry(40, 40, 300, 200);
    m_source->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_source.get()));
  }

  void init() {
    m_looks = std::make_shared<BackgroundTasks>();
    m_keep = true;
    m_folders.clear();
    PromiseFrom("/data/scans/report.ps");
  }

  void cleanupTestCase() { m_source.reset(); }

  // A later drag reuses Qt's source window, which still holds the earlier
  // drag's name: each drag promises its own, bytes as they are. A target that
  // asks twice hears the same answer and starts the work once. Folder names
  // are bytes too: one that is not UTF-8, with characters a URI must escape,
  // written with this machine's host name.
  void dropOnFolderFulfilsThere_data() {
    QTest::addColumn<QByteArray>("folderName");  // under the temporary folder
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("keep");
    QTest::addColumn<bool>("askTwice");
    QTest::addColumn<QByteArray>("promised");
    const QByteArray report("/data/report.ps");
    QTest::newRow("kept") << QByteArray() << report << true << false << QByteArray("report.pdf");
    QTest::newRow("not UTF-8") << QByteArray() << QByteArray("/data/caf\xe9.ps") << true << false
                               << QByteArray("caf\xe9.pdf");
    QTest::newRow("asked twice") << QByteArray() << report << true << true << QByteArray("report.pdf");
    QTest::newRow("folder not UTF-8, this host") << QByteArray("caf\xe9 50% #1?") << report << true << false
                                                 << QByteArray("report.pdf");
    QTest::newRow("refused") << QByteArray() << report << false << false << QByteArray("report.pdf");
  }
  void dropOnFolderFulfilsThere() {
    QFETCH(QByteArray, folderName);
    QFETCH(QByteArray, source);
    QFETCH(bool, keep);
    QFETCH(bool, askTwice);
    QFETCH(QByteArray, promised);
    const QByteArray answer = keep ? "S" : "F";
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const fs::path folder = folderName.isEmpty() ? PathOf(base) : PathOf(base) / folderName.toStdString();
    fs::create_directories(folder);
    m_keep = keep;
    PromiseFrom(fs::path(source.toStdString()));
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, folder,
                            {folderName.isEmpty() ? QByteArray() : LocalHostName(), std::nullopt, askTwice});
    DragOnto(peer, true);

    const XdsFileManagerPeer::Observation seen = peer.observation();
    QCOMPARE(seen.offeredTypes, QStringList{QStringLiteral("XdndDirectSave0")});
    QCOMPARE(seen.promisedName, promised);
    QCOMPARE(seen.answer, answer);
    if (askTwice) QCOMPARE(seen.secondAnswer, answer);
    QCOMPARE(seen.finishedAccepted, keep);
    QCOMPARE(m_folders, std::vector<fs::path>{folder});
    if (!folderName.isEmpty()) QVERIFY(seen.writtenUri.contains("%E9"));
    fs::remove(folder);  // QTemporaryDir cannot name it
    if (keep) QCOMPARE(m_source->lastResult, Qt::CopyAction);
  }

  // The folder is looked at off the main thread: while the look is held up
  // the target waits and the window goes on; the answer follows the look,
  // or a failure follows when the look takes too long.
  void answerFollowsTheLook_data() {
    QTest::addColumn<bool>("lookEnds");
    QTest::newRow("look ends") << true;
    QTest::newRow("look hangs") << false;
  }
  void answerFollowsTheLook() {
    QFETCH(bool, lookEnds);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    auto gate = std::make_shared<Gate>();
    m_looks->Run(
        [gate](std::stop_token stop) {
          std::unique_lock lock(gate->mutex);
          gate->opened.wait(lock, stop, [&] { return gate->open; });
          return true;
        },
        [](bool) {});
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder));
    QVERIFY(peer.ready());
    peer.dragPointer(m_source->mapToGlobal(m_source->rect().center()), peer.center());
    // The request is out once the peer has read the name; the window runs
    // its loop, and answers only once the look is done or given up.
    QTRY_VERIFY_WITH_TIMEOUT(!peer.observation().promisedName.isEmpty(), kDeadlineMs);
    QVERIFY(!peer.observation().answered);
    if (lookEnds) gate->Open();
    QTRY_VERIFY_WITH_TIMEOUT(peer.observation().finished, kDeadlineMs);
    QCOMPARE(peer.observation().answer, QByteArray(lookEnds ? "S" : "F"));
    // A look that ends after its answer was given up on fulfils nothing.
    gate->Open();
    bool lookedAfter = false;
    m_looks->Run([](std::stop_token) { return true; }, [&](bool) { lookedAfter = true; });
    QTRY_VERIFY_WITH_TIMEOUT(lookedAfter, kDeadlineMs);
    QCOMPARE(m_folders.size(), std::size_t{lookEnds ? 1u : 0u});
  }

  // "plain" stands for a file where the folder should be.
  void namesThatAreNoLocalFolderAreNotFulfilled_data() {
    QTest::addColumn<QByteArray>("uri");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("another host") << QByteArray("file://elsewhere.invalid/tmp/report.pdf") << QByteArray("E");
    QTest::newRow("not a file") << QByteArray("http://localhost/tmp/report.pdf") << QByteArray("E");
    QTest::newRow("relative") << QByteArray("file:report.pdf") << QByteArray("E");
    QTest::newRow("no such folder") << QByteArray("file:///nonexistent-quillpress-folder/report.pdf")
                                    << QByteArray("F");
    QTest::newRow("a file") << QByteArray("plain") << QByteArray("F");
  }
  void namesThatAreNoLocalFolderAreNotFulfilled() {
    QFETCH(QByteArray, uri);
    QFETCH(QByteArray, answer);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    if (uri == "plain") {
      std::ofstream(PathOf(folder) / "plain") << "x";
      uri = XdsFileManagerPeer::FileUri({}, PathOf(folder) / "plain" / "report.pdf");
    }
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder), {{}, uri});
    DragOnto(peer, true);
    QCOMPARE(peer.observation().answer, answer);
    QVERIFY(!peer.observation().finishedAccepted);
    QVERIFY(m_folders.empty());
  }

  void targetWithoutDirectSaveConvertsNothing_data() {
    QTest::addColumn<XdsFileManagerPeer::Mode>("mode");
    QTest::newRow("takes only file lists") << XdsFileManagerPeer::Mode::UriListOnly;
    QTest::newRow("takes anything") << XdsFileManagerPeer::Mode::AcceptWithoutDirectSave;
  }
  void targetWithoutDirectSaveConvertsNothing() {
    QFETCH(XdsFileManagerPeer::Mode, mode);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const bool takesIt = mode == XdsFileManagerPeer::Mode::AcceptWithoutDirectSave;
    XdsFileManagerPeer peer(mode, PathOf(folder));
    DragOnto(peer, takesIt);

    const XdsFileManagerPeer::Observation seen = peer.observation();
    QCOMPARE(seen.acceptedPositions > 0, takesIt);
    QCOMPARE(seen.drops, takesIt ? 1 : 0);
    QVERIFY(!seen.answered);
    QVERIFY(seen.uriList.isEmpty());
    QVERIFY(m_folders.empty());
    QVERIFY(fs::is_empty(PathOf(folder)));
    if (!takesIt) QCOMPARE(m_source->lastResult, Qt::IgnoreAction);
  }

  void promisedNames_data() {
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("promised");
    QTest::newRow("last extension goes") << QByteArray("/a/chart.final.eps") << QByteArray("chart.final.pdf");
    QTest::newRow("no extension") << QByteArray("/a/notes") << QByteArray("notes.pdf");
    QTest::newRow("hidden file") << QByteArray("/a/.hidden") << QByteArray(".hidden.pdf");
    QTest::newRow("hidden with extension") << QByteArray("/a/.hidden.ps") << QByteArray(".hidden.pdf");
    QTest::newRow("dot at the end") << QByteArray("/a/odd.") << QByteArray("odd.pdf");
    QTest::newRow("already pdf named") << QByteArray("a.pdf") << QByteArray("a.pdf");
    QTest::newRow("folder dot") << QByteArray("/a.b/c") << QByteArray("c.pdf");
    QTest::newRow("trailing slash") << QByteArray("/a/b.ps/") << QByteArray("b.pdf");
    QTest::newRow("root") << QByteArray("/") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("dot dot") << QByteArray("/a/..") << QByteArray();
  }
  void promisedNames() {
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, promised);
    QCOMPARE(QByteArray::fromStdString(PromisedFileName(fs::path(source.toStdString())).native()), promised);
  }

  void fileUris_data() {
    QTest::addColumn<QByteArray>("uri");
    QTest::addColumn<QByteArray>("path");  // empty: not a local file
    QTest::newRow("empty host") << QByteArray("file:///tmp/x.pdf") << QByteArray("/tmp/x.pdf");
    QTest::newRow("localhost") << QByteArray("file://LocalHost/t") << QByteArray("/t");
    QTest::newRow("this host, other case") << QByteArray("file://ThisBox/t") << QByteArray("/t");
    QTest::newRow("no authority") << QByteArray("file:/t") << QByteArray("/t");
    QTest::newRow("scheme case") << QByteArray("FILE:///t") << QByteArray("/t");
    QTest::newRow("escapes") << QByteArray("file:///a%20b/%e9%2F%25") << QByteArray("/a b/\xe9/%");
    QTest::newRow("NUL ended") << QByteArray("file:///t\0", 9) << QByteArray("/t");
    QTest::newRow("line ended") << QByteArray("file:///t\r\n") << QByteArray("/t");
    QTest::newRow("other host") << QByteArray("file://other/t") << QByteArray();
    QTest::newRow("host only") << QByteArray("file://thisbox") << QByteArray();
    QTest::newRow("other scheme") << QByteArray("smb://thisbox/t") << QByteArray();
    QTest::newRow("relative") << QByteArray("file:t") << QByteArray();
    QTest::newRow("bad escape") << QByteArray("file:///t%zz") << QByteArray();
    QTest::newRow("cut escape") << QByteArray("file:///t%2") << QByteArray();
    QTest::newRow("escaped NUL") << QByteArray("file:///t%00x") << QByteArray();
    QTest::newRow("query") << QByteArray("file:///t?x") << QByteArray();
    QTest::newRow("fragment") << QByteArray("file:///t#x") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
  }
  void fileUris() {
    QFETCH(QByteArray, uri);
    QFETCH(QByteArray, path);
    const std::optional<fs::path> result = LocalPathFromFileUri(uri, "thisbox");
    QCOMPARE(result ? QByteArray::fromStdString(result->native()) : QByteArray(), path);
  }
};

QTEST_MAIN(DirectSaveTest)
#include "tst_direct_save.moc"
