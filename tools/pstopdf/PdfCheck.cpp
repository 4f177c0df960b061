#include "PdfCheck.h"

#include "BMTUtil.h"
#include "WholeWrite.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

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

// What goes ahead of the findings and the PDF on the channel.
struct CheckHeader {
  std::uint64_t findingsSize = 0;
  std::uint64_t pdfSize = 0;
};

bool Check(WritePdfFn writePdf, int channel, const fs::path& work, const CheckRequest& request) {
  const fs::path produced = work / "out.pdf";
  // Written where only this process can reach it: the PDF library seeks, and
  // the job's folder is the job's.
  const int out = memfd_create("checked.pdf", MFD_CLOEXEC);
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
  const off_t size = lseek(out, 0, SEEK_END);
  if (written != 1 || size < 0) {
    close(out);
    return false;
  }
  const std::string text = FindingsReport(findings);
  const CheckHeader header{text.size(), static_cast<std::uint64_t>(size)};
  bool sent = WriteWhole(channel, reinterpret_cast<const char*>(&header), sizeof header) &&
              WriteWhole(channel, text.data(), text.size());
  char chunk[1 << 16];
  for (off_t at = 0; sent && at < size;) {
    const ssize_t n = pread(out, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    sent = n > 0 && WriteWhole(channel, chunk, static_cast<std::size_t>(n));
    at += n;
  }
  close(out);
  return sent;
}

// A small PDF of the kind the interpreter writes: dated, with metadata and
// a page that uses a font.
std::string SmallPdf() {
  const std::string xmp =
      "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
      "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
      "xmlns:xmp='http://ns.adobe.com/xap/1.0/'><xmp:CreateDate>2026-01-01T00:00:00Z"
      "</xmp:CreateDate><xmp:ModifyDate>2026-01-01T00:00:00Z</xmp:ModifyDate>"
      "</rdf:Description></rdf:RDF></x:xmpmeta>";
  const std::string content = "BT /F1 12 Tf 72 720 Td (A) Tj ET";
  const std::string objects[] = {
      "<< /Type /Catalog /Pages 2 0 R /Metadata 6 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 4 0 R >> "
      ">> /Contents 5 0 R >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
      "<< /Type /Metadata /Subtype /XML /Length " + std::to_string(xmp.size()) + " >>\nstream\n" +
          xmp + "\nendstream",
      "<< /CreationDate (D:20260101000000Z) /ModDate (D:20260101000000Z) >>"};
  const std::string count = std::to_string(std::size(objects) + 1);
  std::string pdf = "%PDF-1.7\n";
  std::string xref = "xref\n0 " + count + "\n0000000000 65535 f \n";
  for (std::size_t i = 0; i < std::size(objects); ++i) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::string start = std::to_string(pdf.size());
  return pdf + xref + "trailer\n<< /Size " + count + " /Root 1 0 R /Info 7 0 R >>\nstartxref\n" +
         start + "\n%%EOF\n";
}

}  // namespace

void WarmPdfWriter(WritePdfFn write) {
  const std::string pdf = SmallPdf();
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  write("warm-up", pdf.data(), pdf.size(), null, 0, 0, [](void*, int, const char*) {}, nullptr);
  close(null);
}

WritePdfFn LoadPdfWriter() {
  void* module = BMTUtil::LoadPrivateModule(BMTUtil::kPdfWriterModule);
  return module ? reinterpret_cast<WritePdfFn>(dlsym(module, "quillpress_write_pdf")) : nullptr;
}

void RunCheck(WritePdfFn write, int channel, const fs::path& work, const CheckRequest& request) {
  char byte = 0;
  ssize_t n;
  while ((n = read(channel, &byte, 1)) < 0 && errno == EINTR) {
  }
  if (n != 1) _exit(0);  // not wanted after all
  const bool checked = Check(write, channel, work, request);
  std::fflush(stderr);
  _exit(checked ? 0 : 1);
}

namespace {

// Reads size bytes from channel by deadline, each piece given to take.
template <typename Take>
bool ReceiveExactly(int channel, std::uint64_t size, std::chrono::steady_clock::time_point deadline,
                    bool& timedOut, const Take& take) {
  char chunk[1 << 16];
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{channel, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) {
      if (left.count() > 0) continue;
      timedOut = true;
      return false;
    }
    const ssize_t n =
        read(channel, chunk, static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof chunk)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !take(chunk, static_cast<std::size_t>(n))) return false;
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

std::optional<PdfOutputFindings> ReceiveCheck(int channel, int pdfFd, std::uint64_t largestPdf,
                                              std::chrono::steady_clock::time_point deadline,
                                              bool& timedOut) {
  CheckHeader header;
  char* into = reinterpret_cast<char*>(&header);
  std::string text;
  if (!ReceiveExactly(channel, sizeof header, deadline, timedOut,
                      [&into](const char* data, std::size_t n) {
                        into = std::copy_n(data, n, into);
                        return true;
                      }) ||
      header.findingsSize > kLargestFindings || header.pdfSize > largestPdf ||
      !ReceiveExactly(channel, header.findingsSize, deadline, timedOut,
                      [&text](const char* data, std::size_t n) {
                        text.append(data, n);
                        return true;
                      }) ||
      !ReceiveExactly(channel, header.pdfSize, deadline, timedOut,
                      [pdfFd](const char* data, std::size_t n) { return WriteWhole(pdfFd, data, n); })) {
    return std::nullopt;
  }
  return ParseFindingsReport(text);
}
