#include "PdfCheck.h"

#include "BMTUtil.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr char kFindingsName[] = "findings";
constexpr std::size_t kLargestFindings = std::size_t(1) << 20;
constexpr off_t kLargestInMemory = off_t(256) << 20;

bool ReadWhole(int fd, std::string& bytes, std::size_t expected) {
  bytes.resize(expected);
  std::size_t got = 0;
  while (got < expected) {
    const ssize_t n = read(fd, bytes.data() + got, expected - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return got == expected;
}

bool Check(WritePdfFn writePdf, const fs::path& work, const CheckRequest& request) {
  const fs::path produced = work / "out.pdf";
  const int out = open(CheckedPdf(work).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return false;
  // Parsed from memory, where the PDF library reads it without a system
  // call per object; a very large one is read from its file.
  std::string bytes;
  // Never through a link, nor waiting on what is not a regular file.
  const int in = open(produced.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (in >= 0) close(in);
    close(out);
    return false;
  }
  const bool inMemory = st.st_size <= kLargestInMemory &&
                        ReadWhole(in, bytes, static_cast<std::size_t>(st.st_size));
  if (in >= 0) close(in);
  PdfOutputFindings findings;
  const int written = writePdf(
      produced.c_str(), inMemory ? bytes.data() : nullptr, bytes.size(), out,
      (request.compress ? kPdfWriteCompress : 0) | (request.smallImages ? kPdfWriteSmallImages : 0),
      request.standard,
      [](void* context, int kind, const char* text) {
        if (kind == kPdfNoteFailed) {
          std::fprintf(stderr, "pstopdf: the document produced no readable PDF: %s\n",
                       BMTUtil::EscapedForDisplay(text, 1000).c_str());
        } else {
          static_cast<PdfOutputFindings*>(context)->Add(kind, text);
        }
      },
      &findings);
  if (close(out) != 0 || written != 1) return false;
  const std::string text = FindingsReport(findings);
  const int report =
      open((work / kFindingsName).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const bool reported = report >= 0 && write(report, text.data(), text.size()) == ssize_t(text.size());
  return report >= 0 && close(report) == 0 && reported;
}

}  // namespace

WritePdfFn LoadPdfWriter() {
  void* module = BMTUtil::LoadPrivateModule(BMTUtil::kPdfWriterModule);
  return module ? reinterpret_cast<WritePdfFn>(dlsym(module, "quillpress_write_pdf")) : nullptr;
}

fs::path CheckedPdf(const fs::path& work) { return work / "checked.pdf"; }

void RunCheck(WritePdfFn write, int goFd, const fs::path& work, const CheckRequest& request) {
  char byte = 0;
  ssize_t n;
  while ((n = read(goFd, &byte, 1)) < 0 && errno == EINTR) {
  }
  if (n != 1) _exit(0);  // not wanted after all
  const bool checked = Check(write, work, request);
  std::fflush(stderr);
  _exit(checked ? 0 : 1);
}

std::optional<PdfOutputFindings> ReadFindings(const fs::path& work) {
  std::string text;
  const int fd = open((work / kFindingsName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  const bool read = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    std::size_t(st.st_size) <= kLargestFindings &&
                    ReadWhole(fd, text, static_cast<std::size_t>(st.st_size));
  if (fd >= 0) close(fd);
  return read ? ParseFindingsReport(text) : std::nullopt;
}
