#include "BMTUtil.h"
#include "cli/Command.h"
#include "StopSignals.h"
#include "conversion/ConversionFailureText.h"
#include "conversion/ConversionPool.h"
#include "conversion/ConverterInterface.h"
#include "conversion/DestinationFolder.h"
#include "conversion/PostScriptConverter.h"
#include "filelist/FolderExpansion.h"
#include "filelist/PostScriptFileTest.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

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
    "  -p, --preset NAME the PDF settings (default %s):\n"
    "                    %s\n"
    "                    A file that cannot meet a standard's preset fails with the\n"
    "                    reason; none is written that claims a standard it misses.\n"
    "      --list-presets list the presets and what each is for, and exit\n"
    "  -j, --jobs N      convert up to N files at once (default: one per processor);\n"
    "                    fewer when N converters would not fit in the available\n"
    "                    memory at QUILLPRESS_PSTOPDF_MEMORY_MIB each (default %lu)\n"
    "  -o, --output DEST the folder that receives the PDF files\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit status: 0 when every file converted, 1 when some failed, 2 on a usage error.\n";

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

class ConvertCommand : public Command {
 public:
  ConvertCommand()
      : Command("convert", {{'r', "recursive", ""},
                            {'k', "keep-tree", ""},
                            {'c', "compress", ""},
                            {'p', "preset", "NAME"},
                            {0, "list-presets", ""},
                            {'j', "jobs", "N"},
                            {'o', "output", "DEST"}}) {}

 private:
  std::string Help() const override {
    const std::string presets = PresetNames();
    std::string text(sizeof kHelp + presets.size() + 64, '\0');
    const int length = std::snprintf(text.data(), text.size(), kHelp,
                                     std::string(PdfPresetName(PdfPreset::Faithful)).c_str(), presets.c_str(),
                                     kConverterMemoryMiB);
    text.resize(length > 0 ? std::size_t(length) : 0);
    return text;
  }

  int Execute(const CommandArguments& arguments) const override;
};

int ConvertCommand::Execute(const CommandArguments& arguments) const {
  if (arguments.Has("list-presets")) {
    for (const PdfPreset preset : kAllPdfPresets) {
      std::printf("%-9s %s\n", std::string(PdfPresetName(preset)).c_str(),
                  std::string(PdfPresetSummary(preset)).c_str());
    }
    return kDone;
  }
  std::optional<PdfPreset> preset;
  if (!ReadPreset(arguments, preset)) return kUsage;
  std::size_t wanted = 0;  // one per processor
  if (const auto count = arguments.Value("jobs")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(count->c_str(), &end, 10);
    if (*end != '\0' || value == 0 || value > 1024 || (*count)[0] == '-' || (*count)[0] == '+') {
      return UsageError("--jobs needs a whole number from 1 to 1024");
    }
    wanted = value;
  }
  if (arguments.operands().empty()) return UsageError("no files or folders to convert");
  const auto output = arguments.Value("output");
  if (!output) return UsageError("no destination folder (--output DEST)");
  const fs::path outputFolder = *output;
  std::vector<fs::path> paths(arguments.operands().begin(), arguments.operands().end());

  std::error_code ec;
  fs::create_directories(outputFolder, ec);
  if (!fs::is_directory(outputFolder, ec)) {
    Say("cannot create the folder " + outputFolder.native());
    return kFailed;
  }
  const fs::path destination = fs::absolute(outputFolder, ec);

  StopOnSignal stopper;
  std::size_t failed = 0;
  std::vector<FileListItemRef> items;
  for (const fs::path& path : paths) {
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
                        ExpansionOptions{arguments.Has("keep-tree"), arguments.Has("recursive")},
                        [&](FileListItemRef item) { items.push_back(std::move(item)); }, nullptr,
                        [](const fs::path& link) {
                          std::fprintf(stderr, "skipped: %s: a symbolic link, not followed\n",
                                       Shown(link).c_str());
                        });
  }

  // One file needs no choice, nor the reading of the memory there is.
  const ConverterCount converters =
      items.size() <= 1 ? ConverterCount{} : ChooseConverterCount(wanted);
  if (!converters.note.empty()) {
    Say(converters.note);
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
                   ConversionFailureSentence(finished.result.failure).c_str());
      ++failed;
    }
    if (finished.index + 1 < items.size()) {
      progress.Show(finished.index + 1, items.size(), items[finished.index + 1]->filePath());
    }
    return true;
  };
  if (!items.empty()) progress.Show(0, items.size(), items.front()->filePath());
  ConversionOptions conversion;
  conversion.compress = arguments.Has("compress");
  conversion.preset = preset.value_or(PdfPreset::Faithful);
  ConversionPool(converters.count).Run(jobs, conversion, callbacks, stopper.token());
  progress.Clear();

  if (stopper.token().stop_requested()) {
    std::fprintf(stderr, "Interrupted: %zu of %zu files converted into %s\n", converted,
                 items.size(), Shown(destination).c_str());
    return kFailed;
  }
  if (items.empty() && failed == 0) {
    std::fprintf(stderr, "No PostScript or EPS files found.\n");
    return kDone;
  }
  if (failed) {
    std::fprintf(stderr, "%zu of %zu files converted into %s; %zu failed\n", converted,
                 converted + failed, Shown(destination).c_str(), failed);
  } else {
    std::fprintf(stderr, "%zu of %zu files converted into %s\n", converted, converted,
                 Shown(destination).c_str());
  }
  return failed ? kFailed : kDone;
}

}  // namespace

std::unique_ptr<Command> MakeConvertCommand() { return std::make_unique<ConvertCommand>(); }
