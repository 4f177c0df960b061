#include "filelist/PostScriptFileTest.h"

#include "BMTUtil.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace {

constexpr std::string_view kPostScriptType = "com.adobe.postscript";
constexpr std::string_view kEpsType = "com.adobe.encapsulated-postscript";

bool InAcceptedTypes(std::string_view name) {
  return std::find(kAcceptedTypes.begin(), kAcceptedTypes.end(), name) != kAcceptedTypes.end();
}

std::string_view ExtensionOf(std::string_view path) {
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

}  // namespace

std::string_view PostScriptTypeIdentifier(const std::string& file) {
  // The type database is Qt's; it sits in a module of its own so that a
  // command-line run over well-named files never loads it.
  using TypeFn = const char* (*)(const char*, int*);
  static TypeFn typeOf = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (void* module = BMTUtil::LoadPrivateModule("quillpress-filetypes.so")) {
      typeOf = reinterpret_cast<TypeFn>(dlsym(module, "quillpress_postscript_type"));
    }
  });
  if (!typeOf) return {};

  // Large folders hold many files of a few kinds: an extension that decides
  // the type by itself is asked about once.
  static std::shared_mutex cacheMutex;
  static std::unordered_map<std::string, std::string_view> byExtension;
  const std::string extension(ExtensionOf(file));
  if (!extension.empty()) {
    std::shared_lock lock(cacheMutex);
    if (const auto hit = byExtension.find(extension); hit != byExtension.end()) return hit->second;
  }
  int decidedByExtension = 0;
  const std::string_view answer = typeOf(file.c_str(), &decidedByExtension);
  const std::string_view type = answer == kEpsType ? kEpsType
                                : answer == kPostScriptType ? kPostScriptType
                                                            : std::string_view();
  if (decidedByExtension && !extension.empty()) {
    std::unique_lock lock(cacheMutex);
    byExtension.emplace(extension, type);
  }
  return type;
}

bool IsPostScriptFile(const std::string& file) {
  // The exact extensions accept without asking the type database: the answer
  // is the same either way, and it keeps large folder scans cheap.
  if (InAcceptedTypes(ExtensionOf(file))) return true;
  return InAcceptedTypes(PostScriptTypeIdentifier(file));
}
