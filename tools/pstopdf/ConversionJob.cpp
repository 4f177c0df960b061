#include "ConversionJob.h"

#include "BMTUtil.h"
#include "StopSignals.h"
#include "DocumentComments.h"
#include "Interpreter.h"
#include "UserPaper.h"
#include "WholeWrite.h"
#include "conversion/ConversionFailure.h"
#include "conversion/LeftoverFiles.h"
#include "conversion/PdfOutputCheck.h"
#ifdef QUILLPRESS_PSTOPDF_SYSTEM_CALL_TRIAL
#include "SystemCallTrial.h"
#endif

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

#ifdef QUILLPRESS_PSTOPDF_SYSTEM_CALL_TRIAL
constexpr bool kSystemCallTrial = true;  // the list runs in a process of our own
#else
constexpr bool kSystemCallTrial = false;
#endif

// How often the private folder's size is looked at while the job runs.
constexpr int kOutputCheckMilliseconds = 20;

// The longest line of the job's that is shown, and how much of what it says
// is shown in all.
constexpr std::size_t kLongestJobLine = 1000;
constexpr std::size_t kMostJobText = 64 * 1024;

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// The input, opened for reading only; or -1, failure saying why.
// Opened without waiting, so that a pipe or a device whose other end nobody
// holds cannot block us, and refused unless it is a regular file.
int OpenInput(const fs::path& input, ConversionFailure& failure) {
  const int fd = open(input.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    // A socket cannot be opened at all; say what it is rather than why not.
    if (stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      failure = {ConversionFailureKind::NotRegularFile, input,
                 std::string("it is ") + KindOf(st.st_mode) + ", not a regular file", {}, {}};
    } else {
      failure = {ConversionFailureKind::Unreadable, input, std::strerror(error), {}, {}};
    }
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    failure = {ConversionFailureKind::NotRegularFile, input,
               std::string("it is ") + KindOf(st.st_mode) + ", not a regular file", {}, {}};
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// EPS by its header: the DSC "EPSF" on the first line, or the binary header
// of EPS files with a preview. Or by its name: a file named as EPS whose
// header comments state its bounding box, whatever its first line says
// (KOMA-Script's examples begin "%%!"); a ".ps" file is never taken for one.
std::optional<bool> IsEncapsulated(int fd, const fs::path& name, const DocumentComments& comments) {
  char head[256] = {};
  const ssize_t n = pread(fd, head, sizeof head - 1, 0);
  if (n < 0) return std::nullopt;
  if (n >= 4 && static_cast<unsigned char>(head[0]) == 0xC5 &&
      static_cast<unsigned char>(head[1]) == 0xD0 && static_cast<unsigned char>(head[2]) == 0xD3 &&
      static_cast<unsigned char>(head[3]) == 0xC6) {
    return true;
  }
  const std::string first(head, std::strcspn(head, "\r\n"));
  if (first.rfind("%!", 0) == 0 && first.find("EPSF") != std::string::npos) return true;
  std::string extension = name.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool namedEps = extension == ".eps" || extension == ".epsf" || extension == ".epsi";
  return namedEps && first.rfind("%", 0) == 0 && comments.headerStatesBox && comments.boundingBox;
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
[[noreturn]] void RunJob(pid_t supervisor, int inputFd, int folderFd, int errorFd,
                         const JobLimits& limits, const PresetContext& preset) {
  for (const int sig : StopSignals::kSignals) signal(sig, SIG_DFL);
  if (!EndWithParent(supervisor, SIGKILL)) _exit(kExitFailed);
  dup2(errorFd, STDERR_FILENO);
  // Nothing of ours reaches the job but its input and standard files; and
  // nothing it could wait on for ever: its standard input is empty.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    close(null);
  }
  const unsigned low = static_cast<unsigned>(std::min(inputFd, folderFd));
  const unsigned high = static_cast<unsigned>(std::max(inputFd, folderFd));
  close_range(3, low - 1, 0);
  close_range(low + 1, high - 1, 0);
  close_range(high + 1, ~0U, 0);
  // Loaded while the supervisor passes on the folder's name.
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
#ifdef QUILLPRESS_PSTOPDF_SYSTEM_CALL_TRIAL
  RunSystemCallTrial(inputFd);
#endif
  // The input by its descriptor: the job learns no path of it, and SAFER
  // allows reading it and nothing more.
  const std::string input = "/proc/self/fd/" + std::to_string(inputFd);
  const bool ok =
      RunInterpreter(*interpreter, input, work / "out.pdf", preset.encapsulated,
                     presetArguments.beforeDocument, presetArguments.afterDocument);
  _exit(ok ? 0 : kExitFailed);
}


// The job as a ready interpreter takes it: the preset's switches start the
// interpreter, its setup file and the document's date go with the job.
// Empty when the job is to be run here.
std::optional<ReadyJobRequest> ReadyRequestFor(const PresetContext& preset, const fs::path& work,
                                               int inputFd, const JobLimits& limits) {
  std::string why;
  // The setup goes with the request: no file to write for it.
  const InterpreterArguments arguments = PresetArguments(preset, work, why, true);
  if (!why.empty()) return std::nullopt;  // the job's own run says why
  // Files to run after the document (a title set again): the job's own run.
  if (!arguments.afterDocument.empty()) return std::nullopt;
  ReadyJobRequest request;
  std::vector<std::string> extraSwitches;
  for (const std::string& argument : arguments.beforeDocument) {
    if (argument.rfind("-sQuillpressCreationDate=", 0) == 0) continue;  // the job's own
    (argument.rfind("-", 0) == 0 ? extraSwitches : request.files).push_back(argument);
  }
  request.setup = arguments.setup;
  request.switches = InterpreterSwitches(ReadyOutputFile(), preset.encapsulated, extraSwitches);
  request.inputFd = inputFd;
  request.work = work;
  request.creationDate = preset.comments.creationDate;
  request.limits = limits;
  return request;
}

// Whether the job left a complete PDF: a regular file, opened without
// following a link and without waiting, so that a pipe or a device left in
// its place cannot hold us.
bool LooksLikeCompletePdf(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  char head[5] = {};
  char tail[64] = {};
  const off_t tailSize = sizeof tail;
  ssize_t got = 0;
  const bool complete = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= tailSize &&
                        pread(fd, head, sizeof head, 0) == 5 && std::memcmp(head, "%PDF-", 5) == 0 &&
                        (got = pread(fd, tail, sizeof tail, st.st_size - tailSize)) > 0 &&
                        std::string_view(tail, static_cast<std::size_t>(got)).find("%%EOF") != std::string_view::npos;
  close(fd);
  return complete;
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
    if (!WriteWhole(to, buffer, static_cast<std::size_t>(n))) return false;
  }
}

}  // namespace

// How the job's process ended, as waitpid reports it, once it has.
struct ConversionJob::End {
  int status = 0;
  // Stopped, or found after its end, over a limit.
  bool overOutputLimit = false;
  bool overFileLimit = false;
  bool overTime = false;
};

ConversionJob::ConversionJob(JobSettings settings)
    : m_settings(std::move(settings)),
      m_limits{m_settings.cpuSeconds, m_settings.memoryMiB,
               static_cast<unsigned long long>(m_settings.maxOutputMiB) << 20},
      m_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(m_settings.wallSeconds)) {
  std::error_code ec;
  m_output = fs::absolute(m_settings.output, ec);
}

ConversionJob::~ConversionJob() {
  if (m_job > 0 && !m_ready && m_targets.job != 0) {
    kill(m_job, SIGKILL);
    while (waitpid(m_job, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  std::error_code ec;
  if (!m_work.empty()) fs::remove_all(m_work, ec);
  if (m_staging[0] != '\0') unlink(m_staging);
  EndWatchdog(m_watchdog);
  for (const int fd : {m_relayRead, m_relayWrite, m_doneRead, m_checked}) {
    if (fd >= 0) close(fd);
  }
}

void ConversionJob::Abandon() noexcept {
  m_targets.KillAll();
  if (m_staging[0] != '\0') unlink(m_staging);
}

int ConversionJob::Run() {
  using Kind = ConversionFailureKind;
  const fs::path& input = m_settings.input;
  // Said on standard error for people, and on the report for our caller.
  auto fail = [&](Kind kind, std::string detail, int status = kExitFailed) {
    // It may name the files, and a name may hold anything.
    std::fprintf(stderr, "pstopdf: %s\n", BMTUtil::EscapedForDisplay(detail, kLongestJobLine).c_str());
    Report(ConversionFailure{kind, input, std::move(detail), {}, {}});
    return status;
  };
  ConversionFailure unreadable;
  const int inputFd = OpenInput(input, unreadable);
  if (inputFd < 0) {
    return fail(unreadable.kind, "cannot read " + input.native() + ": " + unreadable.detail,
                kExitUsage);
  }
  DocumentComments comments = ReadDocumentComments(inputFd);
  const auto eps = IsEncapsulated(inputFd, input, comments);
  if (!eps) {
    return fail(Kind::Unreadable, "cannot read " + input.native() + ": " + std::strerror(errno),
                kExitUsage);
  }
  // Read here: the job's process can reach neither the user's locale nor the
  // system's settings.
  const PaperSize paper = UserPaperSize();
  const PresetContext preset{m_settings.preset, *eps, paper.width, paper.height,
                             std::move(comments), input.stem().string()};
  m_watchdog = StartWatchdog(BMTUtil::TemporaryFolder());
  if (m_watchdog.life < 0) return fail(Kind::Other, std::string("cannot start: ") + std::strerror(errno));
  if (!StartRelay() || !StartJob(inputFd, preset)) {
    Report(ConversionFailure{Kind::Other, input, "the job could not be started", {}, {}});
    return kExitFailed;
  }

  const CheckRequest checkRequest{PdfPresetCompressesStructure(m_settings.preset, m_settings.compress),
                                  PdfStandardCode(m_settings.preset),
                                  m_settings.preset == PdfPreset::Smallest};
  // Loaded while the job runs.
  std::optional<PdfChecker> checker(std::in_place, m_work, m_limits, checkRequest,
                                    m_ready ? &*m_readyRequest : nullptr, m_relayWrite, m_targets);

  OpenCheckedFile();
  End end = Supervise(*checker);
  if (ReadyInterpreterFailed(end)) {
    // Not the document's failure: the file gets a fresh start of its own.
    checker.reset();
    m_ready.reset();
    std::error_code ec;
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(m_work, ec)) left.push_back(entry.path());
    for (const fs::path& path : left) fs::remove_all(path, ec);
    if (!StartOwnJob(inputFd, preset)) return kExitFailed;
    checker.emplace(m_work, m_limits, checkRequest, nullptr, m_relayWrite, m_targets);
    end = Supervise(*checker);
  } else if (m_ready) {
    close(inputFd);
  }
  int result = kExitFailed;
  std::optional<PdfOutputFindings> findings;
  std::string shortfall;
  if (const ConversionFailure failure = ReportEnd(end)) {
    Report(failure);
  } else if (!LooksLikeCompletePdf(m_work / "out.pdf")) {
    fail(Kind::NoOutput, "the document produced no complete PDF");
  } else if (findings = ReceiveChecked(*checker), RelayToEnd(); !findings) {
    if (checker->TimedOut()) {
      end.overTime = true;
      Report(ReportEnd(end));
    } else {
      // said why on standard error
      Report(ConversionFailure{Kind::Other, input, "the PDF could not be checked", {}, {}});
    }
  } else if (shortfall = DescribeFindings(*findings, m_settings.preset);
             !shortfall.empty() && PdfPresetIsStandard(m_settings.preset)) {
    fail(Kind::StandardNotMet, shortfall);
  } else if (!PlaceOutput()) {
    fail(Kind::DestinationProblem,
         "cannot write " + m_settings.output.native() + ": " + std::strerror(errno));
  } else {
    result = kExitConverted;
    for (const std::string& removed : findings->removed) {
      std::fprintf(stderr, "pstopdf: warning: %s\n", removed.c_str());
    }
    Report(*findings);
    // Done: whoever reads our errors learns it now, not after the teardown.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) dup2(null, STDERR_FILENO);
  }
  return result;
}

bool ConversionJob::StartRelay() {
  int relay[2];
  if (pipe2(relay, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
    return false;
  }
  m_relayRead = relay[0];
  m_relayWrite = relay[1];
  fcntl(m_relayRead, F_SETFL, O_NONBLOCK);
  return true;
}

// Passes on what has come, whole lines only.
void ConversionJob::Relay() {
  char buffer[1 << 14];
  ssize_t n;
  while ((n = read(m_relayRead, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        ShowJobLine();
      } else if (m_relayLine.size() <= kLongestJobLine * 4) {
        m_relayLine += buffer[i];
      }
    }
  }
}

void ConversionJob::ShowJobLine() {
  if (m_relayed < kMostJobText) {
    std::string shown = BMTUtil::EscapedForDisplay(m_relayLine, kLongestJobLine) + "\n";
    m_relayed += shown.size();
    if (m_relayed >= kMostJobText) shown += "pstopdf: (the job said more, not shown)\n";
    WriteWhole(STDERR_FILENO, shown.data(), shown.size());
  }
  m_relayLine.clear();
}

// Everything, once every process that writes to it has ended.
void ConversionJob::RelayToEnd() {
  if (m_relayRead < 0) return;
  Relay();
  if (!m_relayLine.empty()) ShowJobLine();
}

fs::path ConversionJob::MakeJobFolder() {
  errno = m_watchdog.error;
  return m_watchdog.folder;
}

// A ready interpreter needs the folder first; a job of our own is started
// before the folder's name is passed on to it. Says why when it cannot start.
// The input stays open for a ready interpreter's job, as a fresh start may
// need it yet.
bool ConversionJob::StartJob(int inputFd, const PresetContext& preset) {
  if (!kSystemCallTrial && ReadyInterpretersWanted()) {
    m_work = MakeJobFolder();
    if (m_work.empty()) {
      std::fprintf(stderr, "pstopdf: cannot make a temporary folder: %s\n", std::strerror(errno));
      return false;
    }
    m_readyRequest = ReadyRequestFor(preset, m_work, inputFd, m_limits);
    int done[2];
    if (m_readyRequest && pipe2(done, O_CLOEXEC) == 0) {
      m_readyRequest->errorFd = m_relayWrite;
      m_readyRequest->doneFd = done[1];
      m_ready = StartReadyJob(*m_readyRequest);
      close(done[1]);
      m_readyRequest->doneFd = -1;
      m_doneRead = done[0];
    }
  }
  if (!m_ready && !kSystemCallTrial && ReadyInterpreterRequired()) {
    std::fputs("pstopdf: no ready interpreter could take the job\n", stderr);
    return false;
  }
  if (m_ready) {
    m_job = m_ready->pid;
    m_targets.jobPidfd = m_ready->pidfd;
    m_targets.job = m_job;
    return true;
  }
  return StartOwnJob(inputFd, preset);
}

bool ConversionJob::ReadyInterpreterFailed(const End& end) const {
  if (!m_ready || ReadyInterpreterRequired() || end.overOutputLimit) return false;
  return m_ready->serverLost || (WIFEXITED(end.status) && WEXITSTATUS(end.status) == kReadyCopyUnfit) ||
         (end.status == 0 && !LooksLikeCompletePdf(m_work / "out.pdf"));
}

// The job in a process of our own, told its folder once there is one.
bool ConversionJob::StartOwnJob(int inputFd, const PresetContext& preset) {
  int folderPipe[2];
  if (pipe2(folderPipe, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
    return false;
  }
  const pid_t self = getpid();
  m_job = fork();
  if (m_job < 0) {
    std::fprintf(stderr, "pstopdf: cannot start: %s\n", std::strerror(errno));
    return false;
  }
  if (m_job == 0) {
    close(folderPipe[1]);
    RunJob(self, inputFd, folderPipe[0], m_relayWrite, m_limits, preset);
  }
  m_targets.job = m_job;
  close(folderPipe[0]);
  close(inputFd);

  if (m_work.empty()) m_work = MakeJobFolder();
  if (m_work.empty()) {
    const int error = errno;
    close(folderPipe[1]);
    std::fprintf(stderr, "pstopdf: cannot make a temporary folder: %s\n", std::strerror(error));
    return false;
  }
  WriteWhole(folderPipe[1], m_work.c_str(), m_work.native().size());
  close(folderPipe[1]);
  return true;
}

// Waits for the job's end, and stops it when it goes over what it may write
// or have in its folder, or over the time the conversion may take. A ready
// interpreter's copy is reaped and reported on by its server; a job of our
// own is our child.
ConversionJob::End ConversionJob::Supervise(PdfChecker& checker) {
  End end;
  ReadyJob* ready = m_ready ? &*m_ready : nullptr;
  const pid_t job = m_job;
  const int pidfd = ready ? ready->pidfd : static_cast<int>(syscall(SYS_pidfd_open, job, 0));
  // A ready interpreter's copy that has said its PDF is complete is not
  // waited for: its check starts, nothing the copy could still do reaches
  // what the check makes, and its server reaps it.
  bool done = false;
  auto ended = [&] {
    if (pidfd >= 0) {
      pollfd pfds[2] = {{pidfd, POLLIN, 0}, {m_doneRead, POLLIN, 0}};
      const int n = poll(pfds, 2, kOutputCheckMilliseconds);
      done = n > 0 && pfds[1].revents != 0 && TakeDone(checker);
      return n > 0 && (pfds[0].revents != 0 || done);
    }
    poll(nullptr, 0, kOutputCheckMilliseconds);
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(job), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == job;
  };
  // What the job has written in all (files it has since removed too), or
  // what its folder holds, whichever is more; and the entries it holds.
  auto overLimit = [&](std::uint64_t written) {
    const FolderUse use = UseBeneath(m_work);
    end.overOutputLimit |= std::max(written, use.bytes) > m_limits.maxOutputBytes;
    end.overFileLimit |= use.entries > m_settings.maxFiles;
    return end.overOutputLimit || end.overFileLimit;
  };
  while (!ended()) {
    Relay();
    end.overTime = std::chrono::steady_clock::now() > m_deadline;
    if (overLimit(BytesWrittenBy(job)) || end.overTime) {
      if (ready) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
      else kill(job, SIGKILL);
      break;
    }
  }
  if (ready) {
    // Read while it has certainly not ended: else its server's word counts.
    const std::optional<std::uint64_t> before =
        done ? BytesWrittenByLiving(job, pidfd) : std::nullopt;
    const bool left = before && !end.overTime && !overLimit(*before);
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    if (left) {
      m_targets.jobPidfd = -1;
      m_targets.job = 0;
      LeaveReadyJob(*ready);
      RelayToEnd();
      return end;  // as it ends after saying so
    }
    pollfd pfd{pidfd, POLLIN, 0};
    while (poll(&pfd, 1, -1) <= 0) {
    }
    m_targets.jobPidfd = -1;
    m_targets.job = 0;
    // Its server read what it wrote before reaping it.
    std::uint64_t written = 0;
    end.status = ReadyJobStatus(*ready, written);
    overLimit(written);
    // Ended by us once it had said its PDF was complete.
    if (done && !ready->serverLost && WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGKILL) {
      end.status = 0;
    }
    RelayToEnd();
    return end;
  }
  if (pidfd >= 0) close(pidfd);
  // Ended, but not yet reaped: the stop handler cannot signal a reused pid.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(job), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  // What the job did in its last moments counts too.
  overLimit(BytesWrittenBy(job));
  m_targets.job = 0;
  while (waitpid(job, &end.status, 0) < 0 && errno == EINTR) {
  }
  RelayToEnd();
  return end;
}

bool ConversionJob::TakeDone(PdfChecker& checker) {
  char byte = 0;
  ssize_t n;
  while ((n = read(m_doneRead, &byte, 1)) < 0 && errno == EINTR) {
  }
  close(m_doneRead);
  m_doneRead = -1;
  // Its PDF is complete: the check starts while the job ends. What the
  // check makes comes to us alone, so that the job, were it still at work,
  // could not touch it.
  if (n == 1) checker.Start();
  return n == 1;
}

void ConversionJob::OpenCheckedFile() {
  m_checked = open(m_work.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // Where the file system has no files without names.
  if (m_checked < 0) m_checked = OpenStaging();
}

std::optional<PdfOutputFindings> ConversionJob::ReceiveChecked(PdfChecker& checker) {
  // Empty, also after a check that a fresh start of the job made void.
  if (m_checked < 0 || ftruncate(m_checked, 0) != 0 || lseek(m_checked, 0, SEEK_SET) != 0) {
    std::fprintf(stderr, "pstopdf: cannot keep the checked PDF: %s\n", std::strerror(errno));
    return std::nullopt;
  }
  return checker.Run(m_checked, m_limits.maxOutputBytes, m_deadline);
}

namespace {

// What the job noted when it failed (kInterpreterNote in its folder): only an
// interpreter error or a refused standard, as it is the job's word.
ConversionFailure JobNote(const fs::path& work) {
  ConversionFailure failure{ConversionFailureKind::InterpreterError, {}, {}, {}, {}};
  const int fd = open((work / kInterpreterNote).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failure;
  char text[4096];
  const ssize_t n = read(fd, text, sizeof text);
  close(fd);
  if (n <= 0) return failure;
  const auto noted = ParseFailureReport(std::string_view(text, static_cast<std::size_t>(n)));
  if (noted && (noted->kind == ConversionFailureKind::InterpreterError ||
                noted->kind == ConversionFailureKind::StandardNotMet)) {
    failure.kind = noted->kind;
    failure.detail = noted->detail;
  }
  return failure;
}

}  // namespace

// Says why the job failed on standard error, and answers it; nothing when it
// succeeded.
ConversionFailure ConversionJob::ReportEnd(const End& end) const {
  using Kind = ConversionFailureKind;
  const fs::path& input = m_settings.input;
  if (end.overTime) {
    std::fprintf(stderr, "pstopdf: stopped: the conversion took longer than %lu seconds, its time limit\n",
                 m_settings.wallSeconds);
    return {Kind::TimeLimit, input, {}, m_settings.wallSeconds, {}};
  }
  if (end.overFileLimit) {
    std::fprintf(stderr, "pstopdf: stopped: the job made more than %lu files, its limit\n",
                 m_settings.maxFiles);
    return {Kind::FileCountLimit, input, {}, m_settings.maxFiles, {}};
  }
  if (end.overOutputLimit || (WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGXFSZ)) {
    std::fprintf(stderr, "pstopdf: stopped: the job wrote more than %lu MiB, its output limit\n",
                 m_settings.maxOutputMiB);
    return {Kind::OutputLimit, input, {}, m_settings.maxOutputMiB, {}};
  }
  if (WIFSIGNALED(end.status)) {
    const int sig = WTERMSIG(end.status);
    if (sig == SIGXCPU) {
      std::fprintf(stderr, "pstopdf: stopped: CPU time limit reached (%lu seconds)\n",
                   m_settings.cpuSeconds);
      return {Kind::CpuLimit, input, {}, m_settings.cpuSeconds, {}};
    }
    if (sig == SIGSYS) {
      std::fputs("pstopdf: stopped: the job tried what its barrier forbids\n", stderr);
      return {Kind::Forbidden, input, {}, {}, {}};
    }
    std::fprintf(stderr, "pstopdf: the interpreter crashed (%s)\n", strsignal(sig));
    return {Kind::Crashed, input, strsignal(sig), {}, {}};
  }
  if (!WIFEXITED(end.status) || WEXITSTATUS(end.status) != 0) {
    std::fputs("pstopdf: the PostScript could not be converted\n", stderr);
    ConversionFailure failure = JobNote(m_work);
    failure.file = input;
    // Its memory limit, as the interpreter meets it.
    if (failure.detail.rfind("Error: /VMerror", 0) == 0) {
      failure.kind = Kind::MemoryLimit;
      failure.limit = m_settings.memoryMiB;
    }
    return failure;
  }
  return {};
}

// Puts the checked PDF at OUTPUT so that OUTPUT never holds part of one: its
// file without a name is linked there. Where that cannot be (OUTPUT exists
// and is replaced, or is on another file system), the PDF goes through a
// hidden staging file beside OUTPUT, flushed and renamed.
bool ConversionJob::PlaceOutput() {
  if (m_staging[0] == '\0') {
    const std::string self = "/proc/self/fd/" + std::to_string(m_checked);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, m_output.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
    const int staging = OpenStaging();
    if (staging < 0) return false;
    const bool copied = lseek(m_checked, 0, SEEK_SET) == 0 && CopyInto(m_checked, staging);
    close(m_checked);
    m_checked = staging;
    if (!copied) return false;
  }
  const bool ok = fsync(m_checked) == 0 && std::rename(m_staging, m_output.c_str()) == 0;
  const int error = errno;
  if (!ok) unlink(m_staging);
  m_staging[0] = '\0';
  errno = error;
  return ok;
}

// Named for this process, so that a later run removes it should we be
// killed meanwhile.
int ConversionJob::OpenStaging() {
  const fs::path folder = m_output.parent_path();
  RemoveLeftovers(folder, ".pstopdf-", ".part");
  const std::string staging = (folder / (".pstopdf-" + OwnerTag() + "-XXXXXX.part")).string();
  if (staging.size() >= sizeof m_staging) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // Named for Abandon before it exists.
  std::memcpy(m_staging, staging.c_str(), staging.size() + 1);
  const int fd = mkostemps(m_staging, 5, O_CLOEXEC);
  if (fd < 0) m_staging[0] = '\0';
  return fd;
}

void ConversionJob::Report(const ConversionFailure& failure) const {
  if (m_settings.reportFd < 0) return;
  const std::string report = FailureReport(failure);
  WriteWhole(m_settings.reportFd, report.data(), report.size());
  close(m_settings.reportFd);
}

void ConversionJob::Report(const PdfOutputFindings& findings) const {
  if (m_settings.reportFd < 0) return;
  const std::string report = FindingsReport(findings);
  WriteWhole(m_settings.reportFd, report.data(), report.size());
  close(m_settings.reportFd);
}
