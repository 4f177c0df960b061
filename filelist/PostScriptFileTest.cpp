#include "filelist/PostScriptFileTest.h"

#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

#include <algorithm>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPostScriptType = "com.adobe.postscript";
constexpr std::string_view kEpsType = "com.adobe.encapsulated-postscript";

bool InAcceptedTypes(std::string_view name) {
  return std::find(kAcceptedTypes.begin(), kAcceptedTypes.end(), name) != kAcceptedTypes.end();
}

std::string ExtensionOf(const fs::path& file) {
  const std::string name = file.filename().native();
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

}  // namespace

std::string_view PostScriptTypeIdentifier(const fs::path& file) {
  static const QMimeDatabase db;  // thread-safe for lookups
  // Globs decide when the name has a known extension; the content is read
  // only for names that say nothing (as a file named "chart").
  const QMimeType type = db.mimeTypeForFile(QFile::decodeName(file.native().c_str()));
  if (type.inherits(QStringLiteral("image/x-eps"))) return kEpsType;
  if (type.inherits(QStringLiteral("application/postscript"))) return kPostScriptType;
  return {};
}

bool IsPostScriptFile(const fs::path& file) {
  // The exact extensions accept without asking the type database: the answer
  // is the same either way, and it keeps large folder scans cheap.
  if (InAcceptedTypes(ExtensionOf(file))) return true;
  return InAcceptedTypes(PostScriptTypeIdentifier(file));
}
