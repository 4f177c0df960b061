// The CUPS backend of Quillpress print queues ("quillpress:/SPOOL"). It
// converts nothing: it hands the job's PostScript over, whole or not at all,
// into the spool folder that a Quillpress watch service converts, under a
// name made from the job's title, with the title, user and job number as
// header comments. Run by the scheduler as
//   quillpress JOB USER TITLE COPIES OPTIONS [FILE]
// with the queue's device URI in DEVICE_URI; without arguments it names the
// device it offers. Started as root it becomes the owner of the spool
// folder (or of the first folder on its way that is not root's) before it
// touches anything in it.

#include "print/JobNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

// The scheduler's reading of a backend's exit status.
enum BackendStatus {
  kBackendOk = 0,      // handed over
  kBackendFailed = 1,  // the queue's error policy applies
  kBackendCancel = 5,  // this job cannot be done: cancel it
  kBackendRetry = 6,   // try this job again later
};

constexpr std::string_view kScheme = "quillpress:";
constexpr std::string_view kPartPrefix = ".quillpress-job-";
constexpr std::size_t kChunk = 64 * 1024;

volatile sig_atomic_t g_cancelled = 0;

void OnTerminate(int) { g_cancelled = 1; }

std::string g_job = "?";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// One line for the job's log (standard error, which the scheduler keeps with
// the job) and the system journal.
void Say(const char* level, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", level, text.c_str());
  std::fflush(stderr);
  syslog(std::strcmp(level, "ERROR") == 0 ? LOG_ERR : LOG_INFO, "job %s: %s", g_job.c_str(), text.c_str());
}

std::optional<std::string> SpoolFolder(std::string_view uri) {
  if (uri.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  std::string_view rest = uri.substr(kScheme.size());
  // quillpress:/path, quillpress:///path or quillpress://localhost/path.
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;
    rest.remove_prefix(slash);
  }
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
      path += static_cast<char>(std::stoi(std::string(rest.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      path += rest[i];
    }
  }
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return std::nullopt;
  // The folder named, never one above it.
  for (std::size_t at = 0; at != std::string::npos;) {
    const std::size_t next = path.find('/', at + 1);
    const std::string part = path.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    if (part == "..") return std::nullopt;
    at = next;
  }
  return path;
}

// As root, a folder's owner does what is done inside it.
bool BecomeOwner(const struct stat& folder, const std::string& spool) {
  if (geteuid() != 0 || folder.st_uid == 0) return true;
  gid_t gid = folder.st_gid;
  bool ok = true;
  if (const passwd* user = getpwuid(folder.st_uid)) {
    gid = user->pw_gid;
    ok = initgroups(user->pw_name, gid) == 0;
  } else {
    ok = setgroups(1, &gid) == 0;
  }
  ok = ok && setresgid(gid, gid, gid) == 0 && setresuid(folder.st_uid, folder.st_uid, folder.st_uid) == 0;
  if (!ok) Say("ERROR", Format("cannot take on the rights of the owner of %s: %s", spool.c_str(), std::strerror(errno)));
  return ok;
}

// Opens the spool folder one folder at a time from the root, following no
// link, and as root takes on the rights of the first folder on the way that
// is not root's: a folder that a user controls (a home folder) can then
// lead the backend nowhere that user could not go, neither by a link nor by
// a folder put in place of another. Answers the folder, or -1 (said why).
int OpenSpool(const std::string& spool, struct stat& folder) {
  int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t at = 0;
  for (;;) {
    if (dir < 0 || fstat(dir, &folder) != 0) break;
    if (!BecomeOwner(folder, spool)) {
      close(dir);
      return -1;
    }
    while (at < spool.size() && spool[at] == '/') ++at;
    if (at == spool.size()) return dir;
    const std::size_t end = std::min(spool.find('/', at), spool.size());
    const std::string part = spool.substr(at, end - at);
    at = end;
    const int next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int error = errno;
      struct stat link {};
      const bool isLink = fstatat(dir, part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
      close(dir);
      Say("ERROR", Format("cannot open the spool folder %s: %s", spool.c_str(),
                          isLink ? "a folder on its way is a link" : std::strerror(error)));
      return -1;
    }
    close(dir);
    dir = next;
  }
  const int error = errno;
  if (dir >= 0) close(dir);
  Say("ERROR", Format("cannot open the spool folder %s: %s", spool.c_str(), std::strerror(error)));
  return -1;
}

// Parts of jobs whose backend is gone (killed) are never converted; they go.
void RemoveLeftParts(int dir) {
  const int listFd = dup(dir);
  if (listFd < 0) return;
  DIR* list = fdopendir(listFd);
  if (!list) {
    close(listFd);
    return;
  }
  while (const dirent* entry = readdir(list)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, kPartPrefix.size()) != kPartPrefix) continue;
    const std::string_view rest = name.substr(kPartPrefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos) continue;
    const long pid = std::strtol(std::string(rest.substr(dash + 1)).c_str(), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      unlinkat(dir, entry->d_name, 0);
    }
  }
  closedir(list);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR && !g_cancelled) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads what is there, up to size; 0 at the end, -1 on failure (errno) or
// when the job is cancelled (errno EINTR).
ssize_t ReadSome(int fd, char* data, std::size_t size) {
  for (;;) {
    if (g_cancelled) {
      errno = EINTR;
      return -1;
    }
    const ssize_t n = read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool IsOutOfSpace(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// The first bytes of the job, printable, for a message.
std::string Opening(const std::string& head) {
  return EscapedForLog(std::string_view(head).substr(0, 16), 64);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    // What `lpinfo -v` lists; the queue's URI names its spool folder.
    std::puts("file quillpress \"Quillpress PDF\" \"Quillpress PDF (a spool folder that a watch service converts)\"");
    return kBackendOk;
  }
  if (argc < 6 || argc > 7) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return kBackendFailed;
  }
  openlog("quillpress-backend", LOG_PID, LOG_LPR);
  g_job = PlainJobText(argv[1], 32);

  struct sigaction action {};
  action.sa_handler = OnTerminate;  // no SA_RESTART: a read in progress ends
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  const char* uriVariable = std::getenv("DEVICE_URI");
  const std::string uri = uriVariable ? uriVariable : argv[0];
  const std::optional<std::string> spool = SpoolFolder(uri);
  if (!spool) {
    Say("ERROR", Format("the device URI \"%s\" names no spool folder (quillpress:/FOLDER)",
        EscapedForLog(uri).c_str()));
    return kBackendFailed;
  }

  int input = STDIN_FILENO;
  if (argc == 7) {
    input = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      Say("ERROR", Format("cannot read the job's file: %s", std::strerror(errno)));
      return kBackendFailed;
    }
  }

  struct stat folder {};
  const int dir = OpenSpool(*spool, folder);
  if (dir < 0) return kBackendFailed;
  RemoveLeftParts(dir);

  const JobNames names = NamesForJob(argv[3], g_job);
  for (const std::string& note : names.notes) {
    Say("INFO", Format("job title \"%s\": %s", EscapedForLog(argv[3]).c_str(), note.c_str()));
  }
  const std::string user = PlainJobText(argv[2], 64);

  const std::string part = std::string(kPartPrefix) + g_job + "-" + std::to_string(getpid());
  const bool own = folder.st_uid == geteuid();
  umask(077);
  const int out = openat(dir, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, own ? 0600 : 0640);
  if (out < 0) {
    Say("ERROR", Format("cannot write into the spool folder %s: %s", spool->c_str(), std::strerror(errno)));
    return IsOutOfSpace(errno) ? kBackendRetry : kBackendFailed;
  }
  // Whatever goes wrong from here, the part goes.
  auto giveUp = [&](int status, const std::string& message) {
    close(out);
    unlinkat(dir, part.c_str(), 0);
    Say("ERROR", message);
    return status;
  };

  // The start of the job, enough for its first line.
  std::string head;
  head.resize(kChunk);
  std::size_t have = 0;
  for (;;) {
    const ssize_t n = ReadSome(input, head.data() + have, head.size() - have);
    if (n < 0) {
      if (g_cancelled) return giveUp(kBackendCancel, Format("job %s was cancelled while it was handed over; nothing was handed over", g_job.c_str()));
      return giveUp(kBackendFailed, Format("cannot read job %s: %s; nothing was handed over", g_job.c_str(), std::strerror(errno)));
    }
    have += static_cast<std::size_t>(n);
    if (n == 0 || have == head.size() || std::string_view(head.data(), have).find_first_of("\r\n") != std::string_view::npos) {
      break;
    }
  }
  head.resize(have);
  std::size_t start = 0;
  if (!head.empty() && head[0] == '\x04') start = 1;  // a leading end-of-job (Ctrl-D) of some drivers
  if (head.size() == start) {
    return giveUp(kBackendCancel, Format("job %s is empty; nothing was handed over", g_job.c_str()));
  }
  if (head.compare(start, 2, "%!") != 0) {
    return giveUp(kBackendCancel, Format("job %s is not PostScript (it begins with \"%s\"); nothing was handed over",
                  g_job.c_str(), Opening(head.substr(start)).c_str()));
  }
  // The job's own header comments follow these: the first of each counts.
  std::size_t lineEnd = head.find_first_of("\r\n", start);
  if (lineEnd != std::string::npos) {
    lineEnd += head.compare(lineEnd, 2, "\r\n") == 0 ? 2u : 1u;
  }
  std::string comments;
  if (lineEnd != std::string::npos) {
    comments = "%%Title: (" + names.title + ")\n%%For: " + user + "\n%%QuillpressJob: " + g_job + "\n";
  } else {
    lineEnd = head.size();  // a first line longer than a chunk: left as it is
  }
  std::size_t written = 0;
  auto put = [&](const char* data, std::size_t size) {
    if (!WriteAll(out, data, size)) return false;
    written += size;
    return true;
  };
  auto writeFailed = [&]() {
    if (g_cancelled) return giveUp(kBackendCancel, Format("job %s was cancelled while it was handed over; nothing was handed over", g_job.c_str()));
    if (IsOutOfSpace(errno)) {
      return giveUp(kBackendRetry,
                    Format("job %s does not fit into the spool folder %s (no space left after %zu bytes); nothing "
                           "was handed over, it is tried again later",
                           g_job.c_str(), spool->c_str(), written));
    }
    return giveUp(kBackendFailed, Format("cannot write job %s into the spool folder %s: %s; nothing was handed over",
                  g_job.c_str(), spool->c_str(), std::strerror(errno)));
  };
  if (!put(head.data() + start, lineEnd - start) || !put(comments.data(), comments.size()) ||
      !put(head.data() + lineEnd, head.size() - lineEnd)) {
    return writeFailed();
  }
  std::string buffer(kChunk, '\0');
  for (;;) {
    const ssize_t n = ReadSome(input, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (g_cancelled) return giveUp(kBackendCancel, Format("job %s was cancelled while it was handed over; nothing was handed over", g_job.c_str()));
      return giveUp(kBackendFailed, Format("cannot read job %s: %s; nothing was handed over", g_job.c_str(), std::strerror(errno)));
    }
    if (!put(buffer.data(), static_cast<std::size_t>(n))) return writeFailed();
  }
  // Whole on disk before it is seen under its name.
  if (fsync(out) != 0) return writeFailed();
  if (close(out) != 0) {
    const int error = errno;
    unlinkat(dir, part.c_str(), 0);
    errno = error;
    Say("ERROR", Format("cannot write job %s into the spool folder %s: %s; nothing was handed over", g_job.c_str(),
        spool->c_str(), std::strerror(errno)));
    return IsOutOfSpace(error) ? kBackendRetry : kBackendFailed;
  }
  if (g_cancelled) {
    unlinkat(dir, part.c_str(), 0);
    Say("ERROR", Format("job %s was cancelled while it was handed over; nothing was handed over", g_job.c_str()));
    return kBackendCancel;
  }

  // Its name, never replacing a file of the same name: "TITLE.ps", else
  // "TITLE 1.ps", ...
  for (unsigned n = 0;; ++n) {
    const std::string name = names.file + (n == 0 ? std::string() : " " + std::to_string(n)) + ".ps";
    int moved = renameat2(dir, part.c_str(), dir, name.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
      // A file system without the flag: a link fails just as well on a taken name.
      moved = linkat(dir, part.c_str(), dir, name.c_str(), 0);
      if (moved == 0) unlinkat(dir, part.c_str(), 0);
    }
    if (moved == 0) {
      Say("INFO", Format("job %s (\"%s\" from %s, %zu bytes) was handed over as %s/%s", g_job.c_str(),
          EscapedForLog(names.title).c_str(), EscapedForLog(user).c_str(), written, spool->c_str(),
          EscapedForLog(name).c_str()));
      return kBackendOk;
    }
    if (errno != EEXIST || n > 100000) {
      const int error = errno;
      unlinkat(dir, part.c_str(), 0);
      Say("ERROR", Format("cannot name job %s in the spool folder %s: %s; nothing was handed over", g_job.c_str(),
          spool->c_str(), std::strerror(error)));
      return kBackendFailed;
    }
  }
}
