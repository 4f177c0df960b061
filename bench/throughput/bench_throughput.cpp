// Throughput of `quillpress-cli convert` on large batches against
// Ghostscript's ps2pdf on the same files, run one file after another and run
// by `xargs -P $(nproc) -n 1`, all in one run: generated files (200 one-page
// and 10 eighty-page ones), real ones (as many copies of one page of a
// listing that a2ps makes and of the longest corpus document), and the whole
// corpus of real documents in tests/corpus. Prints the times and how many times faster we
// are (targets: at least 4 against the serial run, at least 2 against xargs).
// The machine may be shared: each figure is the best of ROUNDS (default 3),
// the three runs taking turns, and the load is printed with them.
// Usage: bench_throughput [ROUNDS] [SMALL_FILES] [LARGE_FILES] [BATCHES]
// (BATCHES: any of generated,real,corpus; all by default)

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

// Runs program to its end in folder; seconds. A failure ends the benchmark
// unless it is allowed (the corpus, where either side may refuse a file).
double Seconds(const QString& program, const QStringList& args, const fs::path& folder,
               bool failureAllowed = false) {
  fs::create_directories(folder);
  QElapsedTimer timer;
  timer.start();
  QProcess p;
  p.setWorkingDirectory(QString::fromStdString(folder.string()));
  p.setStandardOutputFile(QProcess::nullDevice());
  if (failureAllowed) p.setStandardErrorFile(QProcess::nullDevice());
  p.start(program, args);
  p.waitForFinished(-1);
  const double s = double(timer.nsecsElapsed()) / 1e9;
  if (!failureAllowed && (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)) {
    std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
    std::exit(1);
  }
  return s;
}

std::size_t Count(const fs::path& folder) {
  std::size_t n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    n += entry.path().extension() == ".pdf";
  }
  return n;
}

// Converts files (in their list order) ROUNDS times three ways, taking turns:
// ps2pdf one after another, ps2pdf on every processor, and quillpress-cli;
// prints the best time of each and the ratios against their targets, and
// answers whether they are met.
bool RunBatch(const std::string& name, const std::vector<fs::path>& files, int rounds,
              const fs::path& root, bool failureAllowed) {
  const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/quillpress-cli");
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  const fs::path list = root / (name + "-files.txt");
  {
    std::ofstream out(list);
    for (const fs::path& f : files) out << f.string() << '\n';
  }
  QStringList paths;
  for (const fs::path& f : files) paths << QString::fromStdString(f.string());
  const QString listText = QString::fromStdString(list.string());
  // ps2pdf writes NAME.pdf into the folder it runs in: every name is unique.
  const QString ps2pdf = failureAllowed ? QStringLiteral("ps2pdf \"$f\"")
                                        : QStringLiteral("ps2pdf \"$f\" || exit 1");

  const std::string loadBefore = bench::LoadAverage();
  std::vector<double> ours, serial, parallel;
  std::size_t converted[3] = {0, 0, 0};
  for (int r = 0; r < rounds; ++r) {
    const std::string tag = name + "-" + std::to_string(r);
    const fs::path serialOut = root / ("serial-" + tag);
    serial.push_back(Seconds(QStringLiteral("/bin/sh"),
                             {"-c", QStringLiteral("while read -r f; do %1; done < '%2'")
                                        .arg(ps2pdf, listText)},
                             serialOut, failureAllowed));
    const fs::path xargsOut = root / ("xargs-" + tag);
    parallel.push_back(Seconds(QStringLiteral("/bin/sh"),
                               {"-c", QStringLiteral("xargs -P %1 -n 1 ps2pdf < '%2'")
                                          .arg(processors)
                                          .arg(listText)},
                               xargsOut, failureAllowed));
    const fs::path oursOut = root / ("ours-" + tag);
    ours.push_back(Seconds(cli, QStringList{"convert"} + paths +
                                    QStringList{"--output", QString::fromStdString(oursOut.string())},
                           root, failureAllowed));
    converted[0] = Count(serialOut);
    converted[1] = Count(xargsOut);
    converted[2] = Count(oursOut);
    if (!failureAllowed && (converted[0] != files.size() || converted[1] != files.size() ||
                            converted[2] != files.size())) {
      std::fprintf(stderr, "%s: not every file was converted\n", name.c_str());
      std::exit(1);
    }
    fs::remove_all(serialOut);
    fs::remove_all(xargsOut);
    fs::remove_all(oursOut);
  }
  auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  const double vsSerial = best(serial) / best(ours);
  const double vsXargs = best(parallel) / best(ours);
  std::printf("%s: %zu files, %ld processors, best of %d, load %s, then %s\n", name.c_str(),
              files.size(), processors, rounds, loadBefore.c_str(), bench::LoadAverage().c_str());
  if (failureAllowed) {
    std::printf("  converted: quillpress-cli %zu, ps2pdf %zu (serial), %zu (xargs)\n", converted[2],
                converted[0], converted[1]);
  }
  std::printf("  quillpress-cli convert %.2f s; ps2pdf one after another %.2f s; xargs -P %ld ps2pdf %.2f s\n",
              best(ours), best(serial), processors, best(parallel));
  std::printf("  faster than serial ps2pdf: %.2fx (target >= 4); than xargs ps2pdf: %.2fx (target >= 2)\n",
              vsSerial, vsXargs);
  return vsSerial >= 4 && vsXargs >= 2;
}

// small one-page and large long documents, the long ones spread evenly
// through the list: makeSmall(i) and makeLarge(i) write file i.
template <typename MakeSmall, typename MakeLarge>
std::vector<fs::path> Batch(const fs::path& folder, int small, int large, const MakeSmall& makeSmall,
                            const MakeLarge& makeLarge) {
  fs::create_directories(folder);
  std::vector<fs::path> files;
  const int total = small + large;
  const int step = large > 0 ? total / large : total + 1;
  int placed = 0;
  for (int i = 0; i < total; ++i) {
    const bool isLarge = placed < large && i % step == step / 2;
    placed += isLarge;
    const fs::path file = folder / ((isLarge ? "long-" : "page-") + std::to_string(i) + ".ps");
    isLarge ? makeLarge(file, i) : makeSmall(file, i);
    files.push_back(file);
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int small = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  const int large = argc > 3 ? std::max(0, std::atoi(argv[3])) : 10;
  const std::string batches = argc > 4 ? argv[4] : "generated,real,corpus";

  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  bool allMet = true;
  if (batches.find("generated") != std::string::npos) {
    const auto files = Batch(
        root / "generated", small, large,
        [](const fs::path& f, int i) {
          std::ofstream(f) << bench::ReportDocument(1, "Document " + std::to_string(i));
        },
        [](const fs::path& f, int i) {
          std::ofstream(f) << bench::ReportDocument(80, "Document " + std::to_string(i));
        });
    allMet = RunBatch("generated (one page and eighty pages)", files, rounds, root, false) && allMet;
  }
  if (batches.find("real") != std::string::npos) {
    // Copies of one page of a real listing and of the longest real document.
    const bench::RealDocument page = bench::OnePageListing(root);
    const bench::RealDocument longest = bench::LongestRealDocument(root);
    if (page.pages <= 0 || longest.pages <= 0) {
      std::fprintf(stderr, "real documents missing\n");
      return 1;
    }
    const auto files = Batch(
        root / "real", small, large,
        [&](const fs::path& f, int) { fs::copy_file(page.file, f); },
        [&](const fs::path& f, int) { fs::copy_file(longest.file, f); });
    allMet = RunBatch("real (" + page.what + ", 1 page; " + longest.what + ", " +
                          std::to_string(longest.pages) + " pages)",
                      files, rounds, root, false) &&
             allMet;
  }
  if (batches.find("corpus") != std::string::npos) {
    std::vector<fs::path> files;
    for (const bench::RealDocument& d : bench::CorpusDocuments()) files.push_back(d.file);
    if (files.empty()) {
      std::printf("corpus: none in %s\n", QUILLPRESS_CORPUS_DIR);
    } else {
      allMet = RunBatch("corpus", files, rounds, root, true) && allMet;
    }
  }
  return allMet ? 0 : 1;
}
