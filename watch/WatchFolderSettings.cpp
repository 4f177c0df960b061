#include "watch/WatchFolderSettings.h"

#include "watch/PropertyListFile.h"

#include "BMTUtil.h"

#include <QFile>
#include <QSaveFile>

#include <functional>
#include <memory>

namespace fs = std::filesystem;

namespace {

bool WriteOne(const fs::path& path, const char* key, plist_t value) {
  PlistPtr dict = ReadDictionaryFile(path);
  if (!dict) dict.reset(plist_new_dict());
  plist_dict_set_item(dict.get(), key, value);  // the dictionary takes the value
  return WriteDictionaryFile(path, dict.get());
}

}  // namespace

fs::path WatchFolderSettings::DefaultPath() {
  return BMTUtil::ApplicationFolder(BMTUtil::UserFolder::Config) / "Preferences" /
         "org.quillpress.Quillpress-WatchFolderPref.plist";
}

WatchFolderSettings::WatchFolderSettings(fs::path file) : m_path(std::move(file)) {}

std::optional<WatchFolderPreferences> WatchFolderSettings::Read() const {
  const PlistPtr dict = ReadDictionaryFile(m_path);
  if (!dict) return std::nullopt;
  WatchFolderPreferences prefs;
  plist_t root = dict.get();
  auto data = [&](const char* key) { return DictionaryData(root, key); };
  prefs.sourceURL = data("SourceURL");
  prefs.destinationURL = data("DestinationURL");
  prefs.moveDestinationURL = data("MoveDestinationURL");
  if (const auto tag = DictionaryUnsigned(root, "MoveToDestinationOption")) {
    prefs.moveToDestinationOption = static_cast<std::int64_t>(*tag);
  }
  auto boolean = [&](const char* key) { return DictionaryBoolean(root, key); };
  auto integer = [&](const char* key) -> std::optional<std::int64_t> {
    if (const auto value = DictionaryUnsigned(root, key)) return static_cast<std::int64_t>(*value);
    return std::nullopt;
  };
  prefs.isWatching = boolean("IsWatching");
  prefs.pdfPreset = DictionaryString(root, "PDFPreset");
  prefs.pollInterval = integer("PollInterval");
  prefs.rescanInterval = integer("RescanInterval");
  prefs.stableInterval = integer("StableInterval");
  prefs.alwaysPoll = boolean("AlwaysPoll");
  prefs.compressPDF = boolean("CompressPDF");
  return prefs;
}

bool WatchFolderSettings::WriteDefaults() const {
  PlistPtr dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "MoveToDestinationOption", plist_new_uint(2));
  plist_dict_set_item(dict.get(), "IsWatching", plist_new_bool(0));
  return WriteDictionaryFile(m_path, dict.get());
}

bool WatchFolderSettings::WriteData(const char* key, const std::vector<char>& value) const {
  return WriteOne(m_path, key, plist_new_data(value.data(), value.size()));
}

bool WatchFolderSettings::WriteInteger(const char* key, std::int64_t value) const {
  return WriteOne(m_path, key, plist_new_uint(static_cast<uint64_t>(value)));
}

bool WatchFolderSettings::WriteString(const char* key, const std::string& value) const {
  return WriteOne(m_path, key, plist_new_string(value.c_str()));
}

bool WatchFolderSettings::RemoveKey(const char* key) const {
  PlistPtr dict = ReadDictionaryFile(m_path);
  if (!dict) return false;
  if (!plist_dict_get_item(dict.get(), key)) return true;
  plist_dict_remove_item(dict.get(), key);
  return WriteDictionaryFile(m_path, dict.get());
}

bool WatchFolderSettings::WriteBoolean(const char* key, bool value) const {
  return WriteOne(m_path, key, plist_new_bool(value ? 1 : 0));
}
