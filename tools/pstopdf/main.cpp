// pstopdf INPUT -o OUTPUT: converts one PostScript or EPS file into a PDF with
// Ghostscript's pdfwrite device. Exit status 0 only when OUTPUT holds the
// complete PDF; 1 when the conversion failed; 2 on a usage error or an input
// that cannot be read. Standard error is closed as soon as OUTPUT is
// complete, so that a caller can start on it while this process ends; the
// exit status still has the last word.
//
// This file only translates the command line: the conversion is a
// ConversionJob.

#include "BMTUtil.h"
#include "ConversionJob.h"
#include "StopSignals.h"
#include "ReadyInterpreter.h"
#include "conversion/ConverterInterface.h"
#include "conversion/PdfPreset.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// The running conversion, for the stop handler.
ConversionJob* g_job = nullptr;

// Asked to stop, or our caller has ended: the job goes with us, and the
// watchdog removes the private folder.
void OnStop(int) {
  if (g_job) g_job->Abandon();
  const char message[] = "pstopdf: stopped\n";
  const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
  (void)ignored;
  _exit(kExitFailed);
}

// A standard file our caller left closed would be taken by the next file we
// open, and messages meant for standard error would be written into it.
void KeepStandardFilesOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);  // takes fd
  }
}

// With a message to standard error; asked for (--help), to standard output.
void Usage(const char* message) {
  if (message) std::fprintf(stderr, "pstopdf: %s\n", message);
  std::fprintf(message ? stderr : stdout,
      "usage: pstopdf INPUT -o OUTPUT [--preset NAME] [--cpu-seconds N] [--memory-mib N]\n"
      "               [--max-output-mib N] [--max-files N] [--wall-seconds N]\n"
      "       pstopdf -h | --help | --version\n"
      "Converts a PostScript or EPS file into a PDF. EPS files get a page the size\n"
      "of their bounding box; documents that set no page size get the user's paper.\n"
      "OUTPUT appears only when the PDF is complete. --preset is one of faithful (the\n"
      "default), smallest, print, pdfx-3 or pdfa-2b.\n"
      "\n"
      "Every file is treated as if it came from a stranger. Limits, each settable by\n"
      "its option or by an environment variable:\n"
      "  --cpu-seconds N     processor time (default %lu; QUILLPRESS_PSTOPDF_CPU_SECONDS)\n"
      "  --memory-mib N      memory (default %lu; QUILLPRESS_PSTOPDF_MEMORY_MIB)\n"
      "  --max-output-mib N  everything one job writes, its temporary files and the\n"
      "                      PDF together (default %lu; QUILLPRESS_PSTOPDF_MAX_OUTPUT_MIB)\n"
      "  --max-files N       files one job may have at once (default %lu;\n"
      "                      QUILLPRESS_PSTOPDF_MAX_FILES)\n"
      "  --wall-seconds N    the whole conversion by the clock (default %lu;\n"
      "                      QUILLPRESS_PSTOPDF_WALL_SECONDS)\n"
      "A job that goes over a limit is stopped, and pstopdf says which limit it was.\n"
      "\n"
      "The job runs in Ghostscript's SAFER mode inside a process that may read only\n"
      "INPUT and the system's program, font and Ghostscript folders, and may write\n"
      "only in a private temporary folder that is removed afterwards. It cannot\n"
      "change INPUT, start programs, open network connections or watch other\n"
      "processes. Where the system's kernel lacks these barriers (Landlock, seccomp),\n"
      "pstopdf says so once and converts with what remains. It ends when its caller\n"
      "ends. Only regular files are read: a pipe or a device is refused at once.\n"
      "JavaScript, launch actions and embedded files are removed from the PDF, and\n"
      "pstopdf says what it removed (\"pstopdf: warning: ...\"). The PDF is written\n"
      "through the PDF library in a confined process of its own;\n"
      "QUILLPRESS_PSTOPDF_COMPRESS=1 writes it losslessly smaller.\n"
      "\n"
      "To start faster, a started interpreter is kept ready in the session's runtime\n"
      "folder (XDG_RUNTIME_DIR, else /tmp/quillpress-runtime-UID), one for each set\n"
      "of settings, where the kernel offers Landlock. Every file gets a fresh copy\n"
      "of it that has seen no other file and is confined as above before it reads\n"
      "the file. It ends after 300 seconds without work\n"
      "(QUILLPRESS_PSTOPDF_READY_SECONDS); QUILLPRESS_PSTOPDF_READY=0 starts the\n"
      "interpreter afresh for every file instead.\n",
      kConverterCpuSeconds, kConverterMemoryMiB, kConverterMaxOutputMiB, kConverterMaxFiles,
      kConverterWallSeconds);
}

std::optional<unsigned long> ParseCount(const char* text) {
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0 || text[0] == '-') return std::nullopt;
  return value;
}

unsigned long LimitFromEnvironment(const char* name, unsigned long fallback) {
  const auto value = ParseCount(std::getenv(name));
  return value ? *value : fallback;
}

std::optional<JobSettings> Parse(int argc, char** argv) {
  JobSettings args;
  args.cpuSeconds = LimitFromEnvironment("QUILLPRESS_PSTOPDF_CPU_SECONDS", kConverterCpuSeconds);
  args.memoryMiB = LimitFromEnvironment("QUILLPRESS_PSTOPDF_MEMORY_MIB", kConverterMemoryMiB);
  args.maxOutputMiB =
      LimitFromEnvironment("QUILLPRESS_PSTOPDF_MAX_OUTPUT_MIB", kConverterMaxOutputMiB);
  args.maxFiles = LimitFromEnvironment("QUILLPRESS_PSTOPDF_MAX_FILES", kConverterMaxFiles);
  args.wallSeconds = LimitFromEnvironment("QUILLPRESS_PSTOPDF_WALL_SECONDS", kConverterWallSeconds);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "-o") {
      const char* v = next();
      if (!v || !*v) return Usage("-o needs an output path"), std::nullopt;
      args.output = v;
    } else if (arg == "--cpu-seconds" || arg == "--memory-mib" || arg == "--max-output-mib" ||
               arg == "--max-files" || arg == "--wall-seconds") {
      const auto v = ParseCount(next());
      if (!v) return Usage((arg + " needs a positive whole number").c_str()), std::nullopt;
      (arg == "--cpu-seconds"      ? args.cpuSeconds
       : arg == "--memory-mib"     ? args.memoryMiB
       : arg == "--max-output-mib" ? args.maxOutputMiB
       : arg == "--max-files"      ? args.maxFiles
                                   : args.wallSeconds) = *v;
    } else if (arg == "--preset") {
      const char* v = next();
      const auto preset = PdfPresetFromName(v ? v : "");
      if (!preset) {
        return Usage("--preset needs one of faithful, smallest, print, pdfx-3, pdfa-2b"),
               std::nullopt;
      }
      args.preset = *preset;
    } else if (arg == "-h" || arg == "--help") {
      Usage(nullptr);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("pstopdf (Quillpress) %s\n", QUILLPRESS_VERSION);
      std::exit(0);
    } else if (args.input.empty()) {
      args.input = arg;
    } else {
      return Usage(("unexpected argument: " + BMTUtil::EscapedForDisplay(arg, 1000)).c_str()), std::nullopt;
    }
  }
  if (args.input.empty()) return Usage("no input file given"), std::nullopt;
  if (args.output.empty()) return Usage("no output file given (-o OUTPUT)"), std::nullopt;
  return args;
}

// The descriptor our caller reads what we found on, when it gave one. Kept
// from every process we start, and from the programs those start.
int ReportDescriptor() {
  const char* text = std::getenv(kReportVariable);
  const auto fd = ParseCount(text);
  unsetenv(kReportVariable);
  if (!fd || *fd <= STDERR_FILENO || *fd > INT_MAX) return -1;
  const int flags = fcntl(static_cast<int>(*fd), F_GETFD);
  if (flags < 0) return -1;
  fcntl(static_cast<int>(*fd), F_SETFD, flags | FD_CLOEXEC);
  return static_cast<int>(*fd);
}

// Whether a variable of ours is set to "1"; taken from the environment, so
// that no program we start sees it.
bool EnvironmentSwitch(const char* name) {
  const char* text = std::getenv(name);
  const bool on = text && std::strcmp(text, "1") == 0;
  unsetenv(name);
  return on;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--ready-server") == 0) RunReadyServer(argc, argv);
  const pid_t caller = getppid();
  const int reportFd = ReportDescriptor();
  KeepStandardFilesOpen();
  const bool compress = EnvironmentSwitch(kCompressVariable);
  auto settings = Parse(argc, argv);
  if (!settings) return kExitUsage;
  settings->compress = compress;
  settings->reportFd = reportFd;

  ConversionJob job(std::move(*settings));
  g_job = &job;
  if (!StopSignals::Install(OnStop)) return kExitFailed;
  // A caller that is killed takes us, and so the job, with it.
  if (!EndWithParent(caller, SIGTERM)) return kExitFailed;
  return job.Run();
}
