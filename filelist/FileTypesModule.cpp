// The platform's type database, behind a C entry point in a loadable module.

#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

extern "C" __attribute__((visibility("default"))) const char* quillpress_postscript_type(
    const char* path) {
  static const QMimeDatabase db;  // thread-safe for lookups
  // Globs decide when the name has a known extension; the content is read
  // only for names that say nothing (as a file named "chart").
  const QMimeType type = db.mimeTypeForFile(QFile::decodeName(path));
  if (type.inherits(QStringLiteral("image/x-eps"))) return "com.adobe.encapsulated-postscript";
  if (type.inherits(QStringLiteral("application/postscript"))) return "com.adobe.postscript";
  return "";
}
