// The CUPS backend of Quillpress print queues ("quillpress:/SPOOL"). It
// converts nothing: it hands the job's PostScript over, whole or not at all,
// into the spool folder that a Quillpress watch service converts, under a
// name made from the job's title, with the title, user and job number as
// header comments. Run by the scheduler as
//   quillpress JOB USER TITLE COPIES OPTIONS [FILE]
// with the queue's device URI in DEVICE_URI; without arguments it names the
// device it offers. Started as root it becomes the owner of the spool
// folder (or of the first folder on its way that is not root's) before it
// touches anything in it. End-of-file on its input is not yet the job's
// end: a cancel stops the filters in front of it as well, and their end
// can reach it before its own signal. So it waits for the filters to end
// and asks the scheduler whether the job is still wanted before the job
// goes under its name.

#include "Common UI Code/StopSignals.h"
#include "print/JobNames.h"
#include "print/PrintSpool.h"

#include <cups/cups.h>
#include <cups/sidechannel.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
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

constexpr std::string_view kPartPrefix = ".quillpress-job-";
constexpr std::size_t kChunk = 64 * 1024;


// CUPS cancels a job with SIGTERM.
bool Cancelled() { return StopSignals::Received() != 0; }

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
  const int priority = std::strcmp(level, "ERROR") == 0 ? LOG_ERR : std::strcmp(level, "DEBUG") == 0 ? LOG_DEBUG : LOG_INFO;
  syslog(priority, "job %s: %s", g_job.c_str(), text.c_str());
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
  if (!ok) Say("ERROR", Format("cannot take on the rights of the owner of %s: %s", EscapedForLog(spool, 500).c_str(), std::strerror(errno)));
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
      Say("ERROR", Format("cannot open the spool folder %s: %s", EscapedForLog(spool, 500).c_str(),
                          isLink ? "a folder on its way is a link" : std::strerror(error)));
      return -1;
    }
    close(dir);
    dir = next;
  }
  const int error = errno;
  if (dir >= 0) close(dir);
  Say("ERROR", Format("cannot open the spool folder %s: %s", EscapedForLog(spool, 500).c_str(), std::strerror(error)));
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
      if (errno == EINTR && !Cancelled()) continue;
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
    if (Cancelled()) {
      errno = EINTR;
      return -1;
    }
    const ssize_t n = read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The filters in front share the side channel with the backend; its end
// reads end-of-file once the last of them has gone. Requests on it are
// answered "not implemented". Answers false when the job is cancelled
// meanwhile.
bool FiltersEnded() {
  // The scheduler's side channel is a socket; anything else there is not it.
  struct stat channel {};
  if (fstat(CUPS_SC_FD, &channel) != 0 || !S_ISSOCK(channel.st_mode)) return true;
  Say("DEBUG", "the input has ended; waiting for the filters in front to end");
  for (;;) {
    pollfd fds[2] = {{CUPS_SC_FD, POLLIN, 0}, {StopSignals::Descriptor(), POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (Cancelled()) return false;
    if (ready < 0 && errno == EINTR) continue;
    // A job without filters has the channel closed already: the
    // scheduler's answer alone decides.
    if (ready < 0 || (fds[0].revents & POLLNVAL)) return true;
    char byte;
    const ssize_t n = recv(CUPS_SC_FD, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    if (n < 0) continue;
    cups_sc_command_t command;
    cups_sc_status_t status;
    char data[2048];
    int size = sizeof data;
    if (cupsSideChannelRead(&command, &status, data, &size, 1.0) == 0) {
      cupsSideChannelWrite(command, CUPS_SC_STATUS_NOT_IMPLEMENTED, nullptr, 0, 1.0);
    }
  }
}

enum class Wanted { Yes, No, Unknown };

// Whether the scheduler still means the job to be done. It changes a job's
// state before it stops the job's processes, so a job that is cancelled,
// held or stopped answers so here even when the end of its data came first.
Wanted StillWanted(std::string& why) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", std::atoi(g_job.c_str()));
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  static const char* const kAsked[] = {"job-state", "job-state-reasons"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kAsked);
  ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  ipp_attribute_t* state = response ? ippFindAttribute(response, "job-state", IPP_TAG_ENUM) : nullptr;
  Wanted wanted = Wanted::Unknown;
  if (!state || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    why = EscapedForLog(cupsLastErrorString() ? cupsLastErrorString() : "", 200);
  } else if (ippGetInteger(state, 0) != IPP_JSTATE_PROCESSING) {
    wanted = Wanted::No;
  } else {
    wanted = Wanted::Yes;
    ipp_attribute_t* reasons = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; reasons && i < ippGetCount(reasons); ++i) {
      if (std::strcmp(ippGetString(reasons, i, nullptr), "processing-to-stop-point") == 0) wanted = Wanted::No;
    }
  }
  ippDelete(response);
  return wanted;
}

bool IsOutOfSpace(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// The first bytes of the job, printable, for a message.
std::string Opening(const std::string& head) {
  return EscapedForLog(std::string_view(head).substr(0, 16), 64);
}

// Renames from to to in dir unless to is taken (errno EEXIST).
int MoveNoReplace(int dir, const std::string& from, const std::string& to) {
  int moved = renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE);
  if (moved != 0 && errno == EINVAL) {
    // A file system without the flag: a link fails just as well on a taken name.
    moved = linkat(dir, from.c_str(), dir, to.c_str(), 0);
    if (moved == 0) unlinkat(dir, from.c_str(), 0);
  }
  return moved;
}

// The refusal's record, whole or not at all, under the part's name first;
// the watch service journals it and removes it. Nothing else is lost when
// it cannot be left (a full folder): the job's log has the line.
void LeaveRefusalRecord(int dir, const std::string& part, const std::string& record, mode_t mode) {
  const int fd = openat(dir, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return;
  const bool whole = WriteAll(fd, record.data(), record.size());
  if (close(fd) != 0 || !whole ||
      MoveNoReplace(dir, part, std::string(kRefusalPrefix) + g_job + "-" + std::to_string(getpid())) != 0) {
    unlinkat(dir, part.c_str(), 0);
  }
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
  // The scheduler's job number; it names files, so digits only.
  g_job = std::string(argv[1]).substr(0, 20);
  if (g_job.empty() || g_job.find_first_not_of("0123456789") != std::string::npos) g_job = "0";

  // A read in progress ends when the job is cancelled.
  StopSignals::Install(nullptr, StopSignals::BlockedCalls::End);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  const char* uriVariable = std::getenv("DEVICE_URI");
  const std::string uri = uriVariable ? uriVariable : argv[0];
  const std::optional<std::filesystem::path> spool = SpoolOfUri(uri);
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
  const int dir = OpenSpool(spool->native(), folder);
  if (dir < 0) return kBackendFailed;
  RemoveLeftParts(dir);
  const std::string shownSpool = EscapedForLog(spool->native(), 500);

  const JobNames names = NamesForJob(argv[3], g_job);
  std::string titleNotes;
  for (const std::string& note : names.notes) {
    Say("INFO", Format("job title \"%s\": %s", EscapedForLog(argv[3]).c_str(), note.c_str()));
    titleNotes += (titleNotes.empty() ? "" : "; ") + note;
  }
  const std::string user = PlainJobText(argv[2], 64);

  const std::string part = std::string(kPartPrefix) + g_job + "-" + std::to_string(getpid());
  const bool own = folder.st_uid == geteuid();
  umask(077);
  const mode_t mode = own ? 0600 : 0640;
  std::size_t written = 0;
  int out = -1;
  // A refusal is said in the job's log and left in the spool folder for the
  // watch service's journal; whatever was written of the job goes first.
  auto refuse = [&](int status, JobRefusal reason, std::string detail = {}) {
    if (out >= 0) close(out);
    unlinkat(dir, part.c_str(), 0);
    const RefusedJob refused{reason, g_job, names.title, user, std::move(detail), written, {}};
    Say("ERROR", DescribeRefusal(refused, *spool));
    LeaveRefusalRecord(dir, part, RefusalRecord(refused), mode);
    return status;
  };
  auto readFailed = [&]() {
    if (Cancelled()) return refuse(kBackendCancel, JobRefusal::Cancelled);
    return refuse(kBackendFailed, JobRefusal::Unreadable, std::strerror(errno));
  };
  auto writeFailed = [&]() {
    if (Cancelled()) return refuse(kBackendCancel, JobRefusal::Cancelled);
    if (IsOutOfSpace(errno)) return refuse(kBackendRetry, JobRefusal::NoSpace);
    return refuse(kBackendFailed, JobRefusal::Unwritable, std::strerror(errno));
  };

  out = openat(dir, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (out < 0) return writeFailed();

  // The start of the job, enough for its first line.
  std::string head;
  head.resize(kChunk);
  std::size_t have = 0;
  for (;;) {
    const ssize_t n = ReadSome(input, head.data() + have, head.size() - have);
    if (n < 0) return readFailed();
    have += static_cast<std::size_t>(n);
    if (n == 0 || have == head.size() || std::string_view(head.data(), have).find_first_of("\r\n") != std::string_view::npos) {
      break;
    }
  }
  head.resize(have);
  std::size_t start = 0;
  if (!head.empty() && head[0] == '\x04') start = 1;  // a leading end-of-job (Ctrl-D) of some drivers
  if (head.size() == start) return refuse(kBackendCancel, JobRefusal::Empty);
  if (head.compare(start, 2, "%!") != 0) {
    return refuse(kBackendCancel, JobRefusal::NotPostScript, Opening(head.substr(start)));
  }
  // The job's own header comments follow these: the first of each counts.
  // Both are written as strings, so that a reader takes neither parenthesis
  // for part of the text.
  std::size_t lineEnd = head.find_first_of("\r\n", start);
  if (lineEnd != std::string::npos) {
    lineEnd += head.compare(lineEnd, 2, "\r\n") == 0 ? 2u : 1u;
  }
  std::string comments;
  if (lineEnd != std::string::npos) {
    comments = "%%Title: (" + names.title + ")\n%%For: (" + user + ")\n%%QuillpressJob: " + g_job + "\n";
  } else {
    lineEnd = head.size();  // a first line longer than a chunk: left as it is
  }
  auto put = [&](const char* data, std::size_t size) {
    if (!WriteAll(out, data, size)) return false;
    written += size;
    return true;
  };
  if (!put(head.data() + start, lineEnd - start) || !put(comments.data(), comments.size()) ||
      !put(head.data() + lineEnd, head.size() - lineEnd)) {
    return writeFailed();
  }
  std::string buffer(kChunk, '\0');
  for (;;) {
    const ssize_t n = ReadSome(input, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) return readFailed();
    if (!put(buffer.data(), static_cast<std::size_t>(n))) return writeFailed();
  }
  // Whole on disk before it is seen under its name.
  if (fsync(out) != 0) return writeFailed();
  const int closed = close(out);
  out = -1;
  if (closed != 0) return writeFailed();
  // The scheduler names itself to the backends it runs; run by hand, the
  // end of the input is the job's end.
  if (std::getenv("CUPS_SERVER")) {
    if (!FiltersEnded()) return refuse(kBackendCancel, JobRefusal::Cancelled);
    std::string why;
    switch (StillWanted(why)) {
      case Wanted::Yes:
        break;
      case Wanted::No:
        return refuse(kBackendCancel, JobRefusal::Cancelled);
      case Wanted::Unknown:
        return refuse(kBackendRetry, JobRefusal::Unconfirmed, why);
    }
  }
  if (Cancelled()) return refuse(kBackendCancel, JobRefusal::Cancelled);

  // Its name, never replacing a file of the same name: "TITLE.ps", else
  // "TITLE 1.ps", ...
  for (unsigned n = 0;; ++n) {
    const std::string name = names.file + (n == 0 ? std::string() : " " + std::to_string(n)) + ".ps";
    if (MoveNoReplace(dir, part, name) == 0) {
      Say("INFO", Format("job %s (\"%s\" from %s, %zu bytes) was handed over as %s/%s", g_job.c_str(),
          EscapedForLog(names.title).c_str(), EscapedForLog(user).c_str(), written, shownSpool.c_str(),
          EscapedForLog(name).c_str()));
      // A title that could not stay as it was is said in the journal too.
      if (names.madeSafe) {
        RefusedJob renamed{JobRefusal::Renamed, g_job, names.title, user, titleNotes, written, name};
        LeaveRefusalRecord(dir, part, RefusalRecord(renamed), mode);
      }
      return kBackendOk;
    }
    if (errno != EEXIST || n > 100000) return writeFailed();
  }
}
