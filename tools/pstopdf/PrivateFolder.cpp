#include "PrivateFolder.h"

#include "conversion/LeftoverFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr char kFolderPrefix[] = "pstopdf-";

// What the watchdog reads on its life pipe when the folder could not be
// made: the name may then be someone else's.
constexpr char kNothingToRemove = 'x';

// Twelve letters no one can guess, for the folder's name.
std::string RandomSuffix() {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz234567";
  unsigned char bytes[12] = {};
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    got += static_cast<std::size_t>(n);
  }
  std::string suffix;
  for (const unsigned char b : bytes) suffix += kLetters[b & 31];
  return suffix;
}

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
  if (pipe2(life, O_CLOEXEC) != 0) return {};
  // Named before the watchdog is forked, so that it knows what to remove
  // however early this process dies, and made here rather than by the
  // watchdog, so that the job need not wait for the watchdog to be scheduled.
  const std::string suffix = RandomSuffix();
  const std::string folder = (parent / (kFolderPrefix + OwnerTag() + "-" + suffix)).string();
  const pid_t pid = suffix.empty() ? -1 : fork();
  if (pid < 0) {
    for (const int fd : life) close(fd);
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
    bool made = true;
    char byte = 0;
    ssize_t n = 0;
    do {
      n = read(life[0], &byte, 1);
      if (n == 1 && byte == kNothingToRemove) made = false;
    } while (n > 0 || (n < 0 && errno == EINTR));
    std::error_code ec;
    if (made) fs::remove_all(folder, ec);
    _exit(0);
  }
  close(life[0]);
  Watchdog watchdog{{}, 0, life[1], pid};
  if (mkdir(folder.c_str(), 0700) == 0) {
    watchdog.folder = folder;
  } else {
    watchdog.error = errno;
    const char nothing = kNothingToRemove;
    if (write(life[1], &nothing, 1) != 1) {
      // The watchdog then removes what has that name: no one can have
      // guessed it.
    }
  }
  // The writing end of life is kept open, unwritten, until EndWatchdog or
  // our end.
  return watchdog;
}

void EndWatchdog(Watchdog& watchdog) {
  if (watchdog.life >= 0) close(watchdog.life);
  if (watchdog.pid > 0) {
    while (waitpid(watchdog.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  watchdog = {};
}

FolderUse UseBeneath(const fs::path& folder) {
  FolderUse use;
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) UseBeneathFd(fd, 0, use);
  return use;
}
