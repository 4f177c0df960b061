// Adding a folder tree of 100,000 entries to the file list, from the request
// to the last row shown, against `find` listing the same tree in this run.
// Also: the memory the list grows by, and the longest stall of the main
// thread meanwhile (a timer probe).
#include "BMTUtil.h"
#include "app/AppDelegate.h"
#include "filelist/FileListTableModel.h"
#include "filelist/FolderExpansion.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 500;
constexpr int kEntriesPerFolder = 200;  // with the folders: 100,500 entries

double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double MainThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Writes the tree; answers how many PostScript files it holds.
int MakeTree(const fs::path& root) {
  int postscript = 0;
  for (int folder = 0; folder < kFolders; ++folder) {
    const fs::path dir = root / ("group " + std::to_string(folder / 50)) / ("folder" + std::to_string(folder));
    fs::create_directories(dir);
    for (int i = 0; i < kEntriesPerFolder; ++i) {
      std::string name = "page" + std::to_string(i);
      switch (i % 5) {
        case 0: case 1: case 2: name += ".ps"; ++postscript; break;
        case 3: name += ".eps"; ++postscript; break;
        default: name += (i % 10 == 4) ? ".txt" : ".pdf"; break;
      }
      const fs::path file = dir / name;
      const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
  return postscript;
}

double TimeFind(const fs::path& root) {
  const QString find = QStandardPaths::findExecutable(QStringLiteral("find"));
  QProcess process;
  process.setStandardOutputFile(QProcess::nullDevice());
  QElapsedTimer timer;
  timer.start();
  process.start(find, {QFile::decodeName(root.c_str())});
  process.waitForFinished(-1);
  return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char* argv[]) {
  BMTUtil::UseOneAllocationArena();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  // An optional argument names the folder to write the tree in (rewritten
  // every run), for a profiler to find it at a known place.
  QTemporaryDir dir;
  fs::path root = QFile::encodeName(dir.path()).toStdString();
  if (argc > 1) root = argv[1];
  std::printf("writing the tree of %d entries...\n", kFolders * kEntriesPerFolder);
  std::error_code ec;
  fs::remove_all(root / "tree", ec);
  root /= "tree";
  const int expected = MakeTree(root);
  if (qEnvironmentVariableIsSet("QUILLPRESS_BENCH_PAUSE")) ::sleep(3);  // lets a profiler attach

  TimeFind(root);  // the caches warm up for both sides
  double findMs = 1e300;
  for (int i = 0; i < 3; ++i) findMs = std::min(findMs, TimeFind(root));

  // The expansion alone, without the window: what the routine costs beyond it.
  double expandMs = 1e300;
  for (int i = 0; i < 2; ++i) {
    QElapsedTimer timer;
    timer.start();
    const auto items = ExpandUrls({root}, ExpansionOptions{false, true});
    expandMs = std::min(expandMs, static_cast<double>(timer.nsecsElapsed()) / 1e6);
  }

  // The same on a thread of its own, as the adding run does it.
  double threadExpandMs = 1e300;
  for (int i = 0; i < 2; ++i) {
    QElapsedTimer timer;
    timer.start();
    std::thread worker([&] { const auto items = ExpandUrls({root}, ExpansionOptions{false, true}); });
    worker.join();
    threadExpandMs = std::min(threadExpandMs, static_cast<double>(timer.nsecsElapsed()) / 1e6);
  }

  double addMs = 1e300;
  double growthMiB = 0;
  double stallMs = 0;
  bool complete = true;
  for (int round = 0; round < 2; ++round) {
    AppDelegate delegate;
    delegate.window()->show();
    QCoreApplication::processEvents();
    const double before = ResidentMiB();

    QElapsedTimer probe;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(5);
    probe.start();
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      longestGap = std::max(longestGap, probe.nsecsElapsed());
      probe.restart();
    });
    ticker.start();

    bool finished = false;
    double overlayOnMs = 0;
    double overlayOffMs = 0;
    QObject::connect(&delegate, &AppDelegate::addingRunFinished, [&] { finished = true; });
    QElapsedTimer timer;
    QObject::connect(&delegate, &AppDelegate::addingRunStarted,
                     [&] { overlayOnMs = static_cast<double>(timer.nsecsElapsed()) / 1e6; });
    QObject::connect(&delegate, &AppDelegate::addingRunStopped,
                     [&] { overlayOffMs = static_cast<double>(timer.nsecsElapsed()) / 1e6; });
    const double mainCpuBefore = MainThreadCpuMs();
    timer.start();
    // As the Add panel asks with its recursive box ticked.
    delegate.StartAddingRun({root}, false, true, std::nullopt);
    // The main loop runs as in the application: idle until something comes.
    QEventLoop loop;
    QObject::connect(&delegate, &AppDelegate::addingRunFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    if (!finished) loop.exec();
    delegate.window()->findChild<QTableView*>(QStringLiteral("imageListTable"))->viewport()->repaint();
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    const double mainCpu = MainThreadCpuMs() - mainCpuBefore;
    ticker.stop();
    complete = complete && delegate.tableModel()->rowCount() == expected;
    addMs = std::min(addMs, ms);
    growthMiB = std::max(growthMiB, ResidentMiB() - before);
    stallMs = std::max(stallMs, static_cast<double>(longestGap) / 1e6 - 5.0);
    std::printf("round %d: %d rows in %.1f ms (overlay on at %.1f, off at %.1f; main thread busy %.1f ms)\n",
                round + 1, delegate.tableModel()->rowCount(), ms, overlayOnMs, overlayOffMs, mainCpu);
  }

  const double ratio = addMs / findMs;
  std::printf("\nadding %d PostScript files of a tree of %d entries\n", expected,
              kFolders * kEntriesPerFolder + kFolders);
  std::printf("find (baseline):        %9.1f ms\n", findMs);
  std::printf("expansion alone:        %9.1f ms\n", expandMs);
  std::printf("expansion on a thread:  %9.1f ms\n", threadExpandMs);
  std::printf("add, request to shown:  %9.1f ms\n", addMs);
  std::printf("ratio add/find:         %9.2f   (target <= 3.00) %s\n", ratio,
              ratio <= 3.0 ? "ok" : "MISSED");
  std::printf("memory growth:          %9.1f MiB (target <= 64) %s\n", growthMiB,
              growthMiB <= 64.0 ? "ok" : "MISSED");
  std::printf("longest main stall:     %9.1f ms  (target <= 100) %s\n", stallMs,
              stallMs <= 100.0 ? "ok" : "MISSED");
  if (!complete) std::printf("the table did not show every file\n");
  return complete && ratio <= 3.0 && growthMiB <= 64.0 && stallMs <= 100.0 ? 0 : 1;
}
