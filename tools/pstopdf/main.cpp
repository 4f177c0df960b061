// pstopdf INPUT -o OUTPUT: converts one PostScript or EPS file into a PDF with
// Ghostscript's pdfwrite device. Exit status 0 only when OUTPUT holds the
// complete PDF; 1 when the conversion failed; 2 on a usage error or an input
// that cannot be read. Standard error is closed as soon as OUTPUT is
// complete, so that a caller can start on it while this process ends; the
// exit status still has the last word.
//
// Every job is treated as hostile. The interpreter runs in a process of its
// own, under CPU, memory and output limits, confined to reading its input and
// the system's resources and to writing in a private temporary folder, which
// a watchdog removes however the run ends. This process only watches it and
// places the finished PDF.

#include "BMTUtil.h"
#include "DocumentComments.h"
#include "Interpreter.h"
#include "PresetArguments.h"
#include "PdfCheck.h"
#include "PrivateFolder.h"
#include "ReadyInterpreter.h"
#include "Sandbox.h"
#include "UserPaper.h"
#include "conversion/ConverterInterface.h"
#include "conversion/LeftoverFiles.h"
#include "conversion/PdfOutputCheck.h"
#include "conversion/PdfPreset.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;


// How often the private folder's size is looked at while the job runs.
constexpr int kOutputCheckMilliseconds = 20;

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The interpreter's process (by its pidfd when a ready interpreter's copy,
// which is not our child), and a staging file of ours in OUTPUT's folder,
// for the stop handler.
volatile sig_atomic_t g_job = 0;
volatile sig_atomic_t g_jobPidfd = -1;
volatile sig_atomic_t g_checker = 0;
volatile sig_atomic_t g_checkerPidfd = -1;
char g_staging[PATH_MAX] = {};

// Asked to stop, or our caller has ended: the job goes with us, and the
// watchdog removes the private folder.
void OnStop(int) {
  if (g_jobPidfd >= 0) {
    syscall(SYS_pidfd_send_signal, static_cast<int>(g_jobPidfd), SIGKILL, nullptr, 0);
  } else if (g_job > 0) {
    kill(static_cast<pid_t>(g_job), SIGKILL);
  }
  if (g_checkerPidfd >= 0) {
    syscall(SYS_pidfd_send_signal, static_cast<int>(g_checkerPidfd), SIGKILL, nullptr, 0);
  } else if (g_checker > 0) {
    kill(static_cast<pid_t>(g_checker), SIGKILL);
  }
  if (g_staging[0] != '\0') unlink(g_staging);
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
      "               [--max-output-mib N]\n"
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
      kConverterCpuSeconds, kConverterMemoryMiB, kConverterMaxOutputMiB);
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

struct Arguments {
  fs::path input;
  fs::path output;
  unsigned long cpuSeconds = 0;
  unsigned long memoryMiB = 0;
  unsigned long maxOutputMiB = 0;
  PdfPreset preset = PdfPreset::Faithful;
};

std::optional<Arguments> Parse(int argc, char** argv) {
  Arguments args;
  args.cpuSeconds = LimitFromEnvironment("QUILLPRESS_PSTOPDF_CPU_SECONDS", kConverterCpuSeconds);
  args.memoryMiB = LimitFromEnvironment("QUILLPRESS_PSTOPDF_MEMORY_MIB", kConverterMemoryMiB);
  args.maxOutputMiB =
      LimitFromEnvironment("QUILLPRESS_PSTOPDF_MAX_OUTPUT_MIB", kConverterMaxOutputMiB);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "-o") {
      const char* v = next();
      if (!v || !*v) return Usage("-o needs an output path"), std::nullopt;
      args.output = v;
    } else if (arg == "--cpu-seconds" || arg == "--memory-mib" || arg == "--max-output-mib") {
      const auto v = ParseCount(next());
      if (!v) return Usage((arg + " needs a positive whole number").c_str()), std::nullopt;
      (arg == "--cpu-seconds"  ? args.cpuSeconds
       : arg == "--memory-mib" ? args.memoryMiB
                               : args.maxOutputMiB) = *v;
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
      return Usage(("unexpected argument: " + arg).c_str()), std::nullopt;
    }
  }
  if (args.input.empty()) return Usage("no input file given"), std::nullopt;
  if (args.output.empty()) return Usage("no output file given (-o OUTPUT)"), std::nullopt;
  return args;
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// The input, opened for reading only; or -1 once the reason has been said.
// Opened without waiting, so that a pipe or a device whose other end nobody
// holds cannot block us, and refused unless it is a regular file.
int OpenInput(const fs::path& input) {
  const int fd = open(input.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    // A socket cannot be opened at all; say what it is rather than why not.
    if (stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "pstopdf: cannot read %s: it is %s, not a regular file\n",
                   input.c_str(), KindOf(st.st_mode));
    } else {
      std::fprintf(stderr, "pstopdf: cannot read %s: %s\n", input.c_str(), std::strerror(error));
    }
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "pstopdf: cannot read %s: it is %s, not a regular file\n",
                 input.c_str(), KindOf(st.st_mode));
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// EPS by its header: the DSC "EPSF" on the first line, or the binary header
// of EPS files with a preview.
std::optional<bool> IsEncapsulated(int fd) {
  char head[256] = {};
  const ssize_t n = pread(fd, head, sizeof head - 1, 0);
  if (n < 0) return std::nullopt;
  if (n >= 4 && static_cast<unsigned char>(head[0]) == 0xC5 &&
      static_cast<unsigned char>(head[1]) == 0xD0 && static_cast<unsigned char>(head[2]) == 0xD3 &&
      static_cast<unsigned char>(head[3]) == 0xC6) {
    return true;
  }
  const std::string first(head, std::strcspn(head, "\r\n"));
  return first.rfind("%!", 0) == 0 && first.find("EPSF") != std::string::npos;
}

fs::path ReadFolderName(int fd) {
  std::string name;
  char buffer[512];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      name.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return name;
}

// The interpreter's process: confined, then the job. Never returns.
[[noreturn]] void RunJob(pid_t supervisor, int inputFd, int folderFd, const JobLimits& limits,
                         const PresetContext& preset) {
  for (const int sig : kStopSignals) signal(sig, SIG_DFL);
  if (!EndWithParent(supervisor, SIGKILL)) _exit(kExitFailed);
  // Nothing of ours reaches the job but its input and standard files.
  const unsigned low = static_cast<unsigned>(std::min(inputFd, folderFd));
  const unsigned high = static_cast<unsigned>(std::max(inputFd, folderFd));
  close_range(3, low - 1, 0);
  close_range(low + 1, high - 1, 0);
  close_range(high + 1, ~0U, 0);
  // Loaded while the watchdog makes the folder.
  const auto interpreter = LoadInterpreter();  // says why when it fails
  const fs::path work = ReadFolderName(folderFd);
  if (!interpreter || work.empty()) _exit(kExitFailed);

  ApplyJobLimits(limits);
  // The interpreter's temporary files go into the private folder.
  setenv("TMPDIR", work.c_str(), 1);
  setenv("TEMP", work.c_str(), 1);
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"}) {
    unsetenv(name);
  }
  if (chdir(work.c_str()) != 0) _exit(kExitFailed);
  std::string why;
  const InterpreterArguments presetArguments = PresetArguments(preset, work, why);
  if (!why.empty()) {
    std::fprintf(stderr, "pstopdf: %s\n", why.c_str());
    _exit(kExitFailed);
  }
  tzset();  // the time zone is read now: its file is out of reach from here on

  const SandboxReport sandbox = EnterSandbox(work, inputFd);
  if (!sandbox.missing.empty()) {
    std::fprintf(stderr, "pstopdf: note: %s; converting with the other safeguards only\n",
                 sandbox.missing.c_str());
  }
  // The input by its descriptor: the job learns no path of it, and SAFER
  // allows reading it and nothing more.
  const std::string input = "/proc/self/fd/" + std::to_string(inputFd);
  const bool ok =
      RunInterpreter(*interpreter, input, work / "out.pdf", preset.encapsulated,
                     presetArguments.beforeDocument, presetArguments.afterDocument);
  _exit(ok ? 0 : kExitFailed);
}


// What the job has written in all: everything it wrote (files it has since
// removed too), or what its folder holds, whichever is more.
std::uint64_t JobOutputBytes(pid_t job, const fs::path& work) {
  return std::max(BytesWrittenBy(job), BytesBeneath(work));
}

// How the job's process ended, as waitpid reports it, once it has; stops it
// when what it wrote goes over maxBytes.
struct JobEnd {
  int status = 0;
  bool overOutputLimit = false;
};

// ready: the job runs in a ready interpreter's copy, which its server reaps
// and reports on; otherwise job is our child.
JobEnd SuperviseJob(pid_t job, const fs::path& work, std::uint64_t maxBytes,
                    ReadyJob* ready = nullptr) {
  JobEnd end;
  const int pidfd = ready ? ready->pidfd : static_cast<int>(syscall(SYS_pidfd_open, job, 0));
  auto ended = [&] {
    if (pidfd >= 0) {
      pollfd pfd{pidfd, POLLIN, 0};
      return poll(&pfd, 1, kOutputCheckMilliseconds) > 0;
    }
    poll(nullptr, 0, kOutputCheckMilliseconds);
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(job), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == job;
  };
  auto stop = [&] {
    if (ready) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    else kill(job, SIGKILL);
  };
  while (!ended()) {
    if (JobOutputBytes(job, work) > maxBytes) {
      stop();
      end.overOutputLimit = true;
      break;
    }
  }
  if (ready) {
    while (!ended()) {
    }
    g_jobPidfd = -1;
    g_job = 0;
    // Its server read what it wrote before reaping it.
    std::uint64_t written = 0;
    end.status = ReadyJobStatus(*ready, written);
    if (std::max(written, BytesBeneath(work)) > maxBytes) end.overOutputLimit = true;
    return end;
  }
  if (pidfd >= 0) close(pidfd);
  // Ended, but not yet reaped: the stop handler cannot signal a reused pid.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(job), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  // What the job wrote in its last moments counts too.
  if (JobOutputBytes(job, work) > maxBytes) end.overOutputLimit = true;
  g_job = 0;
  while (waitpid(job, &end.status, 0) < 0 && errno == EINTR) {
  }
  return end;
}

// The job as a ready interpreter takes it: the preset's switches start the
// interpreter, its setup file and the document's date go with the job.
// Empty when the job is to be run here.
std::optional<ReadyJobRequest> ReadyRequestFor(const PresetContext& preset, const fs::path& work,
                                               int inputFd, const JobLimits& limits) {
  std::string why;
  const InterpreterArguments arguments = PresetArguments(preset, work, why);
  if (!why.empty()) return std::nullopt;  // the job's own run says why
  // Files to run after the document (a title set again): the job's own run.
  if (!arguments.afterDocument.empty()) return std::nullopt;
  ReadyJobRequest request;
  std::vector<std::string> extraSwitches;
  for (const std::string& argument : arguments.beforeDocument) {
    if (argument.rfind("-sQuillpressCreationDate=", 0) == 0) continue;  // the job's own
    (argument.rfind("-", 0) == 0 ? extraSwitches : request.files).push_back(argument);
  }
  request.switches = InterpreterSwitches(ReadyOutputFile(), preset.encapsulated, extraSwitches);
  request.inputFd = inputFd;
  request.work = work;
  request.creationDate = preset.comments.creationDate;
  request.limits = limits;
  return request;
}

// Says why the job failed; answers whether it succeeded.
bool ReportJobEnd(const JobEnd& end, const Arguments& args) {
  if (end.overOutputLimit || (WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGXFSZ)) {
    std::fprintf(stderr, "pstopdf: stopped: the job wrote more than %lu MiB, its output limit\n",
                 args.maxOutputMiB);
    return false;
  }
  if (WIFSIGNALED(end.status)) {
    const int sig = WTERMSIG(end.status);
    if (sig == SIGXCPU) {
      std::fprintf(stderr, "pstopdf: stopped: CPU time limit reached (%lu seconds)\n",
                   args.cpuSeconds);
    } else if (sig == SIGSYS) {
      std::fputs("pstopdf: stopped: the job tried what its barrier forbids\n", stderr);
    } else {
      std::fprintf(stderr, "pstopdf: the interpreter crashed (%s)\n", strsignal(sig));
    }
    return false;
  }
  if (!WIFEXITED(end.status) || WEXITSTATUS(end.status) != 0) {
    std::fputs("pstopdf: the PostScript could not be converted\n", stderr);
    return false;
  }
  return true;
}

bool LooksLikeCompletePdf(const fs::path& file) {
  FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return false;
  char head[5] = {};
  const bool header = std::fread(head, 1, 5, f) == 5 && std::memcmp(head, "%PDF-", 5) == 0;
  bool trailer = false;
  if (header && std::fseek(f, -64, SEEK_END) == 0) {
    char tail[65] = {};
    const size_t n = std::fread(tail, 1, 64, f);
    trailer = std::string(tail, n).find("%%EOF") != std::string::npos;
  }
  std::fclose(f);
  return header && trailer;
}

bool CopyInto(int from, int to) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return false;
      done += w;
    }
  }
}

// Moves the finished PDF to OUTPUT so that OUTPUT never holds part of one.
// Across file systems it is copied into a hidden staging file beside OUTPUT
// first, named for this process so that a later run can remove it should we
// be killed meanwhile.
bool PlaceOutput(const fs::path& produced, const fs::path& output) {
  if (std::rename(produced.c_str(), output.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  const fs::path folder = output.parent_path();
  RemoveLeftovers(folder, ".pstopdf-", ".part");
  std::string staging = (folder / (".pstopdf-" + OwnerTag() + "-XXXXXX.part")).string();
  if (staging.size() >= sizeof g_staging) {
    errno = ENAMETOOLONG;
    return false;
  }
  // Named for the stop handler before it exists.
  std::memcpy(g_staging, staging.c_str(), staging.size() + 1);
  const int out = mkostemps(g_staging, 5, O_CLOEXEC);
  if (out < 0) {
    g_staging[0] = '\0';
    return false;
  }
  staging = g_staging;
  const int in = open(produced.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0 && CopyInto(in, out) && fsync(out) == 0;
  const int error = errno;
  if (in >= 0) close(in);
  ok = close(out) == 0 && ok;
  ok = ok && std::rename(staging.c_str(), output.c_str()) == 0;
  if (!ok) {
    unlink(staging.c_str());
    errno = error != 0 ? error : EIO;
  }
  g_staging[0] = '\0';
  return ok;
}

// Writes the job's PDF through the PDF library, without its active content,
// and finds what it shows about its preset's promises, in a confined process
// of its own, as the PDF is the job's work: a copy of the ready interpreter
// that ran the job (which has the library loaded already), else a process of
// ours. The process is started while the job runs and waits, confined, until
// the PDF is there, so that none of its start is on the way to the result.
class PdfChecker {
 public:
  PdfChecker(const fs::path& work, const JobLimits& limits, const CheckRequest& request,
             const ReadyJobRequest* ready)
      : m_work(work) {
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) return;
    if (ready) {
      ReadyJobRequest asked = *ready;
      asked.inputFd = go[0];
      asked.files.clear();
      asked.check = request;
      m_ready = StartReadyJob(asked);
      if (m_ready) {
        close(go[0]);
        m_go = go[1];
        g_checkerPidfd = m_ready->pidfd;
        return;
      }
    }
    const WritePdfFn write = LoadPdfWriter();
    const pid_t self = getpid();
    const pid_t pid = write ? fork() : -1;
    if (pid < 0) {
      close(go[0]);
      close(go[1]);
      return;
    }
    if (pid == 0) {
      for (const int sig : kStopSignals) signal(sig, SIG_DFL);
      if (!EndWithParent(self, SIGKILL)) _exit(kExitFailed);
      close_range(3, static_cast<unsigned>(go[0]) - 1, 0);
      close_range(static_cast<unsigned>(go[0]) + 1, ~0U, 0);
      ApplyJobLimits(limits);
      EnterSandbox(m_work, -1);  // what it lacks was said for the job
      RunCheck(write, go[0], m_work, request);
    }
    close(go[0]);
    m_go = go[1];
    m_pid = pid;
    g_checker = pid;
  }
  PdfChecker(const PdfChecker&) = delete;
  PdfChecker& operator=(const PdfChecker&) = delete;
  ~PdfChecker() {
    if (m_pid > 0 || m_ready) Reap(false);
  }

  // Says on standard error why it failed. Answers what was found in the PDF
  // now at CheckedPdf(work), or nothing.
  std::optional<PdfOutputFindings> Run() {
    if (m_pid <= 0 && !m_ready) {
      std::fprintf(stderr, "pstopdf: cannot check the PDF: its writer module (%s) is not installed\n",
                   BMTUtil::kPdfWriterModule);
      return std::nullopt;
    }
    const int status = Reap(true);
    if (WIFSIGNALED(status)) {
      std::fprintf(stderr, "pstopdf: the check of the PDF ended early (%s)\n",
                   strsignal(WTERMSIG(status)));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    std::optional<PdfOutputFindings> findings = ReadFindings(m_work);
    if (!findings) std::fputs("pstopdf: the check of the PDF said nothing\n", stderr);
    return findings;
  }

 private:
  // Tells it to go on (or to end unused) and waits for its end status.
  int Reap(bool go) {
    if (go) {
      const char byte = 1;
      while (write(m_go, &byte, 1) < 0 && errno == EINTR) {
      }
    }
    close(m_go);
    int status = 0;
    if (m_ready) {
      pollfd pfd{m_ready->pidfd, POLLIN, 0};
      while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
      }
      g_checkerPidfd = -1;
      std::uint64_t written = 0;
      status = ReadyJobStatus(*m_ready, written);
      m_ready.reset();
      return status;
    }
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    g_checker = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return status;
  }

  fs::path m_work;
  pid_t m_pid = -1;
  std::optional<ReadyJob> m_ready;
  int m_go = -1;
};

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
  const auto args = Parse(argc, argv);
  if (!args) return kExitUsage;

  struct sigaction action = {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  for (const int sig : kStopSignals) sigaction(sig, &action, nullptr);
  // A caller that is killed takes us, and so the job, with it.
  if (!EndWithParent(caller, SIGTERM)) return kExitFailed;

  const int inputFd = OpenInput(args->input);
  if (inputFd < 0) return kExitUsage;
  const auto eps = IsEncapsulated(inputFd);
  if (!eps) {
    std::fprintf(stderr, "pstopdf: cannot read %s: %s\n", args->input.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  std::error_code ec;
  const fs::path output = fs::absolute(args->output, ec);
  // Read here: the job's process can reach neither the user's locale nor the
  // system's settings.
  const PaperSize paper = UserPaperSize();
  const PresetContext preset{args->preset, *eps, paper.width, paper.height,
                             ReadDocumentComments(inputFd)};

  const int folderReply = StartWatchdog(BMTUtil::TemporaryFolder());
  int folderPipe[2];
  if (folderReply < 0 || pipe2(folderPipe, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  const JobLimits limits{args->cpuSeconds, args->memoryMiB,
                         static_cast<unsigned long long>(args->maxOutputMiB) << 20};
  // A ready interpreter needs the folder first; a job of our own starts
  // while the watchdog makes it.
  fs::path work;
  std::optional<ReadyJobRequest> readyRequest;
  std::optional<ReadyJob> ready;
  if (ReadyInterpretersWanted()) {
    work = AwaitPrivateFolder(folderReply);
    if (work.empty()) {
      std::fprintf(stderr, "pstopdf: cannot make a temporary folder: %s\n", std::strerror(errno));
      return kExitFailed;
    }
    readyRequest = ReadyRequestFor(preset, work, inputFd, limits);
    if (readyRequest) ready = StartReadyJob(*readyRequest);
  }
  if (!ready && ReadyInterpreterRequired()) {
    std::fputs("pstopdf: no ready interpreter could take the job\n", stderr);
    return kExitFailed;
  }
  pid_t job = -1;
  // The job in a process of our own, told its folder once there is one.
  auto startOwnJob = [&](int pipeRead, int pipeWrite) {
    const pid_t self = getpid();
    job = fork();
    if (job < 0) {
      std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
      return false;
    }
    if (job == 0) {
      close(pipeWrite);
      RunJob(self, inputFd, pipeRead, limits, preset);
    }
    g_job = job;
    close(pipeRead);

    if (work.empty()) work = AwaitPrivateFolder(folderReply);
    if (work.empty()) {
      const int error = errno;
      kill(job, SIGKILL);
      std::fprintf(stderr, "pstopdf: cannot make a temporary folder: %s\n", std::strerror(error));
      return false;
    }
    for (std::size_t done = 0; done < work.native().size();) {
      const ssize_t n = write(pipeWrite, work.c_str() + done, work.native().size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(pipeWrite);
    return true;
  };
  if (ready) {
    job = ready->pid;
    g_jobPidfd = ready->pidfd;
    g_job = job;
    close(folderPipe[0]);
    close(folderPipe[1]);
  } else if (!startOwnJob(folderPipe[0], folderPipe[1])) {
    return kExitFailed;
  }
  const CheckRequest checkRequest{PdfPresetCompressesStructure(args->preset, compress),
                                  PdfStandardCode(args->preset)};
  // Loaded while the job runs.
  std::optional<PdfChecker> checker(std::in_place, work, limits, checkRequest,
                                    ready ? &*readyRequest : nullptr);

  JobEnd end = SuperviseJob(job, work, limits.maxOutputBytes, ready ? &*ready : nullptr);
  // The ready interpreter itself failed (its server gone, its files lost),
  // not the document: the file gets a fresh start of its own.
  if (ready && !ReadyInterpreterRequired() && !end.overOutputLimit &&
      (ready->serverLost || (WIFEXITED(end.status) && WEXITSTATUS(end.status) == kReadyCopyUnfit) ||
       (end.status == 0 && !LooksLikeCompletePdf(work / "out.pdf")))) {
    checker.reset();
    ready.reset();
    for (const auto& entry : fs::directory_iterator(work, ec)) fs::remove_all(entry.path(), ec);
    if (pipe2(folderPipe, O_CLOEXEC) != 0) {
      std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
      return kExitFailed;
    }
    if (!startOwnJob(folderPipe[0], folderPipe[1])) return kExitFailed;
    checker.emplace(work, limits, checkRequest, nullptr);
    end = SuperviseJob(job, work, limits.maxOutputBytes);
  }
  int result = kExitFailed;
  std::optional<PdfOutputFindings> findings;
  std::string shortfall;
  if (!ReportJobEnd(end, *args)) {
    // said why
  } else if (!LooksLikeCompletePdf(work / "out.pdf")) {
    std::fputs("pstopdf: the document produced no complete PDF\n", stderr);
  } else if (findings = checker->Run(); !findings) {
    // said why
  } else if (shortfall = DescribeFindings(*findings, args->preset);
             !shortfall.empty() && PdfPresetIsStandard(args->preset)) {
    std::fprintf(stderr, "pstopdf: %s\n", shortfall.c_str());
  } else if (!PlaceOutput(CheckedPdf(work), output)) {
    std::fprintf(stderr, "pstopdf: cannot write %s: %s\n", args->output.c_str(),
                 std::strerror(errno));
  } else {
    result = 0;
    for (const std::string& removed : findings->removed) {
      std::fprintf(stderr, "pstopdf: warning: %s\n", removed.c_str());
    }
    if (reportFd >= 0) {
      const std::string report = FindingsReport(*findings);
      for (std::size_t done = 0; done < report.size();) {
        const ssize_t n = write(reportFd, report.data() + done, report.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      close(reportFd);
    }
    // Done: whoever reads our errors learns it now, not after the teardown.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) dup2(null, STDERR_FILENO);
  }
  fs::remove_all(work, ec);
  return result;
}
