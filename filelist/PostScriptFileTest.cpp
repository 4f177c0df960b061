#include "filelist/PostScriptFileTest.h"

#include "BMTUtil.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPostScriptType = "com.adobe.postscript";
constexpr std::string_view kEpsType = "com.adobe.encapsulated-postscript";

bool InAcceptedTypes(std::string_view name) {
  return std::find(kAcceptedTypes.begin(), kAcceptedTypes.end(), name) != kAcceptedTypes.end();
}

// On the path's bytes: taking path components apart costs more than the
// rest of a large folder scan.
std::string_view ExtensionOf(const fs::path& file) {
  const std::string_view path = file.native();
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

}  // namespace

std::string_view PostScriptTypeIdentifier(const fs::path& file) {
  // The type database is Qt's; it sits in a module of its own so that a
  // command-line run over well-named files never loads it.
  using TypeFn = const char* (*)(const char*);
  static TypeFn typeOf = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (void* module = BMTUtil::LoadPrivateModule("quillpress-filetypes.so")) {
      typeOf = reinterpret_cast<TypeFn>(dlsym(module, "quillpress_postscript_type"));
    }
  });
  if (!typeOf) return {};
  const std::string_view type = typeOf(file.c_str());
  if (type == kEpsType) return kEpsType;
  if (type == kPostScriptType) return kPostScriptType;
  return {};
}

bool IsPostScriptFile(const fs::path& file) {
  // The exact extensions accept without asking the type database: the answer
  // is the same either way, and it keeps large folder scans cheap.
  if (InAcceptedTypes(ExtensionOf(file))) return true;
  return InAcceptedTypes(PostScriptTypeIdentifier(file));
}
