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
    if (void* module = BMTUtil::LoadPrivateModule("quillpress-pdfwriter.so")) {
      write = reinterpret_cast<WriteFn>(dlsym(module, "quillpress_write_pdf"));
    }
  });
  return write;
}

}  // namespace

bool PreparePdfWriter() { return LoadWrite() != nullptr; }

bool WritePdfDocument(const char* name, const char* bytes, std::size_t size, int outFd,
                      bool compress, std::string& error) {
  const WriteFn write = LoadWrite();
  if (!write) {
    error = "the PDF writer module (quillpress-pdfwriter.so) is not installed";
    return false;
  }
  return write(name, bytes, size, outFd, compress ? 1 : 0,
               [](void* context, const char* why) { *static_cast<std::string*>(context) = why; },
               &error) == 1;
}
