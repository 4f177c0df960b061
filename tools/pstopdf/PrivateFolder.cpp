#include "PrivateFolder.h"

#include "conversion/LeftoverFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr char kFolderPrefix[] = "pstopdf-";

void UseBeneathFd(int dirFd, int depth, FolderUse& use) {
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    ++use.entries;
    struct stat st {};
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const auto size = static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0));
    const auto used = static_cast<std::uint64_t>(st.st_blocks) * 512;
    use.bytes += std::max(size, used);
    // A job makes no folders where the kernel has the barriers; where it
    // lacks them, deeper ones still count as entries of the one above.
    if (S_ISDIR(st.st_mode) && depth < 64) {
      const int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) UseBeneathFd(child, depth + 1, use);
    }
  }
  closedir(dir);
}

}  // namespace

Watchdog StartWatchdog(const fs::path& parent) {
  int life[2];
  int reply[2];
  if (pipe2(life, O_CLOEXEC) != 0) return {};
  if (pipe2(reply, O_CLOEXEC) != 0) {
    close(life[0]);
    close(life[1]);
    return {};
  }
  // Made here rather than by the watchdog, so that the job need not wait
  // for the watchdog to be scheduled. Named for this process: should it be
  // killed before the watchdog has started, a later run removes the folder
  // as what a dead process left.
  std::string folder = (parent / (kFolderPrefix + OwnerTag() + "-XXXXXX")).string();
  const int error = mkdtemp(folder.data()) ? 0 : errno;
  // The answer waits in the pipe (a name fits in its buffer) for whoever
  // reads it; the writing end is closed before the watchdog is forked, so
  // that the reader sees its end.
  bool answered = write(reply[1], &error, sizeof error) == sizeof error;
  if (error == 0 && answered) {
    answered = write(reply[1], folder.data(), folder.size()) == ssize_t(folder.size());
  }
  close(reply[1]);
  if (error != 0 || !answered) {
    if (error == 0) rmdir(folder.c_str());
    close(life[0]);
    close(life[1]);
    if (answered) return Watchdog{reply[0], -1, -1};
    close(reply[0]);
    return {};
  }
  const pid_t pid = fork();
  if (pid < 0) {
    rmdir(folder.c_str());
    for (const int fd : {life[0], life[1], reply[0]}) close(fd);
    return {};
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
    close_range(3, static_cast<unsigned>(life[0]) - 1, 0);
    close_range(static_cast<unsigned>(life[0]) + 1, ~0U, 0);
    // While the job runs: what killed runs left.
    RemoveLeftovers(parent, kFolderPrefix, "");
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
  // The writing end is kept open, unwritten, until EndWatchdog or our end.
  return Watchdog{reply[0], life[1], pid};
}

void EndWatchdog(Watchdog& watchdog) {
  if (watchdog.life >= 0) close(watchdog.life);
  if (watchdog.reply >= 0) close(watchdog.reply);
  if (watchdog.pid > 0) {
    while (waitpid(watchdog.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  watchdog = {};
}

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

FolderUse UseBeneath(const fs::path& folder) {
  FolderUse use;
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) UseBeneathFd(fd, 0, use);
  return use;
}
