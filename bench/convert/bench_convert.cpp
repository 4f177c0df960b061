// Times `quillpress-cli convert` of one file against Ghostscript alone
// (`gs -sDEVICE=pdfwrite`) on the same file, interleaved in one run, and
// prints the ratio of the medians. Usage: bench_convert [ROUNDS]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A text document like a report: full pages of set text, a rule and a box.
std::string Document(int pages) {
  std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pages) + "\n%%EndComments\n";
  ps += "/F { /Times-Roman findfont 10 scalefont setfont } def\n";
  for (int p = 1; p <= pages; ++p) {
    ps += "%%Page: " + std::to_string(p) + " " + std::to_string(p) + "\nF\n";
    for (int line = 0; line < 60; ++line) {
      ps += "72 " + std::to_string(740 - line * 11) +
            " moveto (Page " + std::to_string(p) + ", line " + std::to_string(line) +
            ": the quick brown fox jumps over the lazy dog, again and again.) show\n";
    }
    ps += "72 60 moveto 540 60 lineto stroke 72 30 468 20 rectstroke\nshowpage\n";
  }
  return ps + "%%EOF\n";
}

double Seconds(const QString& program, const QStringList& args) {
  QElapsedTimer timer;
  timer.start();
  QProcess p;
  p.start(program, args);
  p.waitForFinished(-1);
  const double s = double(timer.nsecsElapsed()) / 1e9;
  if (p.exitCode() != 0) {
    std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
    std::exit(1);
  }
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/quillpress-cli");
  QTemporaryDir dir;
  bool allMet = true;
  for (const int pages : {1, 80}) {
    const QString input = dir.filePath(QStringLiteral("doc-%1.ps").arg(pages));
    std::ofstream(input.toStdString()) << Document(pages);
    std::vector<double> ours;
    std::vector<double> gs;
    for (int i = 0; i < rounds; ++i) {
      const QString out = dir.filePath(QStringLiteral("out-%1-%2").arg(pages).arg(i));
      gs.push_back(Seconds(QStringLiteral("gs"), {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                                                  "-sDEVICE=pdfwrite", "-o", out + ".gs.pdf", input}));
      ours.push_back(Seconds(cli, {"convert", input, "--output", out}));
    }
    const double ratio = Median(ours) / Median(gs);
    const double target = pages == 1 ? 1.10 : 1.03;
    allMet = allMet && ratio <= target;
    std::printf("%2d page(s): quillpress-cli %.1f ms, gs %.1f ms, ratio %.3f (target <= %.2f)\n", pages,
                Median(ours) * 1000, Median(gs) * 1000, ratio, target);
  }
  return allMet ? 0 : 1;
}
