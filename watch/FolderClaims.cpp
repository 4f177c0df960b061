#include "watch/FolderClaims.h"

#include "watch/SourceDisposalOps.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string HostName() {
  if (const char* name = std::getenv("QUILLPRESS_HOST_NAME"); name && *name) return name;
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0 || !buffer[0]) return "localhost";
  return buffer;
}

// The start time of a process in clock ticks since boot, field 22 of its
// stat file; empty when there is no such process. With the pid it names a
// process for good: a pid used again has another start time.
std::string StartTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return {};
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  // Fields from the third on; the start time is the 22nd.
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return {};
}

// Renames from into our own claim folder as to. Where the file system has
// no RENAME_NOREPLACE (FUSE, NFS and others), a plain rename still decides
// between watchers, as only one can move the same entry; the target is
// free unless we hold that name already, as no one else puts files in our
// folder.
bool RenameIntoOwnFolder(const fs::path& from, const fs::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

std::string Clean(std::string s) {
  for (char& c : s) {
    if (c == '/' || c == '~') c = '_';
  }
  return s;
}

}  // namespace

std::string FolderClaims::OwnOwner() {
  const pid_t pid = getpid();
  return Clean(HostName()) + "~" + std::to_string(pid) + "~" + StartTime(pid);
}

FolderClaims::FolderClaims(std::string owner) : m_owner(std::move(owner)) {
  m_host = m_owner.substr(0, m_owner.find('~'));
}

fs::path FolderClaims::OwnFolder(const fs::path& source) const {
  return source / kClaimsFolder / m_owner;
}

FolderClaims::Claim FolderClaims::Take(const fs::path& source, const std::string& name) const {
  Claim claim;
  const fs::path folder = OwnFolder(source);
  if (access((source / name).c_str(), F_OK) != 0) {
    claim.error = errno;  // gone already: no claim folder made for nothing
    return claim;
  }
  // Another watcher may remove the empty claims folder between our two
  // steps; a few tries settle it.
  for (int attempt = 0; attempt < 5; ++attempt) {
    mkdir((source / kClaimsFolder).c_str(), 0700);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      claim.error = errno;
      if (errno == ENOENT) continue;
      return claim;
    }
    const fs::path target = folder / name;
    if (RenameIntoOwnFolder(source / name, target)) {
      claim.claimed = target;
      claim.error = 0;
      return claim;
    }
    claim.error = errno;
    if (errno != ENOENT || access(source.c_str(), F_OK) != 0 || access((source / name).c_str(), F_OK) != 0) {
      break;  // the file is gone (taken by someone else), or the folder
    }
  }
  return claim;
}

fs::path FolderClaims::PutBack(const fs::path& source, const fs::path& claimed) const {
  const MoveResult moved = MoveWithoutReplacing(claimed, source);
  return moved.ok ? moved.movedTo : fs::path();
}

void FolderClaims::Release(const fs::path& source) const {
  rmdir(OwnFolder(source).c_str());
  rmdir((source / kClaimsFolder).c_str());
}

FolderClaims::Survey FolderClaims::Look(const fs::path& source,
                                        std::chrono::seconds foreignLifetime) const {
  Survey survey;
  std::error_code ec;
  const fs::path claims = source / kClaimsFolder;
  for (fs::directory_iterator it(claims, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string owner = it->path().filename().native();
    if (owner == m_owner) continue;
    const auto firstTilde = owner.find('~');
    const auto lastTilde = owner.rfind('~');
    bool alive = false;
    if (firstTilde != std::string::npos && lastTilde > firstTilde &&
        owner.substr(0, firstTilde) == m_host) {
      const std::string pid = owner.substr(firstTilde + 1, lastTilde - firstTilde - 1);
      const pid_t number = static_cast<pid_t>(std::atol(pid.c_str()));
      alive = number > 0 && StartTime(number) == owner.substr(lastTilde + 1) &&
              !owner.substr(lastTilde + 1).empty();
    } else {
      struct stat st {};
      if (stat(it->path().c_str(), &st) == 0) {
        const auto age = std::chrono::system_clock::now() -
                         std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
        alive = age < foreignLifetime;
      }
    }
    if (alive) {
      std::error_code innerEc;
      if (!fs::is_empty(it->path(), innerEc)) survey.otherAtWork = true;
      continue;
    }
    std::error_code innerEc;
    for (fs::directory_iterator file(it->path(), innerEc), fileEnd; !innerEc && file != fileEnd;
         file.increment(innerEc)) {
      // Taken into our own claim first, so that two watchers taking back the
      // same dead claims cannot both have a file.
      const fs::path mine = OwnFolder(source);
      mkdir(claims.c_str(), 0700);
      mkdir(mine.c_str(), 0700);
      const fs::path held = mine / file->path().filename();
      if (!RenameIntoOwnFolder(file->path(), held)) continue;
      const fs::path back = PutBack(source, held);
      if (!back.empty()) survey.takenBack.push_back(back);
    }
    rmdir(it->path().c_str());
  }
  return survey;
}
