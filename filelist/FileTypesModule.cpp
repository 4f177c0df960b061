// The platform's type database, behind a C entry point in a loadable module.

#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>


namespace {

const char* PostScriptKind(const QMimeType& type) {
  if (type.inherits(QStringLiteral("image/x-eps"))) return "com.adobe.encapsulated-postscript";
  if (type.inherits(QStringLiteral("application/postscript"))) return "com.adobe.postscript";
  return "";
}

}  // namespace

// The PostScript kind of a file ("" when it is neither), and whether every
// file with the same extension gets the same answer (it was decided by the
// name's extension alone), so that the caller may remember it.
extern "C" __attribute__((visibility("default"))) const char* quillpress_postscript_type(
    const char* path, int* decidedByExtension) {
  static const QMimeDatabase db;  // thread-safe for lookups
  const QString file = QFile::decodeName(path);
  const QString name = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const QString extension = dot > 0 ? name.mid(dot + 1) : QString();
  // Globs decide when the name has a known extension; the content is read
  // only for names that say nothing (as a file named "chart").
  const char* kind = PostScriptKind(db.mimeTypeForFile(file));
  *decidedByExtension = !extension.isEmpty() && db.mimeTypesForFileName(name).size() == 1 &&
                        db.suffixForFileName(name) == extension;
  return kind;
}
