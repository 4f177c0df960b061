#include "BMTUtil.h"
#include "conversion/PdfPublisher.h"

#include <dlfcn.h>

#include <mutex>

namespace fs = std::filesystem;

// The PDF library lives in a loadable module: a command-line conversion
// starts its converter first and loads the library while the converter runs.
namespace {

using DoneFn = void (*)(void*, int, const char*, const char*);
using PublishFn = void (*)(const char*, const char*, const char*, int, DoneFn, void*);

PublishFn LoadPublish() {
  static PublishFn publish = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (void* module = BMTUtil::LoadPrivateModule("quillpress-pdfwriter.so")) {
      publish = reinterpret_cast<PublishFn>(dlsym(module, "quillpress_publish_pdf"));
    }
  });
  return publish;
}

}  // namespace

bool PreparePdfWriter() { return LoadPublish() != nullptr; }

PublishResult PublishPdf(const fs::path& pdfFile, const fs::path& destination,
                         const fs::path& uniqueBase, bool compress) {
  PublishResult result;
  const PublishFn publish = LoadPublish();
  if (!publish) {
    result.error = "the PDF writer module (quillpress-pdfwriter.so) is not installed";
    return result;
  }
  publish(pdfFile.c_str(), destination.c_str(), uniqueBase.c_str(), compress ? 1 : 0,
          [](void* context, int ok, const char* written, const char* error) {
            auto* r = static_cast<PublishResult*>(context);
            r->ok = ok != 0;
            r->writtenPath = written;
            r->error = error;
          },
          &result);
  return result;
}
