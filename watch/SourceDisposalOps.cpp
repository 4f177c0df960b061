#include "watch/SourceDisposalOps.h"

#include "BMTUtil.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool Exists(const fs::path& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0;
}

// Puts from at to, unless to exists (errno EEXIST then). Without
// RENAME_NOREPLACE a hard link takes the name only if it is free; where
// there are no hard links either, the name is looked at first.
bool RenameNoReplace(const fs::path& from, const fs::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS && errno != EMLINK) return false;
  if (Exists(to)) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Copies from into the new file to, and answers in `copied` what from was
// when the copy began.
bool CopyAndSync(const fs::path& from, const fs::path& to, std::string& error, struct stat& copied,
                 bool& changed) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0 || !FreshStat(from, copied)) {
    error = std::strerror(errno);
    if (in >= 0) close(in);
    return false;
  }
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    error = std::strerror(errno);
    close(in);
    return false;
  }
  const struct stat& st = copied;
  fchmod(out, st.st_mode & 07777);
  bool ok = true;
  off_t total = 0;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
    total += n;
  }
  struct stat written {}, now {};
  ok = ok && fsync(out) == 0 && fstat(out, &written) == 0 && written.st_size == total;
  if (ok && (total != st.st_size || !FreshStat(from, now) || !SameFile(now, st))) {
    // Written to meanwhile: the copy may hold only part of it.
    changed = true;
    ok = false;
    error = "it changed while it was copied";
  }
  if (!ok && error.empty()) error = std::strerror(errno ? errno : EIO);
  close(out);
  close(in);
  return ok;
}

}  // namespace

bool FreshStat(const fs::path& path, struct stat& st, bool follow) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC | (follow ? 0 : AT_SYMLINK_NOFOLLOW),
            STATX_BASIC_STATS, &sx) != 0) {
    return follow ? stat(path.c_str(), &st) == 0 : lstat(path.c_str(), &st) == 0;
  }
  st = {};
  st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st.st_ino = sx.stx_ino;
  st.st_mode = sx.stx_mode;
  st.st_nlink = sx.stx_nlink;
  st.st_uid = sx.stx_uid;
  st.st_gid = sx.stx_gid;
  st.st_size = static_cast<off_t>(sx.stx_size);
  st.st_mtim = {static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
  st.st_ctim = {static_cast<time_t>(sx.stx_ctime.tv_sec), static_cast<long>(sx.stx_ctime.tv_nsec)};
  return true;
}

fs::path NumberedMoveTarget(const fs::path& folder, const fs::path& fileName) {
  fs::path candidate = folder / fileName;
  const std::string name = fileName.native();
  const auto dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0;
  const std::string base = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : std::string();
  for (long n = 1; Exists(candidate); ++n) {
    candidate = folder / BMTUtil::FitFileName(folder, base, std::to_string(n) + extension);
  }
  return candidate;
}

MoveResult MoveWithoutReplacing(const fs::path& file, const fs::path& folder) {
  MoveResult result;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const fs::path target = NumberedMoveTarget(folder, file.filename());
    if (RenameNoReplace(file, target)) {
      result.ok = true;
      result.movedTo = target;
      return result;
    }
    if (errno == EEXIST) continue;  // taken meanwhile: the next number
    if (errno != EXDEV) {
      result.error = std::strerror(errno);
      return result;
    }
    // Another file system: copy, check, put in place, then remove.
    const fs::path staging = folder / (".quillpress-" + BMTUtil::NewUuidString() + ".part");
    struct stat copied {};
    if (!CopyAndSync(file, staging, result.error, copied, result.changed)) {
      unlink(staging.c_str());
      return result;
    }
    for (int place = 0; place < 1000; ++place) {
      const fs::path placed = NumberedMoveTarget(folder, file.filename());
      if (RenameNoReplace(staging, placed)) {
        // Last look before the original goes.
        struct stat now {};
        if (!FreshStat(file, now) || !SameFile(now, copied)) {
          unlink(placed.c_str());
          result.changed = true;
          result.error = "it changed while it was copied";
          return result;
        }
        if (unlink(file.c_str()) != 0) {
          // The copy is complete and in place; the original could not go.
          result.error = std::string("copied, but the original stays: ") + std::strerror(errno);
          result.movedTo = placed;
          return result;
        }
        result.ok = true;
        result.movedTo = placed;
        return result;
      }
      if (errno != EEXIST) break;
    }
    result.error = std::strerror(errno);
    unlink(staging.c_str());
    return result;
  }
  result.error = "no free name";
  return result;
}
