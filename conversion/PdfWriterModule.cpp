#include "BMTUtil.h"
#include "conversion/PdfDocumentWriter.h"
#include "conversion/PdfPublisher.h"

#include <dlfcn.h>

#include <mutex>

// The PDF library lives in a loadable module: a command-line conversion
// starts its converter first and loads the library while the converter runs.
namespace {

using WriteFn = decltype(&quillpress_write_pdf);

WriteFn LoadWrite() {
  static WriteFn write = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (void* module = BMTUtil::LoadPrivateModule(BMTUtil::kPdfWriterModule)) {
      write = reinterpret_cast<WriteFn>(dlsym(module, "quillpress_write_pdf"));
    }
  });
  return write;
}

}  // namespace

bool WritePdfDocument(const char* name, const char* bytes, std::size_t size, int outFd,
                      bool compress, PdfPreset preset, std::string& error,
                      PdfOutputFindings& findings) {
  const WriteFn write = LoadWrite();
  if (!write) {
    error = "the PDF writer module (quillpress-pdfwriter.so) is not installed";
    return false;
  }
  struct Answers {
    std::string& error;
    PdfOutputFindings& findings;
  } answers{error, findings};
  return write(
             name, bytes, size, outFd, compress ? kPdfWriteCompress : 0, PdfStandardCode(preset),
             [](void* context, int kind, const char* text) {
               auto& a = *static_cast<Answers*>(context);
               if (kind == kPdfNoteFailed) a.error = text;
               else a.findings.Add(kind, text);
             },
             &answers) == 1;
}
