#include "watch/PropertyListFile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cstdlib>

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


namespace {

plist_t Item(plist_t dict, const char* key, plist_type type) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  return node && plist_get_node_type(node) == type ? node : nullptr;
}

}  // namespace

std::optional<std::vector<char>> DictionaryData(plist_t dict, const char* key) {
  plist_t node = Item(dict, key, PLIST_DATA);
  if (!node) return std::nullopt;
  char* bytes = nullptr;
  uint64_t length = 0;
  plist_get_data_val(node, &bytes, &length);
  std::vector<char> value(bytes, bytes + length);
  std::free(bytes);
  return value;
}

std::optional<bool> DictionaryBoolean(plist_t dict, const char* key) {
  plist_t node = Item(dict, key, PLIST_BOOLEAN);
  if (!node) return std::nullopt;
  uint8_t value = 0;
  plist_get_bool_val(node, &value);
  return value != 0;
}

std::optional<std::uint64_t> DictionaryUnsigned(plist_t dict, const char* key) {
  plist_t node = Item(dict, key, PLIST_UINT);
  if (!node) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return value;
}

std::optional<std::string> DictionaryString(plist_t dict, const char* key) {
  plist_t node = Item(dict, key, PLIST_STRING);
  if (!node) return std::nullopt;
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string value = text ? text : "";
  std::free(text);
  return value;
}
