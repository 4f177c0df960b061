#include "conversion/PostScriptConverter.h"

#include "BMTUtil.h"
#include "conversion/ConversionFailureText.h"
#include "conversion/ConverterInterface.h"
#include "conversion/ConverterProcess.h"
#include "conversion/LeftoverFiles.h"
#include "conversion/PdfOutputCheck.h"
#include "conversion/PdfPublisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr char kTemporaryOutputPrefix[] = "quillpress-";

// The process's temporary folder and a fresh upper-case UUID: a name that no
// other run shares. It names this process too, so that what a killed run
// left there is removed by a later one (RemoveLeftoversOfKilledRuns).
fs::path TemporaryOutputPath() {
  return BMTUtil::TemporaryFolder() /
         (kTemporaryOutputPrefix + OwnerTag() + "-" + BMTUtil::NewUuidString());
}

// What killed runs left in the temporary folder and in folder: done while the
// converter starts, rather than before, as a large folder takes a while to
// read. Ours are named for this live process, and never taken.
void RemoveLeftoversOfKilledRuns(const fs::path& folder) {
  RemoveLeftoversOnce(BMTUtil::TemporaryFolder(), kTemporaryOutputPrefix, "");
  RemoveStagingLeftoversOnce(folder);
}

// Why input cannot be converted before the converter is even started: it is
// not a regular file (a pipe or a device would block or never end). Empty
// when it may be tried; a missing file is the converter's to report.
std::string WhyNotARegularFile(const fs::path& input) {
  struct stat st {};
  if (stat(input.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a named pipe"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "something else";
  return input.string() + " is " + kind + ", not a regular file";
}

// The converter's warnings: lines of its standard error that start with
// "pstopdf: warning: ", one sentence each.
void AddConverterWarnings(const std::string& errorOutput, std::vector<std::string>& warnings) {
  constexpr std::string_view kMarker = "pstopdf: warning: ";
  std::size_t start = 0;
  while (start < errorOutput.size()) {
    const std::size_t end = std::min(errorOutput.find('\n', start), errorOutput.size());
    const std::string_view line(errorOutput.data() + start, end - start);
    if (line.substr(0, kMarker.size()) == kMarker) {
      std::string sentence(line.substr(kMarker.size()));
      if (std::find(warnings.begin(), warnings.end(), sentence) == warnings.end()) {
        warnings.push_back(std::move(sentence));
      }
    }
    start = end + 1;
  }
}

// The last line a converter that does not report said, as it said it.
std::string LastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  const auto lastBreak = text.rfind('\n');
  if (lastBreak != std::string::npos) text.erase(0, lastBreak + 1);
  return text;
}

// The converter's arguments: the preset is named only when it is not the
// default, so that a converter of the plain contract still serves those.
std::vector<std::string> ConverterArguments(const fs::path& input, const fs::path& output,
                                            PdfPreset preset) {
  std::vector<std::string> args = {input.native(), "-o", output.native()};
  if (preset != PdfPreset::Faithful) {
    args.insert(args.end(), {"--preset", std::string(PdfPresetName(preset))});
  }
  return args;
}

void RemoveConverterOutput(StagedConversion& pending) {
  if (pending.converterOutput.empty()) return;
  std::error_code ec;
  fs::remove(pending.converterOutput, ec);
  pending.converterOutput.clear();
}

}  // namespace

StagedConversion ConvertToStagedPdf(const fs::path& input, const fs::path& folder,
                                    const ConversionOptions& options) {
  StagedConversion pending;
  ConversionResult& result = pending.result;
  if (std::string why = WhyNotARegularFile(input); !why.empty()) {
    result.failure = {ConversionFailureKind::NotRegularFile, input, std::move(why), {}, {}};
    return pending;
  }
  const fs::path program = ConverterProgramPath();
  const fs::path output = TemporaryOutputPath();
  const bool compress = PdfPresetCompressesStructure(options.preset, options.compress);
  // Our converter writes the PDF through the PDF library and checks it inside
  // its confinement, and reports what it found on a descriptor of its own,
  // which no job can reach; its output is then taken as it is. A converter
  // that reports nothing has its output loaded, cleaned and checked here.
  ProcessSetup setup;
  std::string report;
  setup.report = &report;
  setup.environment = {std::string(kReportVariable) + "=" + std::to_string(kReportDescriptor)};
  if (compress) setup.environment.push_back(std::string(kCompressVariable) + "=1");
  std::optional<StagedPdf> staged;
  bool checked = false;
  auto stage = [&] {
    const std::optional<PdfOutputFindings> findings = ParseFindingsReport(report);
    checked = findings.has_value();
    staged = checked ? StageCheckedPdf(output, folder, *findings)
                     : StagePdf(output, folder, compress, options.preset);
  };
  const ProcessOutcome run = RunProcess(
      program, ConverterArguments(input, output, options.preset), options.stop,
      [&] { RemoveLeftoversOfKilledRuns(folder); },
      // Done with its output but still ending: the PDF is made meanwhile, and
      // kept only if the converter then reports success.
      [&] {
        std::error_code ec;
        if (options.stop.stop_requested() || !fs::is_regular_file(output, ec)) return;
        stage();
      },
      setup);

  using Kind = ConversionFailureKind;
  auto failWith = [&](Kind kind, std::string detail, std::optional<std::uint64_t> limit = {}) {
    if (staged) DiscardStagedPdf(*staged);
    std::error_code ec;
    fs::remove(output, ec);  // a converter may leave a partial file even when it fails
    result.failure = {kind, input, std::move(detail), limit, {}};
    return pending;
  };
  if (!run.started) return failWith(Kind::ConverterMissing, program.native());
  if (run.stopped) return failWith(Kind::Cancelled, {});
  if (run.exitStatus != 0) {
    // Our converter says why on its report; one that does not is judged by
    // what its process did, and what it said last is only shown.
    if (const std::optional<ConversionFailure> said = ParseFailureReport(report)) {
      failWith(said->kind, said->detail, said->limit);
      LocateInterpreterError(result.failure);
      return pending;
    }
    return failWith(run.exitStatus < 0 ? Kind::Crashed : Kind::ConverterFailed,
                    LastLine(run.errorTail));
  }
  std::error_code ec;
  if (!fs::is_regular_file(output, ec)) return failWith(Kind::NoOutput, LastLine(run.errorTail));
  // Only the output as the converter left it, with what it said at its end,
  // counts.
  if (staged && (!IsStagedFrom(*staged, output) || checked != ParseFindingsReport(report).has_value())) {
    DiscardStagedPdf(*staged);
    staged.reset();
  }
  if (!staged) stage();
  if (!staged->ok) {
    ConversionFailure failure = staged->failure;
    failWith(failure.kind, std::move(failure.detail));
    // A destination problem is about the destination; the rest, the source.
    if (failure.kind == Kind::DestinationProblem) result.failure.file = failure.file;
    return pending;
  }
  // The file as it will be published keeps its preset's promises, or for a
  // standard is not published at all.
  const std::string shortfall = DescribeFindings(staged->findings, options.preset);
  if (!shortfall.empty() && PdfPresetIsStandard(options.preset)) {
    return failWith(Kind::StandardNotMet, shortfall);
  }
  if (!shortfall.empty()) result.warnings.push_back(shortfall);
  pending.converterOutput = output;
  // What a job printed could pose as the converter's warnings: only a
  // converter that does not report is taken at its word there.
  if (!checked) AddConverterWarnings(run.errorTail, result.warnings);
  for (const std::string& removed : staged->findings.removed) {
    if (std::find(result.warnings.begin(), result.warnings.end(), removed) == result.warnings.end()) {
      result.warnings.push_back(removed);
    }
  }
  result.ok = true;
  pending.staged = std::move(*staged);
  return pending;
}

ConversionResult PublishStagedPdf(StagedConversion&& pending, const fs::path& destination,
                                  const fs::path& uniqueBase) {
  ConversionResult result = std::move(pending.result);
  if (!result.ok) return result;
  const PublishResult published = PutStagedPdfInPlace(pending.staged, destination, uniqueBase);
  RemoveConverterOutput(pending);
  result.ok = published.ok;
  result.writtenPath = published.writtenPath;
  result.failure = published.failure;
  return result;
}

void DiscardStagedConversion(StagedConversion&& pending) {
  if (pending.result.ok) DiscardStagedPdf(pending.staged);
  RemoveConverterOutput(pending);
  pending.result.ok = false;
}

fs::path ConverterProgramPath() {
  if (const char* env = std::getenv("QUILLPRESS_PSTOPDF"); env && env[0] == '/') {
    return fs::path(env);
  }
  const fs::path found = BMTUtil::FindInstalledFile(BMTUtil::InstalledFile::Program, "pstopdf");
  // Not there: the run fails, naming where it should be.
  return found.empty() ? BMTUtil::ConfiguredInstallPath(BMTUtil::InstalledFile::Program, "pstopdf")
                       : found;
}

ConversionResult RunPostScriptConverter(const fs::path& input, const fs::path& destination,
                                        const ConversionOptions& options) {
  return PublishStagedPdf(ConvertToStagedPdf(input, destination.parent_path(), options),
                          destination, BMTUtil::BaseNameWithoutExtension(destination));
}

ConversionResult PublishIntoFolder(StagedConversion&& pending, const fs::path& input,
                                   const fs::path& folder) {
  // The name is taken when the PDF is ready, so that it is the first one
  // free at that moment, as if nothing had been converted meanwhile.
  const fs::path destination = BMTUtil::GetUniqueFileURLForSourceURL(folder, input, "pdf");
  return PublishStagedPdf(std::move(pending), destination,
                          BMTUtil::BaseNameWithoutExtension(input));
}

ConversionResult ConvertIntoFolder(const fs::path& input, const fs::path& folder,
                                   const ConversionOptions& options) {
  return PublishIntoFolder(ConvertToStagedPdf(input, folder, options), input, folder);
}
