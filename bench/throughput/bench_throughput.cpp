// Throughput of `quillpress-cli convert` on a large batch (200 one-page files
// and 10 eighty-page files) against Ghostscript's ps2pdf on the same files,
// run one file after another and run by `xargs -P $(nproc) -n 1`, all in one
// run. Prints the times and how many times faster we are (targets: at least
// 4 against the serial run, at least 2 against xargs).
// The machine may be shared: each figure is the best of ROUNDS (default 3),
// the three runs taking turns, and the load is printed with them.
// Usage: bench_throughput [ROUNDS] [SMALL_FILES] [LARGE_FILES]

#include "bench/support/BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Runs program to its end in folder; seconds, or exits when it failed.
double Seconds(const QString& program, const QStringList& args, const fs::path& folder) {
  fs::create_directories(folder);
  QElapsedTimer timer;
  timer.start();
  QProcess p;
  p.setWorkingDirectory(QString::fromStdString(folder.string()));
  p.setStandardOutputFile(QProcess::nullDevice());
  p.start(program, args);
  p.waitForFinished(-1);
  const double s = double(timer.nsecsElapsed()) / 1e9;
  if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
    std::exit(1);
  }
  return s;
}

std::size_t Count(const fs::path& folder) {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(folder)) n += entry.path().extension() == ".pdf";
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int small = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  const int large = argc > 3 ? std::max(0, std::atoi(argv[3])) : 10;
  const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/quillpress-cli");
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);

  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  const fs::path in = root / "in";
  fs::create_directories(in);
  QStringList files;
  // The long files spread evenly through the list.
  const int total = small + large;
  const int step = large > 0 ? total / large : total + 1;
  int placed = 0;
  for (int i = 0; i < total; ++i) {
    const bool isLarge = placed < large && i % step == step / 2;
    placed += isLarge;
    const fs::path file = in / ((isLarge ? "long-" : "page-") + std::to_string(i) + ".ps");
    std::ofstream(file) << bench::ReportDocument(isLarge ? 80 : 1, "Document " + std::to_string(i));
    files << QString::fromStdString(file.string());
  }
  // The list of files for xargs, one a line.
  const fs::path list = root / "files.txt";
  {
    std::ofstream out(list);
    for (const QString& f : files) out << f.toStdString() << '\n';
  }

  const std::string loadBefore = bench::LoadAverage();
  std::vector<double> ours, serial, parallel;
  for (int r = 0; r < rounds; ++r) {
    const std::string tag = std::to_string(r);
    // The serial baseline: one ps2pdf after another.
    const fs::path serialOut = root / ("serial-" + tag);
    fs::create_directories(serialOut);
    serial.push_back(Seconds(QStringLiteral("/bin/sh"),
                             {"-c", QStringLiteral("while read -r f; do ps2pdf \"$f\" || exit 1; done < '%1'")
                                        .arg(QString::fromStdString(list.string()))},
                             serialOut));
    const fs::path xargsOut = root / ("xargs-" + tag);
    parallel.push_back(Seconds(QStringLiteral("/bin/sh"),
                               {"-c", QStringLiteral("xargs -P %1 -n 1 ps2pdf < '%2'")
                                          .arg(processors)
                                          .arg(QString::fromStdString(list.string()))},
                               xargsOut));
    const fs::path oursOut = root / ("ours-" + tag);
    QStringList args = {"convert"};
    args << files << "--output" << QString::fromStdString(oursOut.string());
    ours.push_back(Seconds(cli, args, root));
    const auto expected = static_cast<std::size_t>(files.size());
    if (Count(serialOut) != expected || Count(xargsOut) != expected || Count(oursOut) != expected) {
      std::fprintf(stderr, "not every file was converted\n");
      return 1;
    }
    fs::remove_all(serialOut);
    fs::remove_all(xargsOut);
    fs::remove_all(oursOut);
  }
  auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  const double vsSerial = best(serial) / best(ours);
  const double vsXargs = best(parallel) / best(ours);
  std::printf("%d one-page + %d eighty-page files, %ld processors, best of %d, load %s, then %s\n",
              small, large, processors, rounds, loadBefore.c_str(), bench::LoadAverage().c_str());
  std::printf("quillpress-cli convert %.2f s; ps2pdf one after another %.2f s; xargs -P %ld ps2pdf %.2f s\n",
              best(ours), best(serial), processors, best(parallel));
  std::printf("faster than serial ps2pdf: %.2fx (target >= 4); than xargs ps2pdf: %.2fx (target >= 2)\n",
              vsSerial, vsXargs);
  return vsSerial >= 4 && vsXargs >= 2 ? 0 : 1;
}
