#include "ReadyInterpreter.h"

#include "BMTUtil.h"
#include "Interpreter.h"
#include "PresetSetup.h"

#include <ghostscript/gserrors.h>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kMagic = 0x51505232;  // "QPR2"
// The server's own descriptors are kept at or above this number, so that a
// copy can close them all without touching the interpreter's.
constexpr int kServerFdBase = 512;
constexpr int kDefaultIdleSeconds = 300;
constexpr std::size_t kMaxRequestBytes = 1 << 16;

struct RequestHeader {
  std::uint32_t magic = kMagic;
  std::uint32_t size = 0;  // of the strings that follow
  std::uint64_t cpuSeconds = 0;
  std::uint64_t memoryMiB = 0;
  std::uint64_t maxOutputBytes = 0;
  std::uint32_t check = 0;  // 1: check the job's PDF rather than run a job
  std::uint32_t compress = 0;
  std::int32_t standard = 0;
  std::uint32_t unused = 0;
};

struct StartReply {
  std::int32_t pid = -1;
};

// The copy's end: its wait status and what it wrote in all, read before it
// was reaped.
struct EndReply {
  std::int32_t status = 0;
  std::uint64_t bytesWritten = 0;
};


const char* Setting() {
  const char* value = std::getenv("QUILLPRESS_PSTOPDF_READY");
  return value ? value : "";
}

// A name for a set of switches and this very program: a server started by
// another build never serves us.
std::string KeyFor(const std::vector<std::string>& switches) {
  std::uint64_t hash = 1469598103934665603ULL;
  auto mix = [&hash](const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      hash ^= bytes[i];
      hash *= 1099511628211ULL;
    }
  };
  struct stat self {};
  stat("/proc/self/exe", &self);
  mix(&self.st_dev, sizeof self.st_dev);
  mix(&self.st_ino, sizeof self.st_ino);
  mix(&self.st_mtim, sizeof self.st_mtim);
  for (const std::string& s : switches) mix(s.c_str(), s.size() + 1);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// Our folder in the session's runtime folder, made when missing. Without a
// session (cron, su, a container) a folder under /tmp stands in. Either is
// used only while it is a real folder that is ours alone: under /tmp anyone
// could have made that name first.
fs::path RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const fs::path folder = runtime && runtime[0] == '/'
                              ? fs::path(runtime) / "quillpress"
                              : fs::path("/tmp/quillpress-runtime-" + std::to_string(getuid()));
  mkdir(folder.c_str(), 0700);
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 077) != 0) {
    return {};
  }
  return folder;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Sends bytes with descriptors attached.
bool SendWithFds(int socket, const void* data, std::size_t size, const std::vector<int>& fds) {
  iovec iov{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()), 0);
  if (!fds.empty()) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t n;
  do {
    n = sendmsg(socket, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

// Receives exactly size bytes, the first part with up to wanted descriptors.
bool ReceiveWithFds(int socket, void* data, std::size_t size, std::vector<int>& fds,
                    std::size_t wanted) {
  iovec iov{data, size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * wanted), 0);
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  ssize_t n;
  do {
    n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
    if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const auto* received = reinterpret_cast<const int*>(CMSG_DATA(cmsg));
    for (std::size_t i = 0; i < count; ++i) fds.push_back(received[i]);
  }
  const auto got = static_cast<std::size_t>(n);
  return got == size || ReadAll(socket, static_cast<char*>(data) + got, size - got);
}

void AppendString(std::string& out, const std::string& s) {
  const auto size = static_cast<std::uint32_t>(s.size());
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
  out += s;
}

bool TakeString(const std::string& in, std::size_t& at, std::string& s) {
  std::uint32_t size = 0;
  if (in.size() - at < sizeof size) return false;
  std::memcpy(&size, in.data() + at, sizeof size);
  at += sizeof size;
  if (in.size() - at < size) return false;
  s.assign(in, at, size);
  at += size;
  return true;
}

// A PDF date of now, in the form the interpreter writes its own.
std::string PdfDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "D:%Y%m%d%H%M%S", &local);
  long offset = local.tm_gmtoff / 60;
  std::string date = text;
  if (offset == 0) return date + "Z00'00'";
  date += offset < 0 ? '-' : '+';
  offset = offset < 0 ? -offset : offset;
  std::snprintf(text, sizeof text, "%02ld'%02ld'", offset / 60, offset % 60);
  return date + text;
}

// Whether text can go between parentheses in PostScript as it is.
bool PlainDate(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (const char c : text) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '+' || c == '-' ||
          c == '\'')) {
      return false;
    }
  }
  return true;
}

// Starts a server for switches, detached from us, and does not wait for it.
void StartServer(const fs::path& socketPath, const std::vector<std::string>& switches) {
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
    close_range(3, ~0U, 0);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<std::string> args = {"pstopdf", "--ready-server", socketPath.string()};
    args.insert(args.end(), switches.begin(), switches.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

int Connect(const fs::path& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.native().size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.native().size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string ReadyOutputFile() { return "/proc/self/cwd/out.pdf"; }

bool ReadyInterpreterRequired() { return std::strcmp(Setting(), "require") == 0; }

bool ReadyInterpretersWanted() {
  return std::strcmp(Setting(), "0") != 0 && !RuntimeFolder().empty() && LandlockAbiVersion() > 0;
}

std::optional<ReadyJob> StartReadyJob(const ReadyJobRequest& request) {
  const fs::path folder = RuntimeFolder();
  if (folder.empty()) return std::nullopt;
  const fs::path socketPath = folder / ("pstopdf-" + KeyFor(request.switches) + ".sock");

  int connection = Connect(socketPath);
  if (connection < 0) {
    StartServer(socketPath, request.switches);
    if (!ReadyInterpreterRequired()) return std::nullopt;
    // Required (tests, benchmarks): waited for until it answers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (connection < 0 && std::chrono::steady_clock::now() < deadline) {
      poll(nullptr, 0, 10);
      connection = Connect(socketPath);
    }
    if (connection < 0) return std::nullopt;
  }

  std::string strings;
  AppendString(strings, request.work.string());
  AppendString(strings, request.creationDate.value_or(""));
  AppendString(strings, request.setup);
  for (const std::string& file : request.files) AppendString(strings, file);
  RequestHeader header;
  header.size = static_cast<std::uint32_t>(strings.size());
  header.cpuSeconds = request.limits.cpuSeconds;
  header.memoryMiB = request.limits.memoryMiB;
  header.maxOutputBytes = request.limits.maxOutputBytes;
  if (request.check) {
    header.check = 1;
    // How to write it, in bits: 1 compress, 2 small images.
    header.compress = (request.check->compress ? 1U : 0U) | (request.check->smallImages ? 2U : 0U);
    header.standard = request.check->standard;
  }
  StartReply reply;
  std::vector<int> fds;
  std::vector<int> passed = {request.inputFd, request.errorFd};
  if (!request.check) passed.push_back(request.doneFd);
  if (!SendWithFds(connection, &header, sizeof header, passed) ||
      !WriteAll(connection, strings.data(), strings.size()) ||
      !ReceiveWithFds(connection, &reply, sizeof reply, fds, 1) || reply.pid <= 0 ||
      fds.size() != 1) {
    for (const int fd : fds) close(fd);
    close(connection);
    return std::nullopt;
  }
  return ReadyJob{reply.pid, fds[0], connection};
}

int ReadyJobStatus(ReadyJob& job, std::uint64_t& bytesWritten) {
  EndReply reply;
  if (!ReadAll(job.connection, &reply, sizeof reply)) {
    reply.status = SIGKILL;  // as killed
    job.serverLost = true;
  }
  bytesWritten = reply.bytesWritten;
  close(job.connection);
  close(job.pidfd);
  job.connection = job.pidfd = -1;
  return reply.status;
}

void LeaveReadyJob(ReadyJob& job) {
  close(job.connection);
  close(job.pidfd);
  job.connection = job.pidfd = -1;
}

namespace {

// A running copy and the connection of the caller it works for.
struct Copy {
  int connection = -1;
  int pidfd = -1;
  // Its caller has gone and it has been killed: its connection, which stays
  // readable at its end, is no longer watched while its memory is freed.
  bool killed = false;
};

int Above(int fd) {
  if (fd < 0 || fd >= kServerFdBase) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kServerFdBase);
  close(fd);
  return moved;
}

// The interpreter opened its output and work files in our folder when it
// started; a copy gets files of its own of the same names in its folder,
// holding what ours hold, at the same offsets, on the same descriptors.
// With unnamedFolder, the work files, which the interpreter never looks for
// by name, are made there without a name instead, and the output is left:
// a spare makes those while it waits, and its job's folder then gets only
// the output. Each new file takes a while on a busy file system.
bool TakeOwnFiles(const fs::path& serverFolder, const fs::path& unnamedFolder = {}) {
  const std::string prefix = serverFolder.string() + "/";
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return false;
  std::vector<int> fds;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != dirfd(dir) && fd < kServerFdBase) fds.push_back(fd);
  }
  closedir(dir);
  for (const int fd : fds) {
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    std::string path = target;
    if (path.rfind(prefix, 0) != 0) continue;
    // A file removed while open still has its contents, through fd.
    constexpr std::string_view kDeleted = " (deleted)";
    const bool deleted = path.size() > kDeleted.size() &&
                         path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
    if (deleted) path.resize(path.size() - kDeleted.size());
    const std::string name = path.substr(prefix.size());
    if (name.empty() || name.find('/') != std::string::npos) return false;
    const bool unnamed = !unnamedFolder.empty();
    if (unnamed && "/proc/self/cwd/" + name == ReadyOutputFile()) continue;
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    const int own = unnamed ? open(unnamedFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)
                            : open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    // Left to be made by name where files without one are not offered.
    if (own < 0 && unnamed) continue;
    if (own < 0 || offset < 0) return false;
    const int original = deleted ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[1 << 14];
    ssize_t got = 0;
    for (off_t at = 0; original >= 0 && (got = pread(original, buffer, sizeof buffer, at)) > 0; at += got) {
      if (write(own, buffer, static_cast<size_t>(got)) != got) return false;
    }
    if (original >= 0) close(original);
    if (original < 0 || got < 0 || lseek(own, offset, SEEK_SET) != offset) return false;
    if (deleted && !unnamed) unlink(name.c_str());
    // Keep the descriptor's flags (append, close-on-exec) as the interpreter set them.
    const int flags = fcntl(fd, F_GETFL);
    const int fdFlags = fcntl(fd, F_GETFD);
    if (dup3(own, fd, (fdFlags & FD_CLOEXEC) ? O_CLOEXEC : 0) < 0) return false;
    if (flags >= 0) fcntl(fd, F_SETFL, flags);
    close(own);
  }
  return true;
}

// Empties the folder open as dir, through it: what another process has put
// at the folder's path meanwhile is never touched.
void RemoveBeneath(int dir) {
  DIR* listing = fdopendir(fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!listing) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(listing);
  for (const std::string& name : names) {
    if (unlinkat(dir, name.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM)) continue;
    const int inner = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0) continue;
    RemoveBeneath(inner);
    close(inner);
    unlinkat(dir, name.c_str(), AT_REMOVEDIR);
  }
}

// Removes the folder open as dir, whose path was path when it was made: its
// contents by the handle, the folder itself only while the path still names
// it.
void RemoveOwnFolder(int dir, const fs::path& path) {
  RemoveBeneath(dir);
  struct stat held {}, named {};
  if (fstat(dir, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino) {
    rmdir(path.c_str());
  }
}

// The folders of servers for this socket that were killed: a live server
// holds its folder locked.
void RemoveKilledServersFolders(const fs::path& socketPath) {
  const std::string prefix = socketPath.filename().string() + ".";
  std::error_code ec;
  for (fs::directory_iterator it(socketPath.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0 || it->path().extension() != ".d") continue;
    const int dir = open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) continue;
    if (flock(dir, LOCK_EX | LOCK_NB) == 0) RemoveOwnFolder(dir, it->path());
    close(dir);
  }
}

// How every copy begins, a spare as it is made: default signals, and an end
// with the server.
void LeaveServer(pid_t server) {
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  if (!EndWithParent(server, SIGKILL)) _exit(kReadyCopyUnfit);
}

// How every copy begins its job: the caller's standard error, and nothing on
// standard input and output.
void StartCopy(int errorFd) {
  dup2(errorFd, STDERR_FILENO);
  const int null = open("/dev/null", O_RDWR);
  dup2(null, STDIN_FILENO);
  dup2(null, STDOUT_FILENO);
  if (null > STDERR_FILENO) close(null);
}

// A job's input, its standard error and where it says it is done; a
// check's go and its standard error.
std::size_t PassedFds(const RequestHeader& header) { return header.check ? 2 : 3; }

void SayDone(int done) {
  const char byte = 1;
  while (write(done, &byte, 1) < 0 && errno == EINTR) {
  }
}

[[noreturn]] void RunCopy(const Interpreter& gs, void* instance, const fs::path& serverFolder,
                          const std::vector<int>& fds, const RequestHeader& header,
                          const std::string& strings) {
  StartCopy(fds[1]);
  const int input = fcntl(fds[0], F_DUPFD, 3);
  const int done = fcntl(fds[2], F_DUPFD_CLOEXEC, 3);
  // Nothing of the server's, nor of the other jobs', stays with the job.
  close_range(kServerFdBase, ~0U, 0);

  std::size_t at = 0;
  std::string work, date, setup;
  std::vector<std::string> files;
  if (!TakeString(strings, at, work) || !TakeString(strings, at, date) ||
      !TakeString(strings, at, setup)) {
    _exit(kReadyCopyUnfit);
  }
  for (std::string file; at < strings.size() && TakeString(strings, at, file);) files.push_back(file);
  if (chdir(work.c_str()) != 0 || !TakeOwnFiles(serverFolder)) _exit(kReadyCopyUnfit);
  ApplyJobLimits(JobLimits{static_cast<unsigned long>(header.cpuSeconds),
                           static_cast<unsigned long>(header.memoryMiB),
                           static_cast<unsigned long long>(header.maxOutputBytes)});
  tzset();
  // The interpreter dated the document when it started: dated now instead,
  // or by the document's own date, as a fresh start would.
  const std::string now = PdfDateNow();
  std::string prologue = "[ /CreationDate (" + now + ") /ModDate (" + now + ") /DOCINFO pdfmark\n";
  if (PlainDate(date)) prologue += "/QuillpressCreationDate (" + date + ") def\n";

  const SandboxReport sandbox = EnterSandbox(work, input);
  if (!sandbox.missing.empty()) {
    std::fprintf(stderr, "pstopdf: note: %s; converting with the other safeguards only\n",
                 sandbox.missing.c_str());
  }
  int exitCode = 0;
  int code = gs.runString(instance, prologue.c_str(), 0, &exitCode);
  for (const std::string& file : files) {
    if (code < 0) break;
    code = gs.runFile(instance, file.c_str(), 0, &exitCode);
  }
  if (code >= 0 && !setup.empty()) code = gs.runString(instance, setup.c_str(), 0, &exitCode);
  if (code >= 0) {
    const std::string path = "/proc/self/fd/" + std::to_string(input);
    code = gs.runFile(instance, path.c_str(), 0, &exitCode);
  }
  const bool quit = code == gs_error_Quit;
  bool ok = (code >= 0 || quit) && FinishWithoutEnding(gs, instance);
  if (!ok) {
    const int exitStatus = gs.exit(instance);
    ok = (code >= 0 || quit) && exitStatus >= 0;
    if (!ok) WriteInterpreterNote();
  }
  // The PDF is complete: its check need not wait for this process's end.
  // It waits to be ended, so that what it wrote can be read while it is
  // certainly this process.
  if (ok) {
    SayDone(done);
    for (;;) pause();
  }
  _exit(1);
}

// A copy that checks a job's PDF: it keeps nothing of the server's, not even
// the interpreter's files, and is confined as the job was.
[[noreturn]] void RunCheckCopy(WritePdfFn write, int goFd, int errorFd,
                               const RequestHeader& header, const std::string& strings) {
  StartCopy(errorFd);
  const int go = fcntl(goFd, F_DUPFD_CLOEXEC, 3);
  if (go < 0) _exit(1);
  // Of ours, only go, and what a spare made ready for its barrier.
  const int ruleset = SandboxDescriptor();
  unsigned from = 3;
  for (const int keep : {std::min(go, ruleset), std::max(go, ruleset)}) {
    if (keep < static_cast<int>(from)) continue;
    if (static_cast<unsigned>(keep) > from) close_range(from, static_cast<unsigned>(keep) - 1, 0);
    from = static_cast<unsigned>(keep) + 1;
  }
  close_range(from, ~0U, 0);
  std::size_t at = 0;
  std::string work;
  if (!TakeString(strings, at, work) || chdir(work.c_str()) != 0) _exit(1);
  ApplyJobLimits(JobLimits{static_cast<unsigned long>(header.cpuSeconds),
                           static_cast<unsigned long>(header.memoryMiB),
                           static_cast<unsigned long long>(header.maxOutputBytes)});
  EnterSandbox(work, -1);  // what it lacks was said for the job
  RunCheck(write, go, work,
           CheckRequest{(header.compress & 1U) != 0, header.standard, (header.compress & 2U) != 0});
}

// A copy made ahead of its request, so that the fork is no part of a job's
// time. It has seen nothing but the server's start, as a copy made for the
// request would have, and waits on its channel for the request the server
// passes on. Named apart from copies at work while it waits.
struct Spare {
  pid_t pid = -1;
  int pidfd = -1;
  int channel = -1;  // the server's end
  bool check = false;  // made for a check, which needs no work files
};

// How long the server waits after its last work before it makes spares: the
// forks, and the spares' first moments, would take a processor from what a
// job's caller does last, putting the PDF in place, on a machine of few
// processors.
constexpr auto kSpareSettle = std::chrono::milliseconds(50);

// The room a job spare gives its heap to grow into before the job comes.
constexpr std::size_t kJobHeapRoom = std::size_t(2) << 20;

// Whether a request waits on channel.
bool Asked(int channel) {
  pollfd request{channel, POLLIN, 0};
  return poll(&request, 1, 0) > 0;
}

// One line of /proc/self/maps: where, how it may be used ("r-xp"), and what
// is mapped there (empty for memory of the process's own).
struct Mapping {
  unsigned long from = 0;
  unsigned long to = 0;
  std::string_view permissions;
  std::string_view path;
};

// Calls visit on each of this process's mappings, in order, while it
// answers true.
template <typename Visit>
void ForEachMapping(const Visit& visit) {
  const std::string maps = BMTUtil::ReadSmallFile("/proc/self/maps");
  for (std::size_t at = 0; at < maps.size();) {
    const std::size_t next = std::min(maps.find('\n', at), maps.size());
    const std::string line = maps.substr(at, next - at);
    at = next + 1;
    Mapping mapping;
    int permissionsAt = 0, permissionsEnd = 0, pathAt = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %n%*s%n %*x %*s %*u %n", &mapping.from, &mapping.to,
                    &permissionsAt, &permissionsEnd, &pathAt) != 2 ||
        pathAt == 0) {
      continue;
    }
    const std::string_view text = line;
    mapping.permissions = text.substr(static_cast<std::size_t>(permissionsAt),
                                      static_cast<std::size_t>(permissionsEnd - permissionsAt));
    mapping.path = text.substr(static_cast<std::size_t>(pathAt));
    if (!visit(mapping)) return;
  }
}

// Makes the memory a job writes first this copy's own while it waits. The
// first write to each page of the heap it shares with the server, and to each
// page the heap grows by, costs a fault, tens of microseconds each on some
// machines: hundreds of them were most of a short job's time. Done here,
// where nothing waits on it, a part at a time, until a request comes on
// channel: its job then takes the rest as faults. A kernel without the means
// leaves them all to the job.
void MakeHeapOwn(int channel) {
  // Room to grow into, kept when freed: small blocks, which come from the
  // heap rather than mappings of their own.
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(4 * kJobHeapRoom));
  constexpr std::size_t kBlock = std::size_t(64) << 10;
  std::vector<void*> blocks;
  for (std::size_t room = 0; room < kJobHeapRoom; room += kBlock) {
    if (void* block = std::malloc(kBlock)) blocks.push_back(block);
  }
  for (void* block : blocks) std::free(block);
  // The heap as it now is, room included: the room this copy grew it by is
  // a mapping of its own, listed after the part it shares with the server.
  unsigned long start = 0, end = 0;
  ForEachMapping([&](const Mapping& mapping) {
    if (mapping.path != "[heap]") return true;
    if (start == 0) start = mapping.from;
    end = mapping.to;
    return true;
  });
  constexpr unsigned long kPart = 1UL << 20;
  for (unsigned long at = start; at < end && !Asked(channel); at += kPart) {
    madvise(reinterpret_cast<void*>(at), std::min(kPart, end - at), MADV_POPULATE_WRITE);
  }
}

// Reads a byte of each page this copy has in memory while it waits. In some
// virtual machines a process's first use of each page costs microseconds,
// even of a page it already has, as the host fills tables of its own: a
// copy's job spent a few milliseconds so on the interpreter's code and
// memory, which the server had used long before. Only pages in memory are
// read, so that nothing is read from disk or made for this, and only the
// process's own memory and its files' ([vvar] and the like can fault on
// reading, and a device's memory may answer a read). A request on channel
// stops it.
void TouchPagesInMemory(int channel) {
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return;
  const auto page = static_cast<unsigned long>(pageSize);
  constexpr unsigned long kPartPages = 1024;
  std::vector<unsigned char> inMemory(kPartPages);
  unsigned long pages = 0;
  bool asked = false;
  ForEachMapping([&](const Mapping& mapping) {
    const std::string_view path = mapping.path;
    const bool plain = path.empty() || path == "[heap]" || path == "[stack]" ||
                       (path.front() == '/' && !path.starts_with("/dev/"));
    if (mapping.permissions.size() < 4 || mapping.permissions[0] != 'r' ||
        mapping.permissions[3] != 'p' || !plain) {
      return true;
    }
    for (unsigned long part = mapping.from; part < mapping.to && !asked; part += kPartPages * page) {
      const unsigned long length = std::min(kPartPages * page, mapping.to - part);
      if (mincore(reinterpret_cast<void*>(part), length, inMemory.data()) != 0) break;
      for (unsigned long i = 0; i < length / page && !asked; ++i) {
        if ((inMemory[i] & 1) == 0) continue;
        (void)*reinterpret_cast<const volatile char*>(part + i * page);
        // Looked at often enough that a job waits a fraction of a millisecond.
        if (++pages % 64 == 0 && Asked(channel)) asked = true;
      }
    }
    return !asked;
  });
}

constexpr char kSpareName[] = "pstopdf-spare";
constexpr char kCopyName[] = "pstopdf-copy";

[[noreturn]] void WaitAsSpare(const Interpreter& gs, void* instance, WritePdfFn writePdf,
                              pid_t server, const fs::path& serverFolder,
                              const fs::path& temporaryFolder, bool check, int channel) {
  LeaveServer(server);
  // Nothing of the server's but the channel: no caller's connection stays
  // open here, nor another spare's channel.
  close_range(kServerFdBase, static_cast<unsigned>(channel) - 1, 0);
  close_range(static_cast<unsigned>(channel) + 1, ~0U, 0);
  const bool prepare = !Asked(channel);
  // A job's work files, in the folder the jobs' private folders are made in.
  if (!check && !TakeOwnFiles(serverFolder, temporaryFolder)) _exit(kReadyCopyUnfit);
  // What every job or check begins with, run once here while it waits: the
  // first run in a fresh copy costs milliseconds more than the next, as the
  // copy first touches the memory it shares with the server. Nothing a job
  // could tell from a copy that has not run: no drawing, no definitions,
  // only what leaves the stacks as they were.
  if (!prepare) {
    // Asked already: its job pays for that as a copy made for it would.
  } else if (check) {
    if (writePdf) WarmPdfWriter(writePdf);
    TouchPagesInMemory(channel);
  } else {
    int exitCode = 0;
    if (gs.runString(instance, "mark /A 1 /B (x) 3 array astore { } forall cleartomark", 0,
                     &exitCode) < 0) {
      _exit(kReadyCopyUnfit);
    }
    MakeHeapOwn(channel);
    TouchPagesInMemory(channel);
  }
  // Confined as far as it can be before it knows its job, while it waits.
  EnterSystemCallBarrier();
  RequestHeader header;
  std::vector<int> fds;
  std::string strings;
  bool valid = ReceiveWithFds(channel, &header, sizeof header, fds, 3) &&
               fds.size() == PassedFds(header) && header.size <= kMaxRequestBytes &&
               (header.check == 0 || writePdf);
  if (valid) {
    strings.resize(header.size);
    valid = ReadAll(channel, strings.data(), strings.size());
  }
  if (!valid) _exit(kReadyCopyUnfit);
  prctl(PR_SET_NAME, kCopyName);
  // Where a copy made for the request has them: among the server's, which
  // the copy closes.
  for (int& fd : fds) fd = Above(fd);
  if (header.check) RunCheckCopy(writePdf, fds[0], fds[1], header, strings);
  RunCopy(gs, instance, serverFolder, fds, header, strings);
}

Spare MakeSpare(const Interpreter& gs, void* instance, WritePdfFn writePdf, pid_t server,
                const fs::path& serverFolder, const fs::path& temporaryFolder, bool check) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  const int ours = Above(ends[0]);
  const int theirs = Above(ends[1]);
  // Named so from its first moment, so that no one takes it for a copy at
  // work.
  char name[16] = {};
  prctl(PR_GET_NAME, name);
  prctl(PR_SET_NAME, kSpareName);
  const pid_t pid = ours >= 0 && theirs >= 0 ? fork() : -1;
  if (pid != 0) prctl(PR_SET_NAME, name);
  if (pid == 0) {
    close(ours);
    WaitAsSpare(gs, instance, writePdf, server, serverFolder, temporaryFolder, check, theirs);
  }
  close(theirs);
  const int pidfd = pid > 0 ? Above(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) : -1;
  if (pidfd < 0) {
    if (pid > 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    if (ours >= 0) close(ours);
    return {};
  }
  return Spare{pid, pidfd, ours, check};
}

void DropSpare(Spare& spare) {
  if (spare.pid <= 0) return;
  close(spare.channel);
  syscall(SYS_pidfd_send_signal, spare.pidfd, SIGKILL, nullptr, 0);
  while (waitpid(spare.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  close(spare.pidfd);
  spare = {};
}

// Passes the request on to a spare, which becomes its copy; its pid, and its
// pidfd for the caller. -1 when there is none, or it is gone.
pid_t HandToSpare(std::vector<Spare>& spares, const RequestHeader& header,
                  const std::string& strings, const std::vector<int>& fds, int& pidfd) {
  while (!spares.empty()) {
    // One made for this kind of request, else any.
    auto it = std::find_if(spares.begin(), spares.end(),
                           [&](const Spare& s) { return s.check == (header.check != 0); });
    if (it == spares.end()) it = spares.end() - 1;
    Spare spare = *it;
    spares.erase(it);
    if (SendWithFds(spare.channel, &header, sizeof header, fds) &&
        WriteAll(spare.channel, strings.data(), strings.size())) {
      close(spare.channel);
      pidfd = spare.pidfd;
      return spare.pid;
    }
    DropSpare(spare);
  }
  return -1;
}

}  // namespace

void RunReadyServer(int argc, char** argv) {
  if (argc < 3) _exit(2);
  const fs::path socketPath = argv[2];
  std::vector<std::string> switches(argv + 3, argv + argc);
  const fs::path lockPath = socketPath.string() + ".lock";

  // One server per socket: the one that holds the lock.
  const int lock = Above(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) _exit(0);
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lock, 0) != 0 || pwrite(lock, pid.data(), pid.size(), 0) < 0) _exit(1);
  RemoveKilledServersFolders(socketPath);
  // Our folder has a name no other server has, and is held open and locked
  // while we live: when the runtime folder is emptied under us, the server
  // that starts next never works where we would clean up.
  const fs::path folder = socketPath.string() + "." + std::to_string(getpid()) + ".d";
  const int own = mkdir(folder.c_str(), 0700) == 0
                      ? Above(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
                      : -1;
  if (own < 0 || flock(own, LOCK_EX | LOCK_NB) != 0 || fchdir(own) != 0) _exit(1);
  auto leave = [&](int status) {
    RemoveOwnFolder(own, folder);
    _exit(status);
  };

  // The interpreter's work files go where each process works: ours here,
  // a copy's in its job's private folder.
  const fs::path temporary = BMTUtil::TemporaryFolder();
  setenv("TMPDIR", "/proc/self/cwd", 1);
  setenv("TEMP", "/proc/self/cwd", 1);
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"}) {
    unsetenv(name);
  }
  const auto gs = LoadInterpreter(true);
  if (!gs) leave(1);
  void* instance = StartInterpreter(*gs, switches);
  if (!instance) leave(1);
  // The fonts that documents name most without embedding them (listings,
  // manual pages, office documents): loaded once here rather than by every
  // copy, which spends a few milliseconds on each. Not all fourteen standard
  // ones: every font here makes each copy's final collection of its memory
  // longer, whether the job uses it or not. A font the system lacks is left
  // to the job.
  int preloadExit = 0;
  gs->runString(instance,
                "[ /Times-Roman /Times-Bold /Times-Italic /Helvetica /Helvetica-Bold /Courier "
                "/Courier-Bold /Courier-Oblique /Courier-BoldOblique /Symbol ] "
                "{ { findfont pop } stopped { pop } if } forall",
                0, &preloadExit);
  // The preset's definitions, the same for every job: run once here rather
  // than by every copy. A server that cannot serves no one.
  int definitionsExit = 0;
  if (gs->runString(instance, kPresetDefinitions, 0, &definitionsExit) < 0) leave(1);
  NoteStartingEndPage(*gs, instance);
  // The PDF library too, for the copies that check what a job made.
  const WritePdfFn writePdf = LoadPdfWriter();
  if (writePdf) WarmPdfWriter(writePdf);

  unlink(socketPath.c_str());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.native().size() >= sizeof address.sun_path) leave(1);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.native().size() + 1);
  const int listener = Above(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    leave(1);
  }
  struct stat ours {};
  stat(socketPath.c_str(), &ours);
  const pid_t self = getpid();

  int idleSeconds = kDefaultIdleSeconds;
  if (const char* text = std::getenv("QUILLPRESS_PSTOPDF_READY_SECONDS"); text && *text) {
    idleSeconds = std::max(1, std::atoi(text));
  }
  auto lastWork = std::chrono::steady_clock::now();
  std::map<pid_t, Copy> copies;
  std::vector<Spare> spares;
  // Spares are made only while a processor is free for them: made beside a
  // job on a machine of few processors, they slow that job by about what a
  // spare saves the next one. A request that finds none has its copy made
  // then.
  const std::size_t processors = BMTUtil::UsableProcessors();
  auto processorFree = [&] { return copies.empty() || copies.size() + 1 < processors; };
  auto sparesMissing = [&] { return spares.size() < 2; };
  // Spares that could not be made (no process to be had) are tried again a
  // while later, not at every turn.
  auto sparesRetry = std::chrono::steady_clock::time_point{};
  auto sparesDue = [&] { return std::max(lastWork + kSpareSettle, sparesRetry); };
  // One for a job and one for its check, which are asked for together.
  auto makeSpares = [&] {
    for (const bool check : {false, true}) {
      if (std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.check == check; })) {
        continue;
      }
      const Spare spare = MakeSpare(*gs, instance, writePdf, self, folder, temporary, check);
      if (spare.pid > 0) spares.push_back(spare);
    }
  };
  makeSpares();

  for (;;) {
    std::vector<pollfd> watched{{listener, POLLIN, 0}};
    std::vector<pid_t> order;
    for (const auto& [copyPid, copy] : copies) {
      watched.push_back({copy.pidfd, POLLIN, 0});
      watched.push_back({copy.killed ? -1 : copy.connection, POLLIN | POLLRDHUP, 0});
      order.push_back(copyPid);
    }
    // The spares that requests took are made once nothing has happened for
    // a moment.
    int waitMilliseconds = 1000;
    if (sparesMissing() && processorFree()) {
      const auto due = sparesDue() - std::chrono::steady_clock::now();
      waitMilliseconds = static_cast<int>(std::clamp<std::int64_t>(
          std::chrono::ceil<std::chrono::milliseconds>(due).count(), 0, 1000));
    }
    const int ready = poll(watched.data(), watched.size(), waitMilliseconds);
    if (ready < 0 && errno != EINTR) leave(1);

    // Gone or replaced (another build, a test's folder removed): make way.
    struct stat now {};
    if (stat(socketPath.c_str(), &now) != 0 || now.st_ino != ours.st_ino ||
        now.st_dev != ours.st_dev) {
      for (const auto& [copyPid, copy] : copies) kill(copyPid, SIGKILL);
      leave(0);
    }
    if (copies.empty() && std::chrono::steady_clock::now() - lastWork > std::chrono::seconds(idleSeconds)) {
      if (stat(socketPath.c_str(), &now) == 0 && now.st_ino == ours.st_ino && now.st_dev == ours.st_dev) {
        unlink(socketPath.c_str());
      }
      leave(0);
    }
    if (ready <= 0) {
      const auto moment = std::chrono::steady_clock::now();
      if (sparesMissing() && processorFree() && moment >= sparesDue()) {
        makeSpares();
        if (sparesMissing()) sparesRetry = moment + std::chrono::seconds(1);
      }
      continue;
    }

    for (std::size_t i = 0; i < order.size(); ++i) {
      const pid_t copyPid = order[i];
      Copy& copy = copies[copyPid];
      if (watched[1 + 2 * i].revents) {
        EndReply answer;
        answer.bytesWritten = BytesWrittenBy(copyPid);  // still there until reaped
        int status = 0;
        while (waitpid(copyPid, &status, 0) < 0 && errno == EINTR) {
        }
        answer.status = status;
        WriteAll(copy.connection, &answer, sizeof answer);
        close(copy.connection);
        close(copy.pidfd);
        copies.erase(copyPid);
        lastWork = std::chrono::steady_clock::now();
      } else if (watched[2 + 2 * i].revents) {
        // The caller has gone (or broke the protocol): its job goes too.
        syscall(SYS_pidfd_send_signal, copy.pidfd, SIGKILL, nullptr, 0);
        copy.killed = true;
      }
    }

    if (!(watched[0].revents & POLLIN)) continue;
    const int connection = Above(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (connection < 0) continue;
    lastWork = std::chrono::steady_clock::now();
    // Only our own user's programs may ask.
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    const timeval timeout{2, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    RequestHeader header;
    std::vector<int> fds;
    std::string strings;
    bool valid = getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0 &&
                 peer.uid == getuid() && ReceiveWithFds(connection, &header, sizeof header, fds, 3) &&
                 fds.size() == PassedFds(header) && header.magic == kMagic &&
                 header.size <= kMaxRequestBytes &&
                 (header.check == 0 || writePdf);
    for (int& fd : fds) fd = Above(fd);
    if (valid) {
      strings.resize(header.size);
      valid = ReadAll(connection, strings.data(), strings.size());
    }
    pid_t copyPid = -1;
    int pidfd = -1;
    if (valid) copyPid = HandToSpare(spares, header, strings, fds, pidfd);
    if (valid && copyPid < 0) {
      copyPid = fork();
      if (copyPid == 0) LeaveServer(self);
      if (copyPid == 0 && header.check) RunCheckCopy(writePdf, fds[0], fds[1], header, strings);
      if (copyPid == 0) RunCopy(*gs, instance, folder, fds, header, strings);
      pidfd = copyPid > 0 ? Above(static_cast<int>(syscall(SYS_pidfd_open, copyPid, 0))) : -1;
    }
    for (const int fd : fds) close(fd);
    const StartReply reply{copyPid > 0 && pidfd >= 0 ? copyPid : -1};
    if (reply.pid < 0 || !SendWithFds(connection, &reply, sizeof reply, {pidfd})) {
      if (copyPid > 0) {
        kill(copyPid, SIGKILL);
        while (waitpid(copyPid, nullptr, 0) < 0 && errno == EINTR) {
        }
      }
      if (pidfd >= 0) close(pidfd);
      close(connection);
      continue;
    }
    copies[copyPid] = Copy{connection, pidfd};
    // A job's check is asked for right after the job: the spares for the
    // next pair are made once both are taken, so that no fork keeps the
    // check's request waiting.
    if (header.check && processorFree()) makeSpares();
  }
}
