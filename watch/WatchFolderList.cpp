#include "watch/WatchFolderList.h"

#include "platform/Bookmark.h"
#include "watch/PropertyListFile.h"

#include <cstdlib>

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolders = "Folders";

// A folder from an entry of the second file; empty when it is not one.
std::optional<StoredWatchFolder> Entry(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
  StoredWatchFolder folder;
  folder.source = DictionaryData(node, "SourceURL");
  folder.destination = DictionaryData(node, "DestinationURL");
  folder.moveTo = DictionaryData(node, "MoveDestinationURL");
  if (!folder.source || !folder.destination || !BookmarkedPath(*folder.source) ||
      !BookmarkedPath(*folder.destination)) {
    return std::nullopt;
  }
  if (plist_dict_get_item(node, "MoveToDestinationOption")) {
    const auto tag = DictionaryUnsigned(node, "MoveToDestinationOption");
    if (!tag || *tag < 1 || *tag > 3) return std::nullopt;
    folder.tag = static_cast<int>(*tag);
  }
  if (folder.tag == 3 && !folder.moveTo) return std::nullopt;
  auto boolean = [&](const char* key) { return DictionaryBoolean(node, key); };
  folder.on = boolean("IsWatching").value_or(false);
  folder.compress = boolean("CompressPDF").value_or(false);
  auto string = [&](const char* key) { return DictionaryString(node, key); };
  if (auto preset = string("PDFPreset")) {
    const auto known = PdfPresetFromName(*preset);
    if (!known) return std::nullopt;
    folder.preset = *known;
  }
  folder.name = string("Name").value_or("");
  return folder;
}

plist_t EntryNode(const StoredWatchFolder& folder) {
  plist_t dict = plist_new_dict();
  if (!folder.name.empty()) plist_dict_set_item(dict, "Name", plist_new_string(folder.name.c_str()));
  auto data = [&](const char* key, const std::optional<std::vector<char>>& value) {
    if (value) plist_dict_set_item(dict, key, plist_new_data(value->data(), value->size()));
  };
  data("SourceURL", folder.source);
  data("DestinationURL", folder.destination);
  data("MoveDestinationURL", folder.moveTo);
  plist_dict_set_item(dict, "MoveToDestinationOption", plist_new_uint(static_cast<uint64_t>(folder.tag)));
  plist_dict_set_item(dict, "IsWatching", plist_new_bool(folder.on ? 1 : 0));
  if (folder.preset != PdfPreset::Faithful) {
    plist_dict_set_item(dict, "PDFPreset", plist_new_string(std::string(PdfPresetName(folder.preset)).c_str()));
  }
  if (folder.compress) plist_dict_set_item(dict, "CompressPDF", plist_new_bool(1));
  return dict;
}

// The second file's dictionary with its array, made when missing.
PlistPtr Others(const fs::path& path) {
  PlistPtr root = ReadDictionaryFile(path);
  if (!root) root.reset(plist_new_dict());
  plist_t array = plist_dict_get_item(root.get(), kFolders);
  if (!array || plist_get_node_type(array) != PLIST_ARRAY) {
    plist_dict_set_item(root.get(), kFolders, plist_new_array());
  }
  return root;
}

plist_t FoldersOf(const PlistPtr& root) { return plist_dict_get_item(root.get(), kFolders); }

}  // namespace

WatchFolderList::WatchFolderList(WatchFolderSettings first) : m_first(std::move(first)) {
  m_others = m_first.path().parent_path() / "org.quillpress.Quillpress-WatchFolders.plist";
}

std::optional<fs::path> WatchFolderList::FolderOf(const std::optional<std::vector<char>>& bookmark) {
  if (!bookmark) return std::nullopt;
  if (auto found = ResolveFolderBookmark(*bookmark)) return found;
  return BookmarkedPath(*bookmark);
}

std::string WatchFolderList::DisplayName(const StoredWatchFolder& folder) {
  if (!folder.name.empty()) return folder.name;
  const auto source = FolderOf(folder.source);
  return source ? source->filename().native() : std::string();
}

std::vector<std::optional<StoredWatchFolder>> WatchFolderList::Read() const {
  std::vector<std::optional<StoredWatchFolder>> folders;
  const auto prefs = m_first.Read();
  if (prefs && prefs->sourceURL) {
    StoredWatchFolder first;
    first.source = prefs->sourceURL;
    first.destination = prefs->destinationURL;
    first.moveTo = prefs->moveDestinationURL;
    first.tag = static_cast<int>(prefs->moveToDestinationOption.value_or(2));
    if (first.tag < 1 || first.tag > 3) first.tag = 2;
    first.on = prefs->isWatching.value_or(false);
    first.compress = prefs->compressPDF.value_or(false);
    if (prefs->pdfPreset) first.preset = PdfPresetFromName(*prefs->pdfPreset).value_or(PdfPreset::Faithful);
    folders.push_back(first);
  } else {
    folders.push_back(std::nullopt);
  }
  const PlistPtr root = ReadDictionaryFile(m_others);
  plist_t array = root ? plist_dict_get_item(root.get(), kFolders) : nullptr;
  if (array && plist_get_node_type(array) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
      folders.push_back(Entry(plist_array_get_item(array, i)));
    }
  }
  return folders;
}

std::vector<std::string> WatchFolderList::Broken() const {
  std::vector<std::string> broken;
  const auto folders = Read();
  for (std::size_t i = 1; i < folders.size(); ++i) {
    if (!folders[i]) broken.push_back("entry " + std::to_string(i) + " of " + m_others.native() + " cannot be read");
  }
  return broken;
}

bool WatchFolderList::Write(std::size_t number, const StoredWatchFolder& folder) const {
  if (number == 0) {
    // Key by key, as the window stores them, so that nothing else of the
    // file changes.
    bool ok = true;
    if (!m_first.Read()) ok = m_first.WriteDefaults();
    if (folder.source) ok = m_first.WriteData("SourceURL", *folder.source) && ok;
    if (folder.destination) ok = m_first.WriteData("DestinationURL", *folder.destination) && ok;
    if (folder.moveTo) ok = m_first.WriteData("MoveDestinationURL", *folder.moveTo) && ok;
    ok = m_first.WriteInteger("MoveToDestinationOption", folder.tag) && ok;
    if (folder.preset == PdfPreset::Faithful) {
      ok = m_first.RemoveKey("PDFPreset") && ok;
    } else {
      ok = m_first.WriteString("PDFPreset", std::string(PdfPresetName(folder.preset))) && ok;
    }
    ok = (folder.compress ? m_first.WriteBoolean("CompressPDF", true) : m_first.RemoveKey("CompressPDF")) && ok;
    return m_first.WriteBoolean("IsWatching", folder.on) && ok;
  }
  PlistPtr root = Others(m_others);
  plist_t array = FoldersOf(root);
  const uint32_t index = static_cast<uint32_t>(number - 1);
  if (index < plist_array_get_size(array)) {
    plist_array_set_item(array, EntryNode(folder), index);
  } else if (index == plist_array_get_size(array)) {
    plist_array_append_item(array, EntryNode(folder));
  } else {
    return false;
  }
  return WriteDictionaryFile(m_others, root.get());
}

std::optional<std::size_t> WatchFolderList::Add(const StoredWatchFolder& folder) const {
  const auto folders = Read();
  const std::size_t number = folders.front() ? folders.size() : 0;
  if (!Write(number, folder)) return std::nullopt;
  return number;
}

bool WatchFolderList::Remove(std::size_t number) const {
  if (number == 0) {
    bool ok = m_first.RemoveKey("SourceURL");
    ok = m_first.RemoveKey("DestinationURL") && ok;
    ok = m_first.RemoveKey("MoveDestinationURL") && ok;
    ok = m_first.RemoveKey("PDFPreset") && ok;
    ok = m_first.RemoveKey("CompressPDF") && ok;
    return m_first.WriteBoolean("IsWatching", false) && ok;
  }
  PlistPtr root = Others(m_others);
  plist_t array = FoldersOf(root);
  const uint32_t index = static_cast<uint32_t>(number - 1);
  if (index >= plist_array_get_size(array)) return false;
  plist_array_remove_item(array, index);
  return WriteDictionaryFile(m_others, root.get());
}

bool WatchFolderList::SetOn(std::size_t number, bool on) const {
  if (number == 0) return m_first.WriteBoolean("IsWatching", on);
  auto folders = Read();
  if (number >= folders.size() || !folders[number]) return false;
  folders[number]->on = on;
  return Write(number, *folders[number]);
}

bool WatchFolderList::SetSourceBookmark(std::size_t number, const std::vector<char>& bookmark) const {
  if (number == 0) return m_first.WriteData("SourceURL", bookmark);
  auto folders = Read();
  if (number >= folders.size() || !folders[number]) return false;
  folders[number]->source = bookmark;
  return Write(number, *folders[number]);
}
