#include "conversion/PdfPublisher.h"

#include "BMTUtil.h"

#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kLargestDocumentInMemory = 256u << 20;

std::string ErrnoText(int err) { return std::strerror(err); }

// A hidden name in the destination folder, so that folder scans (the watch
// folder, the Add panel) never take a PDF that is still being written.
fs::path StagingPathFor(const fs::path& destination) {
  return destination.parent_path() / (".quillpress-" + BMTUtil::NewUuidString() + ".part");
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};

bool ReadWholeFile(const fs::path& file, std::string& bytes) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[1 << 16];
  ssize_t n = 0;
  for (;;) {
    n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      bytes.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  const int err = errno;
  close(fd);
  errno = err;
  return n == 0;
}

// Serialises the document into the open staging file. qpdf reports every
// failure as an exception; they end here.
bool WriteDocument(const fs::path& source, FILE* out, bool compress, std::string& error) {
  // Parsed from memory: read from the file, qpdf seeks before every object it
  // reads, thousands of system calls for a document of a few pages. A very
  // large document (scans, images) is read from the file rather than held.
  std::string bytes;
  std::error_code ec;
  const auto size = fs::file_size(source, ec);
  const bool inMemory = !ec && size <= kLargestDocumentInMemory;
  if (inMemory && !ReadWholeFile(source, bytes)) {
    error = "cannot read the converter's output: " + ErrnoText(errno);
    return false;
  }
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    if (inMemory) {
      pdf.processMemoryFile(source.c_str(), bytes.data(), bytes.size());
    } else {
      pdf.processFile(source.c_str());
    }
    // A job that shows no page converts into nothing a user could want.
    if (pdf.getAllPages().empty()) {
      error = "the document has no pages";
      return false;
    }
    QPDFWriter writer(pdf);
    writer.setOutputFile("output", out, false);
    if (compress) {
      writer.setObjectStreamMode(qpdf_o_generate);
      writer.setCompressStreams(true);
      writer.setRecompressFlate(true);
      writer.setDecodeLevel(qpdf_dl_generalized);
    }
    writer.write();
    return true;
  } catch (const std::exception& e) {
    error = std::string("the converter's output is not a readable PDF (") + e.what() + ")";
  } catch (...) {
    error = "the converter's output is not a readable PDF";
  }
  return false;
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

PublishResult PublishPdfWithQpdf(const fs::path& pdfFile, const fs::path& destination,
                                 const fs::path& uniqueBase, bool compress) {
  PublishResult result;
  if (compress) {
    static std::once_flag level;
    std::call_once(level, [] { Pl_Flate::setCompressionLevel(9); });
  }

  const fs::path staging = StagingPathFor(destination);
  const int fd = open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    result.error = "cannot write into " + destination.parent_path().string() + ": " + ErrnoText(errno);
    return result;
  }
  std::unique_ptr<FILE, FileCloser> out(fdopen(fd, "wb"));
  if (!out) {
    close(fd);
    unlink(staging.c_str());
    result.error = "cannot write the PDF: " + ErrnoText(errno);
    return result;
  }

  std::string writeError;
  const bool written = WriteDocument(pdfFile, out.get(), compress, writeError);
  int flushError = 0;
  if (written) {
    if (fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0) flushError = errno;
  }
  if (fclose(out.release()) != 0 && written && flushError == 0) flushError = errno;
  if (!written || flushError != 0) {
    unlink(staging.c_str());
    result.error = written ? "cannot write the PDF: " + ErrnoText(flushError) : writeError;
    return result;
  }

  const fs::path folder = destination.parent_path();
  fs::path target = destination;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (MoveIntoPlaceWithoutReplacing(staging, target)) {
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
  unlink(staging.c_str());
  result.error = "cannot put the PDF in place: " + ErrnoText(err);
  return result;
}

// The module's entry, with a C interface so that nothing but plain data
// crosses the boundary.
extern "C" __attribute__((visibility("default"))) void quillpress_publish_pdf(
    const char* pdfFile, const char* destination, const char* uniqueBase, int compress,
    void (*done)(void* context, int ok, const char* writtenPath, const char* error), void* context) {
  const PublishResult r = PublishPdfWithQpdf(pdfFile, destination, uniqueBase, compress != 0);
  done(context, r.ok ? 1 : 0, r.writtenPath.c_str(), r.error.c_str());
}
