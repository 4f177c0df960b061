#include "cli/ConvertCommand.h"

#include "BMTUtil.h"

#include "cli/StopOnSignal.h"
#include "conversion/ConversionPool.h"
#include "conversion/ConverterInterface.h"
#include "conversion/DestinationFolder.h"
#include "conversion/PostScriptConverter.h"
#include "filelist/FolderExpansion.h"
#include "filelist/PostScriptFileTest.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kAllConverted = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsage = 2;

// A name as this program prints it: a file's name is hostile text.
std::string Shown(const fs::path& path) { return BMTUtil::EscapedForDisplay(path.native()); }

const char kHelp[] =
    "usage: quillpress-cli convert [--recursive] [--keep-tree] [--compress] [--preset NAME]\n"
    "                              [--jobs N] PATH... --output DEST\n"
    "       quillpress-cli convert --list-presets\n"
    "\n"
    "Converts PostScript (.ps) and EPS (.eps) files into PDF files in DEST, several\n"
    "at once, with the result of converting them one after another in the order\n"
    "given. DEST is created when missing. Existing files are never replaced:\n"
    "report.pdf, then report 1.pdf, report 2.pdf, ... in the order given.\n"
    "\n"
    "A folder contributes the PostScript and EPS files at its first level; hidden\n"
    "entries are skipped.\n"
    "  -r, --recursive   take files from every level below a given folder\n"
    "  -k, --keep-tree   recreate each given folder's sub-folders under DEST\n"
    "  -c, --compress    write smaller PDFs (lossless: object streams, recompression)\n"
    "  -p, --preset NAME the PDF settings (default faithful):\n"
    "                      faithful  pages, sizes and colours as the PostScript has them\n"
    "                      smallest  images at 150 ppi, lossy where it pays\n"
    "                      print     images kept to 300 ppi, all fonts embedded\n"
    "                      pdfx-3    PDF/X-3 for press, CMYK output intent\n"
    "                      pdfa-2b   PDF/A-2b for archives, sRGB output intent\n"
    "                    A file that cannot meet pdfx-3 or pdfa-2b fails with the\n"
    "                    reason; none is written that claims a standard it misses.\n"
    "      --list-presets list the presets, one a line, and exit\n"
    "  -j, --jobs N      convert up to N files at once (default: one per processor);\n"
    "                    fewer when N converters would not fit in the available\n"
    "                    memory at QUILLPRESS_PSTOPDF_MEMORY_MIB each (default %lu)\n"
    "  -o, --output DEST the folder that receives the PDF files\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit status: 0 when every file converted, 1 when some failed, 2 on a usage error.\n";

struct Options {
  bool recursive = false;
  bool keepTree = false;
  bool compress = false;
  PdfPreset preset = PdfPreset::Faithful;
  std::size_t jobs = 0;  // one per processor
  fs::path output;
  std::vector<fs::path> paths;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quillpress-cli convert: %s\n", message.c_str());
  std::fputs("Try 'quillpress-cli convert --help'.\n", stderr);
  return kUsage;
}

// The parsed options, or the exit status to end with.
std::variant<Options, int> Parse(int argc, char** argv) {
  Options options;
  bool onlyPaths = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (onlyPaths || arg.empty() || arg[0] != '-' || arg == "-") {
      options.paths.emplace_back(arg);
    } else if (arg == "--") {
      onlyPaths = true;
    } else if (arg == "-r" || arg == "--recursive") {
      options.recursive = true;
    } else if (arg == "-k" || arg == "--keep-tree") {
      options.keepTree = true;
    } else if (arg == "-c" || arg == "--compress") {
      options.compress = true;
    } else if (arg == "-p" || arg == "--preset" || arg.rfind("--preset=", 0) == 0) {
      std::string name;
      if (arg.rfind("--preset=", 0) == 0) {
        name = arg.substr(std::strlen("--preset="));
      } else if (i + 1 < argc) {
        name = argv[++i];
      }
      const auto preset = PdfPresetFromName(name);
      if (!preset) {
        return UsageError(name.empty() ? arg + " needs a preset name"
                                       : "unknown preset '" + name + "' (see --list-presets)");
      }
      options.preset = *preset;
    } else if (arg == "--list-presets") {
      for (const PdfPreset preset : kAllPdfPresets) {
        std::printf("%-9s %s\n", std::string(PdfPresetName(preset)).c_str(),
                    std::string(PdfPresetSummary(preset)).c_str());
      }
      return kAllConverted;
    } else if (arg == "-j" || arg == "--jobs" || arg.rfind("--jobs=", 0) == 0) {
      std::string count;
      if (arg.rfind("--jobs=", 0) == 0) {
        count = arg.substr(std::strlen("--jobs="));
      } else if (i + 1 < argc) {
        count = argv[++i];
      }
      char* end = nullptr;
      const unsigned long value = count.empty() ? 0 : std::strtoul(count.c_str(), &end, 10);
      if (count.empty() || *end != '\0' || value == 0 || value > 1024 || count[0] == '-') {
        return UsageError(arg + " needs a whole number from 1 to 1024");
      }
      options.jobs = value;
    } else if (arg == "-o" || arg == "--output") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return UsageError(arg + " needs a folder");
      options.output = argv[++i];
    } else if (arg.rfind("--output=", 0) == 0) {
      options.output = arg.substr(std::strlen("--output="));
    } else if (arg == "-h" || arg == "--help") {
      std::printf(kHelp, kConverterMemoryMiB);
      return kAllConverted;
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (options.paths.empty()) return UsageError("no files or folders to convert");
  if (options.output.empty()) return UsageError("no destination folder (--output DEST)");
  return options;
}

class ProgressLine {
 public:
  ProgressLine() : m_terminal(isatty(STDERR_FILENO) == 1) {}
  void Show(std::size_t n, std::size_t total, const fs::path& file) {
    if (!m_terminal) return;
    std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", n, total, Shown(file.filename()).c_str());
    std::fflush(stderr);
  }
  void Clear() {
    if (m_terminal) std::fputs("\r\033[K", stderr);
  }

 private:
  bool m_terminal;
};

}  // namespace

int RunConvertCommand(int argc, char** argv) {
  auto parsed = Parse(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const Options& options = std::get<Options>(parsed);

  std::error_code ec;
  fs::create_directories(options.output, ec);
  if (!fs::is_directory(options.output, ec)) {
    std::fprintf(stderr, "quillpress-cli convert: cannot create the folder %s\n",
                 options.output.c_str());
    return kSomeFailed;
  }
  const fs::path destination = fs::absolute(options.output, ec);

  StopOnSignal stopper;
  std::size_t failed = 0;
  std::vector<FileListItemRef> items;
  for (const fs::path& path : options.paths) {
    if (!fs::exists(fs::status(path, ec))) {
      std::fprintf(stderr, "failed: %s: no such file or folder\n", Shown(path).c_str());
      ++failed;
      continue;
    }
    // Refused before anything reads it: a pipe or a device would block.
    if (const auto status = fs::status(path, ec);
        !fs::is_directory(status) && !fs::is_regular_file(status)) {
      std::fprintf(stderr, "failed: %s: it is %s, not a regular file\n", Shown(path).c_str(),
                   fs::is_fifo(status)                ? "a named pipe"
                   : fs::is_character_file(status)    ? "a character device"
                   : fs::is_block_file(status)        ? "a block device"
                   : fs::is_socket(status)            ? "a socket"
                                                      : "something else");
      ++failed;
      continue;
    }
    if (!fs::is_directory(path, ec) && !IsPostScriptFile(path)) {
      std::fprintf(stderr, "failed: %s: not a PostScript or EPS file\n", Shown(path).c_str());
      ++failed;
      continue;
    }
    ExpandUrlsIntoItems({fs::absolute(path, ec)},
                        ExpansionOptions{options.keepTree, options.recursive},
                        [&](FileListItemRef item) { items.push_back(std::move(item)); }, nullptr,
                        [](const fs::path& link) {
                          std::fprintf(stderr, "skipped: %s: a symbolic link, not followed\n",
                                       Shown(link).c_str());
                        });
  }

  const ConverterCount converters = ChooseConverterCount(options.jobs);
  if (!converters.note.empty()) {
    std::fprintf(stderr, "quillpress-cli convert: %s\n", converters.note.c_str());
  }
  std::vector<ConversionPool::Job> jobs;
  jobs.reserve(items.size());
  for (const FileListItemRef& item : items) {
    ConversionPool::Job job;
    job.input = item->filePath();
    job.folder = [&destination, item] {
      return DestinationFolderForSource(destination, item->filePath(), item->parentFolderName());
    };
    jobs.push_back(std::move(job));
  }
  // Reported in the order given, whichever conversion ends first.
  ProgressLine progress;
  std::size_t converted = 0;
  ConversionPool::Callbacks callbacks;
  callbacks.finished = [&](const ConversionPool::Finished& finished) {
    const FileListItem& item = *items[finished.index];
    progress.Clear();
    if (finished.stopped) return true;
    if (!finished.converted) {
      std::fprintf(stderr, "failed: %s: cannot create its folder under %s\n",
                   Shown(item.filePath()).c_str(), Shown(destination).c_str());
      ++failed;
    } else if (finished.result.ok) {
      ++converted;
      std::printf("converted: %s -> %s\n", Shown(item.filePath()).c_str(),
                  Shown(finished.result.writtenPath).c_str());
      for (const std::string& warning : finished.result.warnings) {
        std::fprintf(stderr, "warning: %s: %s\n", Shown(item.filePath()).c_str(),
                     BMTUtil::EscapedForDisplay(warning).c_str());
      }
      std::fflush(stdout);
    } else if (!stopper.token().stop_requested()) {
      std::fprintf(stderr, "failed: %s: %s\n", Shown(item.filePath()).c_str(),
                   BMTUtil::EscapedForDisplay(finished.result.error, 2000).c_str());
      ++failed;
    }
    if (finished.index + 1 < items.size()) {
      progress.Show(finished.index + 1, items.size(), items[finished.index + 1]->filePath());
    }
    return true;
  };
  if (!items.empty()) progress.Show(0, items.size(), items.front()->filePath());
  ConversionOptions conversion;
  conversion.compress = options.compress;
  conversion.preset = options.preset;
  ConversionPool(converters.count).Run(jobs, conversion, callbacks, stopper.token());
  progress.Clear();

  if (stopper.token().stop_requested()) {
    std::fprintf(stderr, "Interrupted: %zu of %zu files converted into %s\n", converted,
                 items.size(), Shown(destination).c_str());
    return kSomeFailed;
  }
  if (items.empty() && failed == 0) {
    std::fprintf(stderr, "No PostScript or EPS files found.\n");
    return kAllConverted;
  }
  if (failed) {
    std::fprintf(stderr, "%zu of %zu files converted into %s; %zu failed\n", converted,
                 converted + failed, Shown(destination).c_str(), failed);
  } else {
    std::fprintf(stderr, "%zu of %zu files converted into %s\n", converted, converted,
                 Shown(destination).c_str());
  }
  return failed ? kSomeFailed : kAllConverted;
}
