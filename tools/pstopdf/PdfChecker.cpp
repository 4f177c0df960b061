#include "PdfChecker.h"

#include "BMTUtil.h"
#include "StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;

void StopTargets::KillAll() const noexcept {
  if (jobPidfd >= 0) {
    syscall(SYS_pidfd_send_signal, static_cast<int>(jobPidfd), SIGKILL, nullptr, 0);
  } else if (job > 0) {
    kill(static_cast<pid_t>(job), SIGKILL);
  }
  if (checkerPidfd >= 0) {
    syscall(SYS_pidfd_send_signal, static_cast<int>(checkerPidfd), SIGKILL, nullptr, 0);
  } else if (checker > 0) {
    kill(static_cast<pid_t>(checker), SIGKILL);
  }
}

PdfChecker::PdfChecker(const fs::path& work, const JobLimits& limits, const CheckRequest& request,
                       const ReadyJobRequest* ready, int errorFd, StopTargets& targets)
    : m_work(work), m_targets(targets) {
  int channel[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return;
  if (ready) {
    ReadyJobRequest asked = *ready;
    asked.inputFd = channel[0];
    asked.errorFd = errorFd;
    asked.doneFd = -1;
    asked.files.clear();
    asked.setup.clear();
    asked.check = request;
    m_ready = StartReadyJob(asked);
    if (m_ready) {
      close(channel[0]);
      m_channel = channel[1];
      m_targets.checkerPidfd = m_ready->pidfd;
      return;
    }
  }
  const WritePdfFn write = LoadPdfWriter();
  const pid_t self = getpid();
  const pid_t pid = write ? fork() : -1;
  if (pid < 0) {
    close(channel[0]);
    close(channel[1]);
    return;
  }
  if (pid == 0) {
    for (const int sig : StopSignals::kSignals) signal(sig, SIG_DFL);
    if (!EndWithParent(self, SIGKILL)) _exit(1);
    dup2(errorFd, STDERR_FILENO);
    close_range(3, static_cast<unsigned>(channel[0]) - 1, 0);
    close_range(static_cast<unsigned>(channel[0]) + 1, ~0U, 0);
    ApplyJobLimits(limits);
    EnterSandbox(m_work, -1);  // what it lacks was said for the job
    RunCheck(write, channel[0], m_work, request);
  }
  close(channel[0]);
  m_channel = channel[1];
  m_pid = pid;
  m_targets.checker = pid;
}

PdfChecker::~PdfChecker() {
  if (m_pid > 0 || m_ready) Reap(false, std::chrono::steady_clock::time_point::max());
}

void PdfChecker::Start() {
  if (m_started || m_channel < 0) return;
  m_started = true;
  const char byte = 1;
  while (write(m_channel, &byte, 1) < 0 && errno == EINTR) {
  }
}

std::optional<PdfOutputFindings> PdfChecker::Run(int pdfFd, std::uint64_t largestPdf,
                                                 std::chrono::steady_clock::time_point deadline) {
  if (m_pid <= 0 && !m_ready) {
    std::fprintf(stderr, "pstopdf: cannot check the PDF: its writer module (%s) is not installed\n",
                 BMTUtil::kPdfWriterModule);
    return std::nullopt;
  }
  Start();
  std::optional<PdfOutputFindings> findings =
      ReceiveCheck(m_channel, pdfFd, largestPdf, deadline, m_timedOut);
  if (findings) {
    // All it made is ours now: its end is not waited for.
    if (m_ready) {
      m_targets.checkerPidfd = -1;
      LeaveReadyJob(*m_ready);
      m_ready.reset();
    }
    return findings;
  }
  const int status = Reap(true, deadline);
  if (m_timedOut) return std::nullopt;
  if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "pstopdf: the check of the PDF ended early (%s)\n",
                 strsignal(WTERMSIG(status)));
  }
  // Otherwise it said why on standard error, or sent less than it should.
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    std::fputs("pstopdf: the check of the PDF said nothing\n", stderr);
  }
  return std::nullopt;
}

// Waits for its end status, stopping it at deadline; one that is not to
// finish its work is ended at once: told to end when it has not started,
// stopped when it has.
int PdfChecker::Reap(bool finish, std::chrono::steady_clock::time_point deadline) {
  close(m_channel);
  m_channel = -1;
  const int pidfd =
      m_ready ? m_ready->pidfd : static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
  if (!finish && m_started) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    const long long ms =
        deadline == std::chrono::steady_clock::time_point::max()
            ? -1
            : std::max<long long>(
                  0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    pollfd pfd{pidfd, POLLIN, 0};
    const int ready = pidfd < 0 ? 1 : poll(&pfd, 1, static_cast<int>(std::min<long long>(ms, 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0) break;
    if (ms == 0) {
      m_timedOut = true;
      syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
      while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
      }
      break;
    }
  }
  int status = 0;
  if (m_ready) {
    m_targets.checkerPidfd = -1;
    std::uint64_t written = 0;
    status = ReadyJobStatus(*m_ready, written);  // closes its pidfd
    m_ready.reset();
    return status;
  }
  if (pidfd >= 0) close(pidfd);
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  m_targets.checker = 0;
  while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
  return status;
}
