#include "SystemCallTrial.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// Runs one call: answers 0, or the errno it failed with.
int Try(const std::string& call, const std::string& arg) {
  const char* path = arg.c_str();
  auto result = [](long r) { return r == 0 ? 0 : errno; };
  if (call == "chmod") return result(chmod(path, 0777));
  if (call == "chown") return result(chown(path, getuid(), getgid()));
  if (call == "utimes") return result(utimensat(AT_FDCWD, path, nullptr, 0));
  if (call == "setxattr") return result(setxattr(path, "user.quillpress", "x", 1, 0));
  if (call == "removexattr") return result(removexattr(path, "user.quillpress"));
  if (call == "mknod-device") return result(mknod(path, S_IFCHR | 0600, makedev(1, 3)));
  if (call == "mkfifo") return result(mkfifo(path, 0600));
  if (call == "mkdir") return result(mkdir(path, 0700));
  if (call == "symlink") return result(symlink("/", path));
  if (call == "chroot") return result(chroot(path));
  if (call == "sethostname") return result(sethostname(path, arg.size()));
  if (call == "capability") {
    // Any capability left, in the sets or the bounding set, counts as done.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) return errno;
    bool any = false;
    for (const auto& set : sets) any = any || set.effective || set.permitted || set.inheritable;
    for (int cap = 0; cap < 64; ++cap) any = any || prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1;
    return any ? 0 : EPERM;
  }
  if (call == "fork") {
    // A process that would outlive the job, as long as the test looks.
    const pid_t child = fork();
    if (child == 0) {
      poll(nullptr, 0, 60000);
      _exit(0);
    }
    return child > 0 ? 0 : errno;
  }
  if (call == "thread") {
    // Threads end with the job: allowed.
    bool ran = false;
    std::thread([&ran] { ran = true; }).join();
    return ran ? 0 : EINVAL;
  }
  if (call == "files") {
    // Empty files without end: they cost no bytes, only entries.
    for (long i = 0;; ++i) {
      const std::string name = "f" + std::to_string(i);
      const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) return errno;
      close(fd);
    }
  }
  if (call == "wait-for") {
    // Until the file appears (put there by the test), then the job ends.
    for (int i = 0; i < 6000 && access(path, F_OK) != 0 && errno == ENOENT; ++i) poll(nullptr, 0, 10);
    return 0;
  }
  if (call == "sleep") {
    poll(nullptr, 0, std::atoi(path) * 1000);
    return 0;
  }
  return ENOSYS;
}

}  // namespace

void RunSystemCallTrial(int inputFd) {
  const std::string list = ReadAll(inputFd);
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    const std::string line = list.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '%') continue;
    const std::size_t space = line.find(' ');
    const std::string call = line.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    const int error = Try(call, arg);
    if (error == 0) {
      std::fprintf(stderr, "CALL %s: done\n", line.c_str());
    } else {
      std::fprintf(stderr, "CALL %s: refused (%s)\n", line.c_str(), std::strerror(error));
    }
    std::fflush(stderr);
  }
  _exit(0);
}
