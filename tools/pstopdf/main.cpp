// pstopdf INPUT -o OUTPUT: converts one PostScript or EPS file into a PDF with
// Ghostscript's pdfwrite device. Exit status 0 only when OUTPUT holds the
// complete PDF; 1 when the conversion failed; 2 on a usage error. Standard
// error is closed as soon as OUTPUT is complete, so that a caller can start
// on it while this process ends; the exit status still has the last word.
//
// The interpreter runs under CPU and memory limits, inside a private
// temporary folder that is removed afterwards, so that a hostile job can touch
// nothing but its own output and can never hang its caller. A small watchdog
// removes the folder should this process be killed before it can.

#include <ghostscript/gserrors.h>
#include <ghostscript/iapi.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr unsigned long kDefaultCpuSeconds = 300;
constexpr unsigned long kDefaultMemoryMiB = 4096;

// Asking to stop, and going over the CPU limit.
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGXCPU};

// Asked to stop, or over the CPU limit: the watchdog cleans up after us.
void OnTerminate(int sig) {
  const char* message = sig == SIGXCPU ? "pstopdf: stopped: CPU time limit reached\n"
                                       : "pstopdf: stopped\n";
  const ssize_t ignored = write(STDERR_FILENO, message, std::strlen(message));
  (void)ignored;
  _exit(kExitFailed);
}

// Forks a child that makes the private folder, then waits on a pipe whose
// only writer is this process; when the pipe closes, however this process
// ends, the child removes the folder. The folder is the child's from the
// start, so that this process may be killed at any moment, even before the
// folder's name has reached it. Forked before the interpreter is loaded,
// while there is next to nothing to share copy-on-write. Answers the end
// from which the folder's name is read, or -1.
int StartWatchdog(const std::string& folderPattern) {
  int life[2];
  int reply[2];
  if (pipe2(life, O_CLOEXEC) != 0) return -1;
  if (pipe2(reply, O_CLOEXEC) != 0) {
    close(life[0]);
    close(life[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    for (const int fd : {life[0], life[1], reply[0], reply[1]}) close(fd);
    return -1;
  }
  if (pid == 0) {
    // A stop sent to the whole group (Ctrl-C, a caller's SIGTERM) must not
    // end the watchdog before it has cleaned up.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) signal(sig, SIG_IGN);
    // Nothing of the caller's stays open here: a caller reading our standard
    // error until it closes would otherwise wait for the watchdog too.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
    }
    const unsigned low = static_cast<unsigned>(std::min(life[0], reply[1]));
    const unsigned high = static_cast<unsigned>(std::max(life[0], reply[1]));
    close_range(3, low - 1, 0);
    close_range(low + 1, high - 1, 0);
    close_range(high + 1, ~0U, 0);

    std::string folder = folderPattern;
    const int error = mkdtemp(folder.data()) ? 0 : errno;
    const ssize_t sent = write(reply[1], &error, sizeof error);
    if (error == 0 && sent == sizeof error) {
      const ssize_t ignored = write(reply[1], folder.data(), folder.size());
      (void)ignored;
    }
    close(reply[1]);
    if (error != 0) _exit(0);
    char byte = 0;
    ssize_t n = 0;
    do {
      n = read(life[0], &byte, 1);
    } while (n > 0 || (n < 0 && errno == EINTR));
    std::error_code ec;
    fs::remove_all(folder, ec);
    _exit(0);
  }
  close(life[0]);
  close(reply[1]);
  // The writing end is kept open, unwritten, for the rest of our life; the
  // watchdog is not waited for (it ends by itself and is reaped by whoever
  // inherits it).
  return reply[0];
}

// The watchdog's folder, or empty with errno saying why it could not be made.
fs::path AwaitPrivateFolder(int replyFd) {
  char buffer[sizeof(int) + PATH_MAX] = {};
  size_t got = 0;
  while (got < sizeof buffer) {
    const ssize_t n = read(replyFd, buffer + got, sizeof buffer - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(replyFd);
  int error = EIO;  // the watchdog ended without an answer
  if (got >= sizeof error) std::memcpy(&error, buffer, sizeof error);
  if (error == 0 && got == sizeof error) error = EIO;
  if (error != 0) {
    errno = error;
    return {};
  }
  return fs::path(std::string(buffer + sizeof error, got - sizeof error));
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
  std::fputs(
      "usage: pstopdf INPUT -o OUTPUT [--cpu-seconds N] [--memory-mib N]\n"
      "       pstopdf -h | --help | --version\n"
      "Converts a PostScript or EPS file into a PDF. EPS files get a page the size\n"
      "of their bounding box. Limits default to 300 CPU seconds and 4096 MiB, or\n"
      "to QUILLPRESS_PSTOPDF_CPU_SECONDS and QUILLPRESS_PSTOPDF_MEMORY_MIB.\n",
      message ? stderr : stdout);
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
};

std::optional<Arguments> Parse(int argc, char** argv) {
  Arguments args;
  args.cpuSeconds = LimitFromEnvironment("QUILLPRESS_PSTOPDF_CPU_SECONDS", kDefaultCpuSeconds);
  args.memoryMiB = LimitFromEnvironment("QUILLPRESS_PSTOPDF_MEMORY_MIB", kDefaultMemoryMiB);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "-o") {
      const char* v = next();
      if (!v || !*v) return Usage("-o needs an output path"), std::nullopt;
      args.output = v;
    } else if (arg == "--cpu-seconds" || arg == "--memory-mib") {
      const auto v = ParseCount(next());
      if (!v) return Usage((arg + " needs a positive whole number").c_str()), std::nullopt;
      (arg == "--cpu-seconds" ? args.cpuSeconds : args.memoryMiB) = *v;
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

// EPS by its header: the DSC "EPSF" on the first line, or the binary header
// of EPS files with a preview.
std::optional<bool> IsEncapsulated(const fs::path& input) {
  FILE* f = std::fopen(input.c_str(), "rb");
  if (!f) return std::nullopt;
  char head[256] = {};
  const size_t n = std::fread(head, 1, sizeof head - 1, f);
  std::fclose(f);
  if (n >= 4 && static_cast<unsigned char>(head[0]) == 0xC5 &&
      static_cast<unsigned char>(head[1]) == 0xD0 && static_cast<unsigned char>(head[2]) == 0xD3 &&
      static_cast<unsigned char>(head[3]) == 0xC6) {
    return true;
  }
  const std::string first(head, std::strcspn(head, "\r\n"));
  return first.rfind("%!", 0) == 0 && first.find("EPSF") != std::string::npos;
}

int ForwardOutput(void*, const char* str, int len) {
  // Everything the interpreter says goes to standard error, where a caller
  // can read why a job failed.
  if (len > 0) {
    const ssize_t ignored = write(STDERR_FILENO, str, static_cast<size_t>(len));
    (void)ignored;
  }
  return len;
}

int NoInput(void*, char*, int) { return 0; }

// The interpreter library, loaded once the watchdog has been forked: forking
// a process that has the interpreter's sixty-odd libraries mapped costs more
// than all the rest of our start.
struct Interpreter {
  decltype(&gsapi_new_instance) newInstance = nullptr;
  decltype(&gsapi_set_stdio) setStdio = nullptr;
  decltype(&gsapi_set_arg_encoding) setArgEncoding = nullptr;
  decltype(&gsapi_init_with_args) initWithArgs = nullptr;
  decltype(&gsapi_exit) exit = nullptr;
  decltype(&gsapi_delete_instance) deleteInstance = nullptr;
};

std::optional<Interpreter> LoadInterpreter() {
  void* library = dlopen(QUILLPRESS_GHOSTSCRIPT_SONAME, RTLD_LAZY | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "pstopdf: cannot load the interpreter: %s\n", dlerror());
    return std::nullopt;
  }
  Interpreter gs;
  bool complete = true;
  auto bind = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
    complete = complete && function != nullptr;
  };
  bind(gs.newInstance, "gsapi_new_instance");
  bind(gs.setStdio, "gsapi_set_stdio");
  bind(gs.setArgEncoding, "gsapi_set_arg_encoding");
  bind(gs.initWithArgs, "gsapi_init_with_args");
  bind(gs.exit, "gsapi_exit");
  bind(gs.deleteInstance, "gsapi_delete_instance");
  if (!complete) {
    std::fputs("pstopdf: the interpreter library lacks its API\n", stderr);
    return std::nullopt;
  }
  return gs;
}

// Runs the interpreter in this process; answers whether it succeeded.
bool RunInterpreter(const Interpreter& gs, const fs::path& workFolder, const fs::path& input,
                    bool eps, const Arguments& args) {
  const rlim_t cpu = static_cast<rlim_t>(args.cpuSeconds);
  const rlimit cpuLimit{cpu, cpu + 1};
  setrlimit(RLIMIT_CPU, &cpuLimit);
  const rlim_t bytes = static_cast<rlim_t>(args.memoryMiB) * 1024 * 1024;
  const rlimit memLimit{bytes, bytes};
  setrlimit(RLIMIT_AS, &memLimit);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);

  // The interpreter's temporary files, which SAFER still lets a job read,
  // write and delete, are the private folder's.
  setenv("TMPDIR", workFolder.c_str(), 1);
  setenv("TEMP", workFolder.c_str(), 1);
  if (chdir(workFolder.c_str()) != 0) return false;

  // A plain name for the input, whatever bytes its own name holds.
  const fs::path link = workFolder / (eps ? "input.eps" : "input.ps");
  if (symlink(input.c_str(), link.c_str()) != 0) return false;
  const std::string outputArg = "-sOutputFile=" + (workFolder / "out.pdf").string();

  std::vector<std::string> argStrings = {"pstopdf", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                                         "-dNOPROMPT", "-sDEVICE=pdfwrite",
                                         "-dAutoRotatePages=/None", outputArg};
  if (eps) argStrings.emplace_back("-dEPSCrop");
  argStrings.emplace_back("-f");
  argStrings.push_back(link.string());
  std::vector<char*> gsArgs;
  for (std::string& s : argStrings) gsArgs.push_back(s.data());

  void* instance = nullptr;
  if (gs.newInstance(&instance, nullptr) < 0) return false;
  gs.setStdio(instance, NoInput, ForwardOutput, ForwardOutput);
  gs.setArgEncoding(instance, GS_ARG_ENCODING_UTF8);
  int code = gs.initWithArgs(instance, static_cast<int>(gsArgs.size()), gsArgs.data());
  const int exitCode = gs.exit(instance);
  if (code == 0 || code == gs_error_Quit) code = exitCode;
  gs.deleteInstance(instance);
  return code == 0 || code == gs_error_Quit;
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

// Moves the finished PDF to OUTPUT so that OUTPUT never holds part of one.
bool PlaceOutput(const fs::path& produced, const fs::path& output) {
  if (std::rename(produced.c_str(), output.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  const fs::path staging = output.string() + ".pstopdf-part";
  std::error_code ec;
  if (!fs::copy_file(produced, staging, fs::copy_options::overwrite_existing, ec)) return false;
  const int fd = open(staging.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!synced || std::rename(staging.c_str(), output.c_str()) != 0) {
    fs::remove(staging, ec);
    return false;
  }
  return true;
}

std::string PrivateFolderPattern() {
  const char* tmp = std::getenv("TMPDIR");
  return (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/pstopdf-XXXXXX";
}

}  // namespace

int main(int argc, char** argv) {
  KeepStandardFilesOpen();
  const auto args = Parse(argc, argv);
  if (!args) return kExitUsage;

  if (access(args->input.c_str(), R_OK) != 0 || fs::is_directory(args->input)) {
    std::fprintf(stderr, "pstopdf: cannot read %s: %s\n", args->input.c_str(),
                 fs::is_directory(args->input) ? "it is a folder" : std::strerror(errno));
    return kExitUsage;
  }
  const auto eps = IsEncapsulated(args->input);
  if (!eps) {
    std::fprintf(stderr, "pstopdf: cannot read %s: %s\n", args->input.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  std::error_code ec;
  // Both made absolute now: the interpreter works inside its own folder.
  const fs::path input = fs::absolute(args->input, ec);
  const fs::path output = fs::absolute(args->output, ec);

  const int folderReply = StartWatchdog(PrivateFolderPattern());
  if (folderReply < 0) {
    std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  // Loaded while the watchdog makes the folder.
  const auto interpreter = LoadInterpreter();  // says why when it fails
  const fs::path work = AwaitPrivateFolder(folderReply);
  if (work.empty()) {
    std::fprintf(stderr, "pstopdf: cannot make a temporary folder: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  struct sigaction action = {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  for (const int sig : kStopSignals) sigaction(sig, &action, nullptr);

  int result = kExitFailed;
  const fs::path produced = work / "out.pdf";
  if (interpreter) {
    if (!RunInterpreter(*interpreter, work, input, *eps, *args)) {
      std::fputs("pstopdf: the PostScript could not be converted\n", stderr);
    } else if (!LooksLikeCompletePdf(produced)) {
      std::fputs("pstopdf: the document produced no complete PDF\n", stderr);
    } else if (!PlaceOutput(produced, output)) {
      std::fprintf(stderr, "pstopdf: cannot write %s: %s\n", args->output.c_str(),
                   std::strerror(errno));
    } else {
      result = 0;
      // Done: whoever reads our errors learns it now, not after the teardown.
      const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
      if (null >= 0) dup2(null, STDERR_FILENO);
    }
  }
  fs::remove_all(work, ec);
  return result;
}
