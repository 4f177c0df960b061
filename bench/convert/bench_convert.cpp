// Times `quillpress-cli convert` of one file against Ghostscript alone
// (`gs -sDEVICE=pdfwrite`) on the same file, interleaved in one run, and
// prints the ratio of the medians (targets: at most 0.5 for one page, 1.0 for
// eighty); then the same for each PDF preset, with gs
// given the very settings pstopdf gives the interpreter for it, on a report
// with a photograph. Usage: bench_convert [ROUNDS]

#include "DocumentComments.h"
#include "PresetArguments.h"
#include "UserPaper.h"
#include "bench/support/BenchSupport.h"
#include "conversion/PdfPreset.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {


// A report page with a photograph-like picture of 600 by 450 pixels at 300
// ppi (smooth gradients and grain, as hex data), then text pages.
std::string ReportWithPhotograph(int textPages) {
  constexpr int kWidth = 600;
  constexpr int kHeight = 450;
  std::string ps =
      "%!PS-Adobe-3.0\n%%Title: Report with a photograph\n%%Creator: bench_convert\n"
      "%%CreationDate: Mon Dec  7 13:00:00 2026\n%%Pages: " +
      std::to_string(textPages + 1) +
      "\n%%EndComments\n/F { /Times-Roman findfont 10 scalefont setfont } def\n%%Page: 1 1\n";
  ps += "gsave 72 500 translate 144 108 scale\n" + std::to_string(kWidth) + " " +
        std::to_string(kHeight) + " 8 [" + std::to_string(kWidth) + " 0 0 -" +
        std::to_string(kHeight) + " 0 " + std::to_string(kHeight) +
        "] currentfile /ASCIIHexDecode filter false 3 colorimage\n";
  static const char kHex[] = "0123456789abcdef";
  unsigned seed = 12345;
  std::string line;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int grain = static_cast<int>((seed >> 16) % 25) - 12;
      const double u = x / double(kWidth);
      const double v = y / double(kHeight);
      const int rgb[3] = {int(128 + 100 * std::sin(6 * u + 2 * v)),
                          int(128 + 90 * std::cos(5 * v - 3 * u)),
                          int(128 + 80 * std::sin(4 * (u + v)))};
      for (const int c : rgb) {
        const int value = std::clamp(c + grain, 0, 255);
        line += kHex[value >> 4];
        line += kHex[value & 15];
      }
      if (line.size() >= 120) {
        ps += line + "\n";
        line.clear();
      }
    }
  }
  ps += line +
        ">\ngrestore\n/Times-Roman findfont 12 scalefont setfont\n"
        "72 460 moveto (Figure 1: a photograph.) show showpage\n";
  const std::string text = bench::ReportDocument(textPages, "Report");
  const auto body = text.find("%%Page: 1 1");
  // The text pages, renumbered after the photograph's.
  std::string pages = text.substr(body, text.rfind("%%EOF") - body);
  for (int p = textPages; p >= 1; --p) {
    const std::string from = "%%Page: " + std::to_string(p) + " " + std::to_string(p) + "\n";
    const std::string to = "%%Page: " + std::to_string(p + 1) + " " + std::to_string(p + 1) + "\n";
    pages.replace(pages.find(from), from.size(), to);
  }
  return ps + pages + "%%EOF\n";
}

// The interpreter's arguments that pstopdf uses for preset on input, with
// its setup job written into folder.
QStringList GhostscriptPresetArguments(PdfPreset preset, const QString& input,
                                       const QString& folder) {
  const int fd = open(input.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
  const PaperSize paper = UserPaperSize();
  const PresetContext context{preset, false, paper.width, paper.height, ReadDocumentComments(fd), {}};
  if (fd >= 0) close(fd);
  std::string why;
  QStringList args;
  // The benchmark's documents have plain ASCII titles: nothing to run after them.
  for (const std::string& arg :
       PresetArguments(context, folder.toStdString(), why).beforeDocument) {
    args << QString::fromStdString(arg);
  }
  if (!why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
  }
  return args;
}

double Seconds(const QString& program, const QStringList& args) {
  QElapsedTimer timer;
  timer.start();
  QProcess p;
  p.start(program, args);
  p.waitForFinished(-1);
  const double s = double(timer.nsecsElapsed()) / 1e9;
  if (p.exitCode() != 0) {
    std::fprintf(stderr, "%s %s failed: %s\n", qPrintable(program), qPrintable(args.join(u' ')),
                 (p.readAllStandardOutput() + p.readAllStandardError()).constData());
    std::exit(1);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/quillpress-cli");
  QTemporaryDir dir;
  bool allMet = true;
  std::printf("load %s\n", bench::LoadAverage().c_str());
  for (const int pages : {1, 80}) {
    const QString input = dir.filePath(QStringLiteral("doc-%1.ps").arg(pages));
    std::ofstream(input.toStdString()) << bench::ReportDocument(pages, "Report");
    std::vector<double> ours;
    std::vector<double> gs;
    // gs as pstopdf runs it for the default preset (fonts embedded, the
    // user's paper), so that both make the same PDF.
    const QString setupFolder = dir.filePath(QStringLiteral("setup-%1").arg(pages));
    QDir().mkpath(setupFolder);
    const QStringList faithful =
        GhostscriptPresetArguments(PdfPreset::Faithful, input, setupFolder);
    // Untimed: the converter keeps an interpreter ready from its first run on.
    Seconds(cli, {"convert", input, "--output", dir.filePath(QStringLiteral("warm-%1").arg(pages))});
    for (int i = 0; i < rounds; ++i) {
      const QString out = dir.filePath(QStringLiteral("out-%1-%2").arg(pages).arg(i));
      gs.push_back(Seconds(QStringLiteral("gs"),
                           QStringList{"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                                       "-dAutoRotatePages=/None", "-o", out + ".gs.pdf"} +
                               faithful + QStringList{"-f", input}));
      ours.push_back(Seconds(cli, {"convert", input, "--output", out}));
    }
    const double ratio = bench::Median(ours) / bench::Median(gs);
    const double target = pages == 1 ? 0.5 : 1.0;
    allMet = allMet && ratio <= target;
    std::printf("%2d page(s): quillpress-cli %.1f ms, gs %.1f ms, ratio %.3f (target <= %.2f)\n",
                pages, bench::Median(ours) * 1000, bench::Median(gs) * 1000, ratio, target);
  }

  const QString report = dir.filePath(QStringLiteral("report.ps"));
  std::ofstream(report.toStdString()) << ReportWithPhotograph(10);
  for (const PdfPreset preset : kAllPdfPresets) {
    const QString name =
        QString::fromLatin1(PdfPresetName(preset).data(), qsizetype(PdfPresetName(preset).size()));
    const QString setupFolder = dir.filePath(QStringLiteral("setup-") + name);
    QDir().mkpath(setupFolder);
    const QStringList gsArgs =
        QStringList{"-q",        "-dSAFER",           "-dBATCH",
                    "-dNOPAUSE", "-sDEVICE=pdfwrite", "-dAutoRotatePages=/None"} +
        GhostscriptPresetArguments(preset, report, setupFolder);
    std::vector<double> ours;
    std::vector<double> gs;
    qint64 ourBytes = 0;
    qint64 gsBytes = 0;
    for (int i = 0; i < rounds; ++i) {
      const QString out = dir.filePath(QStringLiteral("preset-%1-%2").arg(name).arg(i));
      gs.push_back(Seconds(QStringLiteral("gs"), QStringList{"-o", out + ".gs.pdf"} + gsArgs +
                                                     QStringList{"-f", report}));
      ours.push_back(Seconds(cli, {"convert", "--preset", name, report, "--output", out}));
      gsBytes = QFileInfo(out + ".gs.pdf").size();
      ourBytes = QFileInfo(out + "/report.pdf").size();
    }
    const double ratio = bench::Median(ours) / bench::Median(gs);
    constexpr double kTarget = 1.10;
    allMet = allMet && ratio <= kTarget;
    std::printf(
        "%-9s: quillpress-cli %.1f ms (%lld KiB), gs %.1f ms (%lld KiB), ratio %.3f (target <= "
        "%.2f)\n",
        qPrintable(name), bench::Median(ours) * 1000, ourBytes / 1024, bench::Median(gs) * 1000, gsBytes / 1024,
        ratio, kTarget);
  }
  return allMet ? 0 : 1;
}
