// Times `quillpress-cli convert` of one file against Ghostscript alone
// (`gs -sDEVICE=pdfwrite`) on the same file, interleaved in one run, and
// prints the medians and their ratio against its target: the fixed cost of a
// file (one line of PostScript, in milliseconds: at most 10), generated
// documents of one page (ratio at most 0.5) and eighty (0.9), and real ones:
// one page of a listing made with a2ps, one page of the corpus in
// tests/corpus, and its longest document (else made with groff); then the
// peak memory of one converter on that longest document and the most over
// the corpus; then each PDF preset, with gs given the very settings pstopdf
// gives the interpreter for it, on a report with a photograph. QUILLPRESS_BENCH_BASELINE names another
// build's quillpress-cli to time in the same turns (figures before a change).
// Usage: bench_convert [ROUNDS]

#include "DocumentComments.h"
#include "PresetArguments.h"
#include "UserPaper.h"
#include "bench/support/BenchSupport.h"
#include "conversion/ConverterInterface.h"
#include "conversion/PdfPreset.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
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
  const bool eps = bench::IsEncapsulated(input.toStdString());
  const int fd = open(input.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
  const PaperSize paper = UserPaperSize();
  const PresetContext context{preset, eps, paper.width, paper.height, ReadDocumentComments(fd), {}};
  if (fd >= 0) close(fd);
  std::string why;
  QStringList args;
  // As pstopdf: the setup sets the page of an EPS file and fixes it.
  if (eps) args << QStringLiteral("-dFIXEDMEDIA");
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

// The medians of quillpress-cli and of gs (as pstopdf runs it for the
// default preset: fonts embedded, the user's paper) on input, interleaved.
struct Comparison {
  double ours = 0;
  double gs = 0;
  double baseline = 0;  // another build's quillpress-cli, when one is compared
  double ratio() const { return ours / gs; }
};

// Another build's quillpress-cli (QUILLPRESS_BENCH_BASELINE), timed in the
// same turns, for figures before and after a change; empty without one.
QString BaselineCli() { return qEnvironmentVariable("QUILLPRESS_BENCH_BASELINE"); }

Comparison Compare(const QString& cli, const QString& input, const QString& folder, int rounds) {
  QDir().mkpath(folder);
  const QStringList faithful = GhostscriptPresetArguments(PdfPreset::Faithful, input, folder);
  // Untimed: the converter keeps an interpreter ready from its first run on.
  const QString baseline = BaselineCli();
  Seconds(cli, {"convert", input, "--output", folder + QStringLiteral("/warm")});
  if (!baseline.isEmpty()) {
    Seconds(baseline, {"convert", input, "--output", folder + QStringLiteral("/warm-baseline")});
  }
  std::vector<double> ours;
  std::vector<double> gs;
  std::vector<double> before;
  for (int i = 0; i < rounds; ++i) {
    const QString out = folder + QStringLiteral("/out-%1").arg(i);
    gs.push_back(Seconds(QStringLiteral("gs"),
                         QStringList{"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                                     "-dAutoRotatePages=/None", "-o", out + ".gs.pdf"} +
                             faithful + QStringList{"-f", input}));
    ours.push_back(Seconds(cli, {"convert", input, "--output", out}));
    if (!baseline.isEmpty()) {
      before.push_back(Seconds(baseline, {"convert", input, "--output", out + "-baseline"}));
    }
  }
  return {bench::Median(ours), bench::Median(gs), bench::Median(before)};
}

// The most memory that one converter (pstopdf, its job and its check, started
// afresh rather than from a ready interpreter, so that the job's memory is all
// its own) held at once converting input, in MiB.
double PeakConverterMiB(const QString& cli, const QString& input, const QString& folder) {
  const std::string program = cli.toStdString();
  const std::string in = input.toStdString();
  const std::string out = folder.toStdString();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("QUILLPRESS_PSTOPDF_READY", "0", 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), "convert", in.c_str(), "--output", out.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  // The child's figure covers the processes it waited for, and theirs.
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || status != 0) return -1;
  return double(usage.ru_maxrss) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/quillpress-cli");
  QTemporaryDir dir;
  bool allMet = true;
  std::printf("load %s\n", bench::LoadAverage().c_str());

  // The fixed cost of a file: one line of PostScript, where the
  // interpreter's own work is least.
  {
    const QString input = dir.filePath(QStringLiteral("line.ps"));
    std::ofstream(input.toStdString())
        << "%!PS\n/Times-Roman findfont 12 scalefont setfont 72 720 moveto (One line.) show "
           "showpage\n";
    const Comparison fixed = Compare(cli, input, dir.filePath(QStringLiteral("line")), rounds);
    // Half of the 20 ms measured where the target was set. Machines differ
    // most in this figure: against a build from before (the baseline), the
    // target is half of that build's figure in the same turns.
    constexpr double kTargetMs = 10;
    constexpr double kTargetOfBaseline = 0.5;
    std::printf("fixed cost (one line): quillpress-cli %.1f ms (target <= %.0f ms), gs %.1f ms\n",
                fixed.ours * 1000, kTargetMs, fixed.gs * 1000);
    if (fixed.baseline > 0) {
      const double ofBaseline = fixed.ours / fixed.baseline;
      allMet = allMet && ofBaseline <= kTargetOfBaseline;
      std::printf("  baseline quillpress-cli %.1f ms: %.3f of it (target <= %.2f)\n",
                  fixed.baseline * 1000, ofBaseline, kTargetOfBaseline);
    } else {
      allMet = allMet && fixed.ours * 1000 <= kTargetMs;
    }
    // What a process costs on this machine, started and waited for as the
    // others are: the fixed cost holds several, and machines differ most in it.
    std::vector<double> nothing;
    for (int i = 0; i < rounds; ++i) nothing.push_back(Seconds(QStringLiteral("true"), {}));
    std::printf("  a process that does nothing (true): %.1f ms\n", bench::Median(nothing) * 1000);
  }

  struct Case {
    QString what;
    QString input;
    double target;
  };
  std::vector<Case> cases;
  for (const int pages : {1, 80}) {
    const QString input = dir.filePath(QStringLiteral("doc-%1.ps").arg(pages));
    std::ofstream(input.toStdString()) << bench::ReportDocument(pages, "Report");
    cases.push_back({QStringLiteral("generated, %1 page(s)").arg(pages), input,
                     pages == 1 ? 0.5 : 0.9});
  }
  const bench::RealDocument listing = bench::OnePageListing(dir.path().toStdString());
  const bench::RealDocument page = bench::OnePageCorpusDocument();
  const bench::RealDocument longest = bench::LongestRealDocument(dir.path().toStdString());
  for (const auto& [document, target] :
       {std::pair{listing, 0.5}, std::pair{page, 0.5}, std::pair{longest, 0.9}}) {
    if (document.pages <= 0) {
      std::printf("real document missing: %s\n", document.what.c_str());
      allMet = false;
      continue;
    }
    cases.push_back({QStringLiteral("real, %1 page(s), %2")
                         .arg(document.pages)
                         .arg(QString::fromStdString(document.what)),
                     QString::fromStdString(document.file.string()), target});
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Comparison figure =
        Compare(cli, c.input, dir.filePath(QStringLiteral("case-%1").arg(i)), rounds);
    allMet = allMet && figure.ratio() <= c.target;
    std::printf("%s: quillpress-cli %.1f ms, gs %.1f ms, ratio %.3f (target <= %.2f)\n",
                qPrintable(c.what), figure.ours * 1000, figure.gs * 1000, figure.ratio(), c.target);
    if (figure.baseline > 0) {
      std::printf("  baseline quillpress-cli %.1f ms, ratio %.3f\n", figure.baseline * 1000,
                  figure.baseline / figure.gs);
    }
  }
  if (longest.pages > 0) {
    std::printf("peak memory of one converter on %s: %.0f MiB\n", longest.what.c_str(),
                PeakConverterMiB(cli, QString::fromStdString(longest.file.string()),
                                 dir.filePath(QStringLiteral("memory"))));
  }
  // The most any corpus document takes, against what each converter is
  // allowed (the number run at once is chosen by that allowance).
  double most = 0;
  std::string mostWhat;
  for (const bench::RealDocument& d : bench::CorpusDocuments()) {
    const double mib = PeakConverterMiB(cli, QString::fromStdString(d.file.string()),
                                        dir.filePath(QStringLiteral("memory-corpus")));
    if (mib > most) {
      most = mib;
      mostWhat = d.what;
    }
  }
  if (most > 0) {
    std::printf("peak memory of one converter over the corpus: %.0f MiB (%s), of %llu MiB allowed\n",
                most, mostWhat.c_str(), static_cast<unsigned long long>(kConverterMemoryMiB));
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
