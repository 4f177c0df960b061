#include "Sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

// Rights newer than the build machine's kernel headers; the running kernel's
// ABI version decides which are used.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// The ruleset attribute as the newest kernels know it; older ones are given
// only the leading fields they understand.
struct RulesetAttr {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;
  std::uint64_t scoped = 0;
};

constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                      LANDLOCK_ACCESS_FS_IOCTL_DEV;
constexpr std::uint64_t kReadRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;

std::uint64_t HandledFsRights(int abi) {
  std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // everything of version 1
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  if (abi >= 5) rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  return rights;
}

class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (m_fd >= 0) close(m_fd);
  }
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// Allows access beneath (or to) the file that fd refers to. A rule for a
// file, rather than a folder, may only carry rights that apply to files.
bool AllowBeneath(int ruleset, int fd, std::uint64_t access, bool isFile) {
  landlock_path_beneath_attr rule{};
  rule.allowed_access = isFile ? (access & kFileRights) : access;
  rule.parent_fd = fd;
  return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// A path that may be missing on this system (a font folder, a setting file):
// skipped quietly when it is.
void AllowPath(int ruleset, const fs::path& path, std::uint64_t access) {
  if (path.empty() || !path.is_absolute()) return;
  const Fd fd(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (fd.get() < 0) return;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return;
  AllowBeneath(ruleset, fd.get(), access, !S_ISDIR(st.st_mode));
}

fs::path FromEnvironment(const char* name, const fs::path& fallback) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? fs::path(value) : fallback;
}

// Folders an interpreter reads from: its own resources, system libraries and
// fonts, the font configuration and its cache (without which every run would
// scan every font again), the paper size setting, and the user's own fonts.
std::vector<fs::path> ReadableSystemPaths() {
  std::vector<fs::path> paths = {
      "/usr", "/lib", "/lib64", "/lib32", "/libx32", "/etc/fonts", "/etc/ghostscript",
      "/etc/papersize", "/etc/libpaper.d", "/etc/ld.so.cache", "/etc/localtime",
      "/var/lib/ghostscript", "/var/cache/fontconfig", "/sys/devices/system/cpu", "/dev/urandom"};
  const fs::path home = FromEnvironment("HOME", {});
  if (!home.empty()) {
    paths.push_back(home / ".fonts");
    paths.push_back(FromEnvironment("XDG_DATA_HOME", home / ".local" / "share") / "fonts");
    paths.push_back(FromEnvironment("XDG_CACHE_HOME", home / ".cache") / "fontconfig");
    paths.push_back(FromEnvironment("XDG_CONFIG_HOME", home / ".config") / "fontconfig");
  }
#ifdef QUILLPRESS_ICC_PROFILE_FOLDER
  paths.emplace_back(QUILLPRESS_ICC_PROFILE_FOLDER);  // the colour profiles of the standards
#endif
  // Where the user has told the interpreter to look.
  for (const char* name : {"GS_LIB", "GS_FONTPATH", "GS_LIB_DEFAULT"}) {
    const char* list = std::getenv(name);
    if (!list) continue;
    std::string entries = list;
    std::size_t start = 0;
    while (start <= entries.size()) {
      const std::size_t end = std::min(entries.find(':', start), entries.size());
      paths.emplace_back(entries.substr(start, end - start));
      start = end + 1;
    }
  }
  return paths;
}

// A ruleset that allows what every job may read: the system's paths, which
// need no job's name. -1 when the kernel refused it.
int SystemRuleset(int abi) {
  RulesetAttr attr;
  attr.handledAccessFs = HandledFsRights(abi);
  std::size_t size = offsetof(RulesetAttr, handledAccessNet);
  if (abi >= 4) {
    // No rule grants a port: no TCP connection or listening socket at all.
    attr.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    size = offsetof(RulesetAttr, scoped);
  }
  if (abi >= 6) {
    // No signals to, and no abstract sockets of, processes outside.
    attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
    size = sizeof attr;
  }
  const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
  if (ruleset < 0) return -1;
  for (const fs::path& path : ReadableSystemPaths()) AllowPath(ruleset, path, kReadRights);
  std::uint64_t nullDevice = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE;
  if (abi >= 3) nullDevice |= LANDLOCK_ACCESS_FS_TRUNCATE;
  AllowPath(ruleset, "/dev/null", nullDevice);
  return ruleset;
}

// Adds the job's files to systemRuleset (which it closes) and confines the
// process with it. Answers false when the kernel refused the ruleset.
bool ApplyLandlock(int abi, int systemRuleset, const fs::path& writable, int inputFd) {
  const Fd ruleset(systemRuleset);
  if (ruleset.get() < 0) return false;
  const std::uint64_t all = HandledFsRights(abi);
  // The input: readable, and nothing more.
  if (inputFd >= 0 && !AllowBeneath(ruleset.get(), inputFd, LANDLOCK_ACCESS_FS_READ_FILE, true)) {
    return false;
  }
  // The private folder: plain files, made, written, renamed and removed
  // there; no folders, links or special files, which the interpreter never
  // makes and which would hide work from the bound on entries.
  const std::uint64_t plainFiles =
      all & ~(LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
              LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_SOCK |
              LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
              LANDLOCK_ACCESS_FS_MAKE_SYM);
  const Fd folder(open(writable.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || !AllowBeneath(ruleset.get(), folder.get(), plainFiles, false)) {
    return false;
  }

  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#endif

// System calls newer than some kernel headers; their numbers are the same on
// every processor.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif
constexpr long kSysSetxattrat = 463;
constexpr long kSysRemovexattrat = 466;
constexpr long kSysOpenTreeAttr = 467;

// What the job is refused, with EPERM: new programs and processes, sockets,
// tracing and reading or writing other processes' memory, new namespaces,
// the interfaces that act beside the system-call filter (io_uring, BPF);
// changes of any file's mode, owner, times or extended attributes (the file
// barrier covers contents, not these), links, folders and special files
// (its work is plain files in one folder); and everything that touches the
// system itself: mounts, the root folder, the host's name and clock,
// modules, swap, reboot. The interpreter needs none of them.
constexpr long kDenied[] = {
    SYS_execve, SYS_execveat, SYS_socket, SYS_socketpair, SYS_ptrace, SYS_process_vm_readv,
    SYS_process_vm_writev, SYS_io_uring_setup, SYS_unshare, SYS_setns, SYS_bpf,
    SYS_perf_event_open, SYS_userfaultfd, SYS_keyctl, SYS_add_key, SYS_request_key,
#ifdef SYS_fork
    SYS_fork, SYS_vfork,
#endif
    // Metadata.
#ifdef SYS_chmod
    SYS_chmod, SYS_chown, SYS_lchown, SYS_utime, SYS_utimes, SYS_futimesat,
#endif
    SYS_fchmod, SYS_fchmodat, SYS_fchmodat2, SYS_fchown, SYS_fchownat, SYS_utimensat,
    SYS_setxattr, SYS_lsetxattr, SYS_fsetxattr, SYS_removexattr, SYS_lremovexattr,
    SYS_fremovexattr, kSysSetxattrat, kSysRemovexattrat,
    // Anything but plain files.
#ifdef SYS_mknod
    SYS_mknod, SYS_mkdir, SYS_link, SYS_symlink,
#endif
    SYS_mknodat, SYS_mkdirat, SYS_linkat, SYS_symlinkat,
    // The system.
    SYS_chroot, SYS_pivot_root, SYS_mount, SYS_umount2, SYS_open_tree, SYS_move_mount,
    SYS_fsopen, SYS_fsconfig, SYS_fsmount, SYS_fspick, SYS_mount_setattr, kSysOpenTreeAttr,
    SYS_sethostname, SYS_setdomainname, SYS_settimeofday, SYS_clock_settime, SYS_clock_adjtime,
    SYS_adjtimex, SYS_reboot, SYS_swapon, SYS_swapoff, SYS_init_module, SYS_finit_module,
    SYS_delete_module, SYS_kexec_load, SYS_kexec_file_load, SYS_acct, SYS_quotactl,
    SYS_open_by_handle_at, SYS_fanotify_init, SYS_vhangup,
#ifdef SYS_iopl
    SYS_iopl, SYS_ioperm,
#endif
};

bool ApplySeccomp() {
#if defined(__x86_64__) || defined(__aarch64__)
  enum Target : std::uint8_t { kDeny, kNoSys, kCloneFlags };
  struct Jump {
    std::size_t at;
    Target target;
  };
  std::vector<sock_filter> program;
  std::vector<Jump> jumps;
  auto jumpIf = [&](std::uint16_t test, std::uint32_t value, Target target) {
    jumps.push_back({program.size(), target});
    program.push_back(BPF_JUMP(BPF_JMP | test | BPF_K, value, 0, 0));
  };
  // Another processor's system-call numbers mean other calls: refused whole.
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  jumpIf(BPF_JGE, 0x40000000U, kDeny);  // the x32 numbers
#endif
  for (const long nr : kDenied) jumpIf(BPF_JEQ, static_cast<std::uint32_t>(nr), kDeny);
  // clone3 passes its flags where a filter cannot see them; without it the C
  // library falls back to clone, whose flags can be checked.
  jumpIf(BPF_JEQ, SYS_clone3, kNoSys);
  jumpIf(BPF_JEQ, SYS_clone, kCloneFlags);
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

  const std::size_t cloneFlags = program.size();
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
  jumpIf(BPF_JSET,
         CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS |
             CLONE_NEWCGROUP,
         kDeny);
  // Threads, which end with the job; never a process, which could outlive it.
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const std::size_t deny = program.size();
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)));
  const std::size_t noSys = program.size();
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)));

  for (const Jump& jump : jumps) {
    const std::size_t to = jump.target == kDeny ? deny : jump.target == kNoSys ? noSys : cloneFlags;
    if (to - jump.at - 1 > 255) return false;  // beyond a jump's reach: a longer list needs steps
    program[jump.at].jt = static_cast<std::uint8_t>(to - jump.at - 1);
  }
  sock_fprog fprog{};
  fprog.len = static_cast<unsigned short>(program.size());
  fprog.filter = program.data();
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &fprog) == 0;
#else
  return false;
#endif
}

// Every capability, for good, the bounding set's too: a job that root runs
// must not keep root's powers (changing any file's owner or mode, making
// devices, naming the host). Without CAP_SETPCAP the bounding set stays as
// it is, which then holds nothing this process could gain: no new
// privileges are allowed.
bool DropCapabilities() {
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  for (int cap = 0; cap < 64; ++cap) {
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;  // past the last
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, none) == 0;
}

}  // namespace

namespace {

int OpenIoAccount(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/io";
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Closes fd.
std::uint64_t ReadBytesWritten(int fd) {
  char text[512] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  const char* line = std::strstr(text, "wchar:");
  return line ? std::strtoull(line + 6, nullptr, 10) : 0;
}

}  // namespace

std::uint64_t BytesWrittenBy(pid_t pid) {
  const int fd = OpenIoAccount(pid);
  return fd < 0 ? 0 : ReadBytesWritten(fd);
}

std::optional<std::uint64_t> BytesWrittenByLiving(pid_t pid, int pidfd) {
  const int fd = OpenIoAccount(pid);
  if (fd < 0) return std::nullopt;
  // Still running after the account was opened: the account is its.
  pollfd ended{pidfd, POLLIN, 0};
  if (poll(&ended, 1, 0) != 0) {
    close(fd);
    return std::nullopt;
  }
  return ReadBytesWritten(fd);
}

void ApplyJobLimits(const JobLimits& limits) {
  const rlim_t cpu = static_cast<rlim_t>(limits.cpuSeconds);
  const rlimit cpuLimit{cpu, cpu + 1};
  setrlimit(RLIMIT_CPU, &cpuLimit);
  const rlim_t bytes = static_cast<rlim_t>(limits.memoryMiB) * 1024 * 1024;
  const rlimit memLimit{bytes, bytes};
  setrlimit(RLIMIT_AS, &memLimit);
  const rlim_t fileBytes = static_cast<rlim_t>(limits.maxOutputBytes);
  const rlimit fileLimit{fileBytes, fileBytes};
  setrlimit(RLIMIT_FSIZE, &fileLimit);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
}

bool EndWithParent(pid_t expectedParent, int signal) {
  if (prctl(PR_SET_PDEATHSIG, signal) != 0) return false;
  // The parent may have ended just before the request.
  return getppid() == expectedParent;
}

int LandlockAbiVersion() {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

namespace {

// What EnterSystemCallBarrier applied, when it was called.
struct SystemCallBarrier {
  bool noNewPrivileges = false;
  bool capabilities = false;
  bool seccomp = false;
  int landlockAbi = 0;
  int systemRuleset = -1;  // until EnterSandbox takes it
};
std::optional<SystemCallBarrier> g_systemCallBarrier;

SystemCallBarrier ApplySystemCallBarrier() {
  SystemCallBarrier barrier;
  // Required for both barriers without privileges; it also keeps a setuid
  // program from ever gaining rights here.
  barrier.noNewPrivileges = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  barrier.capabilities = DropCapabilities();
  barrier.landlockAbi = LandlockAbiVersion();
  if (barrier.noNewPrivileges && barrier.landlockAbi > 0) {
    barrier.systemRuleset = SystemRuleset(barrier.landlockAbi);
  }
  // The file barrier's calls stay allowed, for EnterSandbox.
  barrier.seccomp = barrier.noNewPrivileges && ApplySeccomp();
  return barrier;
}

}  // namespace

void EnterSystemCallBarrier() {
  if (!g_systemCallBarrier) g_systemCallBarrier = ApplySystemCallBarrier();
}

int SandboxDescriptor() { return g_systemCallBarrier ? g_systemCallBarrier->systemRuleset : -1; }

SandboxReport EnterSandbox(const fs::path& writable, int inputFd) {
  SandboxReport report;
  EnterSystemCallBarrier();
  SystemCallBarrier& barrier = *g_systemCallBarrier;
  report.capabilities = barrier.capabilities;
  const int abi = barrier.landlockAbi;
  report.landlock = barrier.noNewPrivileges && abi > 0 &&
                    ApplyLandlock(abi, std::exchange(barrier.systemRuleset, -1), writable, inputFd);
  report.seccomp = barrier.seccomp;
  if (!report.landlock && !report.seccomp) {
    report.missing = "this system offers neither Landlock nor seccomp";
  } else if (!report.landlock) {
    report.missing = abi > 0 ? "this system refused the Landlock file rules"
                             : "this system's kernel has no Landlock";
  } else if (!report.seccomp) {
    report.missing = "this system offers no seccomp filter";
  }
  if (!report.capabilities) {
    report.missing += std::string(report.missing.empty() ? "" : "; ") +
                      "the job's capabilities could not be dropped";
  }
  return report;
}
