#include "watch/PropertyListFile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace fs = std::filesystem;

namespace {

// The settings file is small; anything much larger is not ours.
constexpr qint64 kMaxFileSize = 1024 * 1024;

}  // namespace

PlistPtr ReadDictionaryFile(const fs::path& path) {
  QFile file(QFile::decodeName(path.c_str()));
  if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize) return nullptr;
  const QByteArray xml = file.readAll();
  if (xml.isEmpty()) return nullptr;
  plist_t root = nullptr;
  plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
  PlistPtr owned(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return owned;
}

bool WriteDictionaryFile(const fs::path& path, plist_t dict) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  if (!xml) return false;
  const QByteArray bytes(xml, static_cast<qsizetype>(length));
  plist_to_xml_free(xml);
  QDir().mkpath(QFile::decodeName(path.parent_path().c_str()));
  QSaveFile file(QFile::decodeName(path.c_str()));
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(bytes);
  return file.commit();
}

