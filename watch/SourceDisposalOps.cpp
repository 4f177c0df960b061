#include "watch/SourceDisposalOps.h"

#include "BMTUtil.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
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

// Puts from at to, unless to exists (errno EEXIST then).
bool RenameNoReplace(const fs::path& from, const fs::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

bool CopyAndSync(const fs::path& from, const fs::path& to, std::string& error) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    error = std::strerror(errno);
    return false;
  }
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    error = std::strerror(errno);
    close(in);
    return false;
  }
  struct stat st {};
  fstat(in, &st);
  fchmod(out, st.st_mode & 07777);
  bool ok = true;
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
  }
  struct stat copied {};
  ok = ok && fsync(out) == 0 && fstat(out, &copied) == 0 && copied.st_size == st.st_size;
  if (!ok && error.empty()) error = std::strerror(errno ? errno : EIO);
  close(out);
  close(in);
  return ok;
}

}  // namespace

fs::path NumberedMoveTarget(const fs::path& folder, const fs::path& fileName) {
  fs::path candidate = folder / fileName;
  const std::string name = fileName.native();
  const auto dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0;
  const std::string base = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : std::string();
  for (long n = 1; Exists(candidate); ++n) {
    candidate = folder / (base + std::to_string(n) + extension);
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
    if (!CopyAndSync(file, staging, result.error)) {
      unlink(staging.c_str());
      return result;
    }
    for (int place = 0; place < 1000; ++place) {
      const fs::path placed = NumberedMoveTarget(folder, file.filename());
      if (RenameNoReplace(staging, placed)) {
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
