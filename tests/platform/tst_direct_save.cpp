#include "platform/DirectSaveDrag.h"
#include "platform/PromisedFileName.h"

#include "XdsFileManagerPeer.h"

#include <QApplication>
#include <QDrag>
#include <QMouseEvent>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

Q_DECLARE_METATYPE(XdsFileManagerPeer::Mode)

namespace {

constexpr int kDeadlineMs = 30000;

// What the application would do with the folder: here, remember it.
struct Promise {
  bool keep = true;
  std::vector<fs::path> folders;
};

// A widget that drags as an item view does: a press, a move past the drag
// distance, and a plain QDrag::exec with data made for that drag.
class DragSource : public QWidget {
 public:
  std::function<QMimeData*()> makeData;
  int dragsEnded = 0;
  Qt::DropAction lastResult = Qt::IgnoreAction;
  QPointer<QMimeData> lastData;

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
    lastData = makeData();
    drag->setMimeData(lastData);
    lastResult = drag->exec(Qt::CopyAction);
    ++dragsEnded;
  }
  void mouseReleaseEvent(QMouseEvent*) override { m_pressed = false; }

 private:
  bool m_pressed = false;
  QPoint m_pressAt;
};

fs::path PathOf(const QTemporaryDir& dir) { return fs::path(QFile::encodeName(dir.path()).toStdString()); }

}  // namespace

// Rows dragged out to a file manager's folder: the folder the target names
// reaches the application, and the target hears how the promise went.
class DirectSaveTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<DragSource> m_source;
  std::shared_ptr<Promise> m_promise;

  // Drags from the source widget onto the peer and waits for the drag to end
  // on both sides.
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
    m_promise = std::make_shared<Promise>();
    std::shared_ptr<Promise> promise = m_promise;
    m_source->makeData = [promise] {
      return new DirectSaveMimeData(PromisedFileName("/data/scans/report.ps"), [promise](const fs::path& folder) {
        promise->folders.push_back(folder);
        return promise->keep;
      });
    };
  }

  void cleanupTestCase() { m_source.reset(); }

  void dropOnFolderRunsThePromiseThere() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder));
    DragOnto(peer, true);

    const XdsFileManagerPeer::Observation seen = peer.observation();
    QCOMPARE(seen.offeredTypes, QStringList{QStringLiteral("XdndDirectSave0")});
    QCOMPARE(seen.promisedName, QByteArray("report.pdf"));
    QCOMPARE(seen.answer, QByteArray("S"));
    QVERIFY(seen.finishedAccepted);
    QCOMPARE(m_promise->folders.size(), 1u);
    QCOMPARE(m_promise->folders.front(), PathOf(folder));
    QCOMPARE(m_source->lastResult, Qt::CopyAction);
  }

  // A later drag reuses Qt's source window, which still holds the earlier
  // drag's name; the new one must be the one promised, bytes as they are.
  void eachDragPromisesItsOwnName_data() {
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("promised");
    QTest::newRow("two dots") << QByteArray("/data/chart.final.eps") << QByteArray("chart.final.pdf");
    QTest::newRow("not UTF-8") << QByteArray("/data/caf\xe9.ps") << QByteArray("caf\xe9.pdf");
  }
  void eachDragPromisesItsOwnName() {
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, promised);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    std::shared_ptr<Promise> promise = m_promise;
    const fs::path name = PromisedFileName(fs::path(source.toStdString()));
    m_source->makeData = [promise, name] {
      return new DirectSaveMimeData(name, [promise](const fs::path& f) {
        promise->folders.push_back(f);
        return true;
      });
    };
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder));
    DragOnto(peer, true);
    QCOMPARE(peer.observation().promisedName, promised);
    QCOMPARE(peer.observation().answer, QByteArray("S"));
    QCOMPARE(m_promise->folders.size(), 1u);
  }

  // Asking again for the same drop must not start the work again.
  void secondRequestDoesNotFulfilAgain() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder));
    peer.setAskTwice(true);
    DragOnto(peer, true);
    QCOMPARE(peer.observation().answer, QByteArray("S"));
    QCOMPARE(peer.observation().secondAnswer, QByteArray("S"));
    QCOMPARE(m_promise->folders.size(), 1u);
  }

  void refusedPromiseAnswersFailure() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    m_promise->keep = false;
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder));
    DragOnto(peer, true);
    QCOMPARE(peer.observation().answer, QByteArray("F"));
    QVERIFY(!peer.observation().finishedAccepted);
    QCOMPARE(m_promise->folders.size(), 1u);
  }

  // Folder names are bytes: one that is not UTF-8, with characters a URI
  // must escape, written with this machine's host name.
  void folderNameArrivesByteForByte() {
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const fs::path folder = PathOf(base) / "caf\xe9 50% #1?";
    QVERIFY(fs::create_directory(folder));
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, folder);
    peer.setUriHost(LocalHostName());
    DragOnto(peer, true);
    QVERIFY(peer.observation().writtenUri.contains("%E9"));
    QCOMPARE(peer.observation().answer, QByteArray("S"));
    QCOMPARE(m_promise->folders.size(), 1u);
    QCOMPARE(m_promise->folders.front(), folder);
  }

  void namesThatAreNoLocalFolderAreNotFulfilled_data() {
    QTest::addColumn<QByteArray>("uri");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("another host") << QByteArray("file://elsewhere.invalid/tmp/report.pdf") << QByteArray("E");
    QTest::newRow("not a file") << QByteArray("http://localhost/tmp/report.pdf") << QByteArray("E");
    QTest::newRow("relative") << QByteArray("file:report.pdf") << QByteArray("E");
    QTest::newRow("no such folder") << QByteArray("file:///nonexistent-quillpress-folder/report.pdf")
                                    << QByteArray("F");
  }
  void namesThatAreNoLocalFolderAreNotFulfilled() {
    QFETCH(QByteArray, uri);
    QFETCH(QByteArray, answer);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, PathOf(folder));
    peer.setUriOverride(uri);
    DragOnto(peer, true);
    QCOMPARE(peer.observation().answer, answer);
    QVERIFY(m_promise->folders.empty());
  }

  // The parent of the named file is a plain file, not a folder.
  void fileInPlaceOfFolderIsNotFulfilled() {
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const fs::path notAFolder = PathOf(base) / "plain";
    std::ofstream(notAFolder) << "x";
    XdsFileManagerPeer peer(XdsFileManagerPeer::Mode::DirectSave, notAFolder);
    DragOnto(peer, true);
    QCOMPARE(peer.observation().answer, QByteArray("F"));
    QVERIFY(m_promise->folders.empty());
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
    QVERIFY(seen.positions > 0);
    QCOMPARE(seen.acceptedPositions > 0, takesIt);
    if (takesIt) QCOMPARE(seen.drops, 1);
    QVERIFY(!seen.answered);
    QVERIFY(seen.uriList.isEmpty());
    QVERIFY(m_promise->folders.empty());
    QVERIFY(fs::is_empty(PathOf(folder)));
    if (!takesIt) QCOMPARE(m_source->lastResult, Qt::IgnoreAction);
  }

  void promisedNames_data() {
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("promised");
    QTest::newRow("last extension goes") << QByteArray("/a/report.ps") << QByteArray("report.pdf");
    QTest::newRow("only the last") << QByteArray("/a/chart.final.eps") << QByteArray("chart.final.pdf");
    QTest::newRow("no extension") << QByteArray("/a/notes") << QByteArray("notes.pdf");
    QTest::newRow("hidden file") << QByteArray("/a/.hidden") << QByteArray(".hidden.pdf");
    QTest::newRow("hidden with extension") << QByteArray("/a/.hidden.ps") << QByteArray(".hidden.pdf");
    QTest::newRow("dot at the end") << QByteArray("/a/odd.") << QByteArray("odd.pdf");
    QTest::newRow("already pdf named") << QByteArray("a.pdf") << QByteArray("a.pdf");
    QTest::newRow("folder dot") << QByteArray("/a.b/c") << QByteArray("c.pdf");
    QTest::newRow("not UTF-8") << QByteArray("/a/caf\xe9.ps") << QByteArray("caf\xe9.pdf");
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
    QTest::addColumn<bool>("local");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("empty host") << QByteArray("file:///tmp/x.pdf") << true << QByteArray("/tmp/x.pdf");
    QTest::newRow("localhost") << QByteArray("file://LocalHost/tmp/x.pdf") << true << QByteArray("/tmp/x.pdf");
    QTest::newRow("this host") << QByteArray("file://thisbox/tmp/x.pdf") << true << QByteArray("/tmp/x.pdf");
    QTest::newRow("this host, other case") << QByteArray("file://ThisBox/t") << true << QByteArray("/t");
    QTest::newRow("no authority") << QByteArray("file:/tmp/x.pdf") << true << QByteArray("/tmp/x.pdf");
    QTest::newRow("scheme case") << QByteArray("FILE:///t") << true << QByteArray("/t");
    QTest::newRow("escapes") << QByteArray("file:///a%20b/%e9%2F%25") << true << QByteArray("/a b/\xe9/%");
    QTest::newRow("NUL ended") << QByteArray("file:///t\0", 9) << true << QByteArray("/t");
    QTest::newRow("line ended") << QByteArray("file:///t\r\n") << true << QByteArray("/t");
    QTest::newRow("other host") << QByteArray("file://other/t") << false << QByteArray();
    QTest::newRow("host only") << QByteArray("file://thisbox") << false << QByteArray();
    QTest::newRow("other scheme") << QByteArray("smb://thisbox/t") << false << QByteArray();
    QTest::newRow("relative") << QByteArray("file:t") << false << QByteArray();
    QTest::newRow("bad escape") << QByteArray("file:///t%zz") << false << QByteArray();
    QTest::newRow("cut escape") << QByteArray("file:///t%2") << false << QByteArray();
    QTest::newRow("escaped NUL") << QByteArray("file:///t%00x") << false << QByteArray();
    QTest::newRow("query") << QByteArray("file:///t?x") << false << QByteArray();
    QTest::newRow("fragment") << QByteArray("file:///t#x") << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << QByteArray();
  }
  void fileUris() {
    QFETCH(QByteArray, uri);
    QFETCH(bool, local);
    QFETCH(QByteArray, path);
    const std::optional<fs::path> result = LocalPathFromFileUri(uri, "thisbox");
    QCOMPARE(result.has_value(), local);
    if (local) QCOMPARE(QByteArray::fromStdString(result->native()), path);
  }
};

QTEST_MAIN(DirectSaveTest)
#include "tst_direct_save.moc"
