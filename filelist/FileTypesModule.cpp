// The platform's type database, behind a C entry point in a loadable module.

#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

#include <mutex>
#include <string>
#include <unordered_map>

namespace {

const char* PostScriptKind(const QMimeType& type) {
  if (type.inherits(QStringLiteral("image/x-eps"))) return "com.adobe.encapsulated-postscript";
  if (type.inherits(QStringLiteral("application/postscript"))) return "com.adobe.postscript";
  return "";
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* quillpress_postscript_type(
    const char* path) {
  static const QMimeDatabase db;  // thread-safe for lookups
  // Large folders hold many files of a few kinds: an extension that the
  // database decides by name alone is looked up once.
  static std::mutex cacheMutex;
  static std::unordered_map<std::string, const char*> byExtension;

  const QString file = QFile::decodeName(path);
  const qsizetype slash = file.lastIndexOf(QLatin1Char('/'));
  const QString name = file.mid(slash + 1);
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const QString extension = dot > 0 ? name.mid(dot + 1) : QString();
  const std::string key = extension.toStdString();
  if (!extension.isEmpty()) {
    std::lock_guard lock(cacheMutex);
    if (const auto hit = byExtension.find(key); hit != byExtension.end()) return hit->second;
  }
  // Globs decide when the name has a known extension; the content is read
  // only for names that say nothing (as a file named "chart").
  const char* kind = PostScriptKind(db.mimeTypeForFile(file));
  if (!extension.isEmpty() && db.mimeTypesForFileName(name).size() == 1 &&
      db.suffixForFileName(name) == extension) {
    std::lock_guard lock(cacheMutex);
    byExtension.emplace(key, kind);
  }
  return kind;
}
