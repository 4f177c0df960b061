#include "conversion/PdfDocumentWriter.h"

#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};

// qpdf reports every failure as an exception; they end here.
bool WriteDocument(const char* name, const char* bytes, std::size_t size, FILE* out,
                   bool compress, std::string& error) {
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    if (bytes) {
      pdf.processMemoryFile(name, bytes, size);
    } else {
      pdf.processFile(name);
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

}  // namespace

extern "C" __attribute__((visibility("default"))) int quillpress_write_pdf(
    const char* name, const char* bytes, std::size_t size, int outFd, int compress,
    void (*failed)(void* context, const char* why), void* context) {
  if (compress) {
    static std::once_flag level;
    std::call_once(level, [] { Pl_Flate::setCompressionLevel(9); });
  }
  std::string error;
  const int fd = dup(outFd);
  std::unique_ptr<FILE, FileCloser> out(fd >= 0 ? fdopen(fd, "wb") : nullptr);
  if (!out) {
    const std::string why = std::string("cannot write the PDF: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    failed(context, why.c_str());
    return 0;
  }
  // qpdf writes object by object; a large buffer makes that a few writes.
  setvbuf(out.get(), nullptr, _IOFBF, 1 << 18);
  if (!WriteDocument(name, bytes, size, out.get(), compress != 0, error)) {
    failed(context, error.c_str());
    return 0;
  }
  if (fclose(out.release()) != 0) {
    failed(context, (std::string("cannot write the PDF: ") + std::strerror(errno)).c_str());
    return 0;
  }
  return 1;
}
