#include "PrivateFolder.h"

#include "conversion/LeftoverFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

std::uint64_t BytesBeneathFd(int dirFd, int depth) {
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return 0;
  }
  std::uint64_t total = 0;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat st {};
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const auto size = static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0));
    const auto used = static_cast<std::uint64_t>(st.st_blocks) * 512;
    total += std::max(size, used);
    if (S_ISDIR(st.st_mode) && depth < 64) {
      const int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) total += BytesBeneathFd(child, depth + 1);
    }
  }
  closedir(dir);
  return total;
}

}  // namespace

int StartWatchdog(const fs::path& parent) {
  int life[2];
  int reply[2];
  if (pipe2(life, O_CLOEXEC) != 0) return -1;
  if (pipe2(reply, O_CLOEXEC) != 0) {
    close(life[0]);
    close(life[1]);
    return -1;
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
    if (answered) return reply[0];
    close(reply[0]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    rmdir(folder.c_str());
    for (const int fd : {life[0], life[1], reply[0]}) close(fd);
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
  // The writing end is kept open, unwritten, for the rest of our life; the
  // watchdog is not waited for (it ends by itself and is reaped by whoever
  // inherits it).
  return reply[0];
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

std::uint64_t BytesBeneath(const fs::path& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? 0 : BytesBeneathFd(fd, 0);
}
