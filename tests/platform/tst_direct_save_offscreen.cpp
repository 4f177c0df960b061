#include "platform/BackgroundWork.h"
#include "platform/DirectSaveDrag.h"

#include <QGuiApplication>
#include <QTest>

#include <filesystem>

// Where there is no X server (Wayland, offscreen) a drag out promises
// nothing: the type is listed, no data comes of it and nothing is converted.
class DirectSaveWithoutX11Test : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void nothingIsPromised() {
    QVERIFY(QGuiApplication::platformName() != QLatin1String("xcb"));
    int fulfilled = 0;
    auto* data = new DirectSaveMimeData(
        "report.pdf",
        [&](const std::filesystem::path&) {
          ++fulfilled;
          return true;
        },
        std::make_shared<BackgroundTasks>());
    QCOMPARE(data->formats(), QStringList{QStringLiteral("XdndDirectSave0")});
    QVERIFY(data->hasFormat(QStringLiteral("XdndDirectSave0")));
    QVERIFY(data->data(QStringLiteral("XdndDirectSave0")).isEmpty());
    QVERIFY(data->data(QStringLiteral("text/uri-list")).isEmpty());
    // The deferred offer runs, and the data dies, without an X connection.
    QCoreApplication::processEvents();
    delete data;
    QCOMPARE(fulfilled, 0);
  }
};

QTEST_MAIN(DirectSaveWithoutX11Test)
#include "tst_direct_save_offscreen.moc"
