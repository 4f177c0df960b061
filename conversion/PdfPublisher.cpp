#include "conversion/PdfPublisher.h"

#include "BMTUtil.h"
#include "conversion/LeftoverFiles.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace {

constexpr off_t kLargestDocumentInMemory = off_t(256) << 20;

std::string ErrnoText(int err) { return std::strerror(err); }

FileStamp StampOf(const struct stat& st) {
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

constexpr char kStagingPrefix[] = ".quillpress-";
constexpr char kStagingSuffix[] = ".part";

// A hidden name in the destination folder, so that folder scans (the watch
// folder, the Add panel) never take a PDF that is still being written; it
// names this process, so that a later run can tell whether it still owns it.
fs::path StagingPathIn(const fs::path& folder) {
  return folder / (kStagingPrefix + OwnerTag() + "-" + BMTUtil::NewUuidString() + kStagingSuffix);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (m_fd >= 0) close(m_fd);
  }
  int get() const { return m_fd; }
  // Closes now, answering errno of a failed close (0 when it succeeded).
  int closeNow() {
    const int rc = close(m_fd);
    m_fd = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int m_fd;
};

bool ReadAll(int fd, std::string& bytes, std::size_t expected) {
  bytes.reserve(expected);
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      bytes.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

// Puts staging at target unless target exists. EEXIST in errno tells the
// caller to try the next name.
bool MoveIntoPlaceWithoutReplacing(const fs::path& staging, const fs::path& target) {
  if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without no-replace renames: a hard link fails on an existing
  // name just the same.
  if (link(staging.c_str(), target.c_str()) == 0) {
    unlink(staging.c_str());
    return true;
  }
  return false;
}

void SyncFolder(const fs::path& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

namespace {

// Writes a hidden file in folder with write (which answers whether it wrote,
// failure saying why not: a destination problem unless it says otherwise), flushes it and answers it staged; nothing is left on
// failure.
template <typename Write>
StagedPdf Stage(const fs::path& pdfFile, const fs::path& folder, const Write& write) {
  StagedPdf staged;
  FileDescriptor source(open(pdfFile.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (source.get() < 0 || fstat(source.get(), &st) != 0) {
    staged.failure = {ConversionFailureKind::NoOutput, {},
                      "cannot read the converter's output: " + ErrnoText(errno), {}, {}};
    return staged;
  }
  staged.source = StampOf(st);
  RemoveStagingLeftoversOnce(folder);
  const fs::path staging = StagingPathIn(folder);
  FileDescriptor out(open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (out.get() < 0) {
    staged.failure = {ConversionFailureKind::DestinationProblem, folder,
                      "cannot write into " + folder.string() + ": " + ErrnoText(errno), {}, {}};
    return staged;
  }
  ConversionFailure failure{ConversionFailureKind::DestinationProblem, folder, {}, {}, {}};
  bool written = write(source.get(), st, out.get(), failure, staged.findings);
  if (written && fsync(out.get()) != 0) {
    failure.detail = "cannot write the PDF: " + ErrnoText(errno);
    written = false;
  }
  const int closeError = out.closeNow();
  if (written && closeError != 0) {
    failure.detail = "cannot write the PDF: " + ErrnoText(closeError);
    written = false;
  }
  if (!written) {
    unlink(staging.c_str());
    staged.failure = std::move(failure);
    return staged;
  }
  staged.ok = true;
  staged.stagingPath = staging;
  return staged;
}

bool CopyAll(int from, int to) {
  for (;;) {
    const ssize_t n = copy_file_range(from, nullptr, to, nullptr, std::size_t(1) << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    break;
  }
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = read(from, chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, chunk + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return false;
      done += w;
    }
  }
}

}  // namespace

StagedPdf StagePdf(const fs::path& pdfFile, const fs::path& folder, bool compress,
                   PdfPreset preset) {
  return Stage(pdfFile, folder,
               [&](int source, const struct stat& st, int out, ConversionFailure& failure,
                   PdfOutputFindings& findings) {
                 // Parsed from memory: read from the file, the PDF library seeks
                 // before every object it reads, thousands of system calls for a
                 // document of a few pages. A very large one is read from the file.
                 std::string bytes;
                 const bool inMemory = st.st_size <= kLargestDocumentInMemory;
                 // What fails here is the converter's output, not the destination.
                 failure.kind = ConversionFailureKind::NoOutput;
                 if (inMemory && !ReadAll(source, bytes, static_cast<std::size_t>(st.st_size))) {
                   failure.detail = "cannot read the converter's output: " + ErrnoText(errno);
                   return false;
                 }
                 return WritePdfDocument(pdfFile.c_str(), inMemory ? bytes.data() : nullptr,
                                         bytes.size(), out, compress, preset, failure.detail,
                                         findings);
               });
}

StagedPdf StageCheckedPdf(const fs::path& pdfFile, const fs::path& folder,
                          const PdfOutputFindings& findings) {
  return Stage(pdfFile, folder,
               [&](int source, const struct stat&, int out, ConversionFailure& failure,
                   PdfOutputFindings& staged) {
                 staged = findings;
                 if (CopyAll(source, out)) return true;
                 failure.detail = "cannot write the PDF: " + ErrnoText(errno);
                 return false;
               });
}

bool IsStagedFrom(const StagedPdf& staged, const fs::path& pdfFile) {
  struct stat st {};
  return stat(pdfFile.c_str(), &st) == 0 && StampOf(st) == staged.source;
}

PublishResult PutStagedPdfInPlace(const StagedPdf& staged, const fs::path& destination,
                                  const fs::path& uniqueBase) {
  PublishResult result;
  const fs::path folder = destination.parent_path();
  fs::path target = destination;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (MoveIntoPlaceWithoutReplacing(staged.stagingPath, target)) {
      SyncFolder(folder);
      result.ok = true;
      result.writtenPath = target;
      return result;
    }
    if (errno != EEXIST) break;
    // Taken since the name was chosen: the next free name by the same rule.
    target = BMTUtil::GetUniqueFileURLWithName(folder, uniqueBase, "pdf");
  }
  const int err = errno;
  DiscardStagedPdf(staged);
  result.failure = {ConversionFailureKind::DestinationProblem, destination,
                    "cannot put the PDF in place: " + ErrnoText(err), {}, {}};
  return result;
}

void DiscardStagedPdf(const StagedPdf& staged) {
  if (staged.ok) unlink(staged.stagingPath.c_str());
}

void RemoveStagingLeftoversOnce(const fs::path& folder) {
  RemoveLeftoversOnce(folder, kStagingPrefix, kStagingSuffix);
}
