#include "conversion/ConverterProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <string_view>

extern char** environ;

namespace {

constexpr std::size_t kErrorTailBytes = 4096;

constexpr std::size_t kLargestReport = std::size_t(1) << 20;

void KeepTail(std::string& tail, const char* data, std::size_t n) {
  tail.append(data, n);
  if (tail.size() > kErrorTailBytes) tail.erase(0, tail.size() - kErrorTailBytes);
}

// Reads what is there now, without waiting; answers false once the pipe has
// ended (or failed), closing it.
bool Drain(int& fd, std::string& into) {
  char buffer[4096];
  while (fd >= 0) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      if (into.size() < kLargestReport) into.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    close(fd);
    fd = -1;
  }
  return false;
}

// The environment with setup's entries in place of any of the same names.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& entries) {
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const std::string& ours : entries) {
      const std::size_t eq = ours.find('=');
      replaced = replaced || entry.substr(0, entry.find('=') + 1) == ours.substr(0, eq + 1);
    }
    if (!replaced) result.emplace_back(entry);
  }
  result.insert(result.end(), entries.begin(), entries.end());
  return result;
}

}  // namespace

ProcessOutcome RunProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments, std::stop_token stop,
                          const std::function<void()>& whileRunning,
                          const std::function<void()>& whenErrorsClosed,
                          const ProcessSetup& setup) {
  ProcessOutcome outcome;
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) return outcome;
  int reportPipe[2] = {-1, -1};
  if (setup.report && pipe2(reportPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(errPipe[0]);
    close(errPipe[1]);
    return outcome;
  }
  // The writing end blocks as a pipe normally does.
  if (reportPipe[1] >= 0) fcntl(reportPipe[1], F_SETFL, 0);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  if (reportPipe[1] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, reportPipe[1], kReportDescriptor);
  }

  // The converter gets default signal handling even when we ignore SIGPIPE.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  std::string programString = program.native();
  argv.push_back(programString.data());
  std::vector<std::string> args = arguments;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (!setup.environment.empty()) {
    environment = EnvironmentWith(setup.environment);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, programString.c_str(), &actions, &attr, argv.data(),
                             envp.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(errPipe[1]);
  if (reportPipe[1] >= 0) close(reportPipe[1]);
  int reportFd = reportPipe[0];
  if (rc != 0) {
    if (reportFd >= 0) close(reportFd);
    close(errPipe[0]);
    return outcome;
  }
  outcome.started = true;
  if (whileRunning) whileRunning();

  // The stop callback may run on another thread at any time until the child
  // has been reaped; the mutex keeps it from signalling a reused pid.
  std::mutex reapMutex;
  bool reaped = false;
  bool stopSent = false;
  std::stop_callback onStop(stop, [&] {
    std::lock_guard lock(reapMutex);
    if (!reaped) {
      stopSent = true;
      kill(pid, SIGTERM);
    }
  });

  // A converter that ignores the polite request is killed after a grace
  // period, so that stopping (quitting the application) never hangs.
  constexpr auto kGrace = std::chrono::seconds(3);
  std::optional<std::chrono::steady_clock::time_point> killAt;
  bool killed = false;
  auto enforceStop = [&] {
    std::lock_guard lock(reapMutex);
    if (stopSent && !killAt) killAt = std::chrono::steady_clock::now() + kGrace;
    if (killAt && std::chrono::steady_clock::now() >= *killAt) {
      kill(pid, SIGKILL);
      killed = true;
    }
    return killed;
  };

  char buffer[1024];
  for (;;) {
    pollfd pfds[2] = {{errPipe[0], POLLIN, 0}, {reportFd, POLLIN, 0}};
    const int ready = poll(pfds, reportFd >= 0 ? 2 : 1, 250);
    if (ready > 0 && reportFd >= 0 && pfds[1].revents) Drain(reportFd, *setup.report);
    if (ready > 0 && pfds[0].revents) {
      const ssize_t n = read(errPipe[0], buffer, sizeof buffer);
      if (n > 0) {
        KeepTail(outcome.errorTail, buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    } else if (ready < 0 && errno != EINTR) {
      break;
    }
    if (enforceStop()) break;  // a killed converter's children may still hold the pipe
  }
  close(errPipe[0]);
  if (reportFd >= 0) Drain(reportFd, *setup.report);

  // Waits without reaping, so that the stop callback can never signal a pid
  // that has been reused; answers whether the process has ended.
  auto ended = [&](int flags) {
    siginfo_t info{};
    int waited;
    do {
      waited = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | flags);
    } while (waited < 0 && errno == EINTR);
    return waited < 0 || info.si_pid == pid;
  };
  if (!killed && !ended(WNOHANG)) {
    if (whenErrorsClosed) whenErrorsClosed();
    // Still held to a stop request, however long it takes to end.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      for (;;) {
        pollfd pfd{pidfd, POLLIN, 0};
        const int ready = poll(&pfd, 1, 250);
        if (ready > 0 || (ready < 0 && errno != EINTR) || enforceStop()) break;
      }
      close(pidfd);
    }
  }
  ended(0);
  if (reportFd >= 0) {
    Drain(reportFd, *setup.report);
    if (reportFd >= 0) close(reportFd);
  }
  {
    std::lock_guard lock(reapMutex);
    reaped = true;
    outcome.stopped = stopSent;
  }
  int status = 0;
  pid_t reapedPid;
  do {
    reapedPid = waitpid(pid, &status, 0);
  } while (reapedPid < 0 && errno == EINTR);
  if (reapedPid == pid && WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
  return outcome;
}
