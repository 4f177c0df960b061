#include "watch/WatchSettingsStore.h"

#include "BMTUtil.h"
#include "platform/Bookmark.h"
#include "watch/PropertyListFile.h"

#include <chrono>

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "SourceURL";
constexpr const char* kDestination = "DestinationURL";
constexpr const char* kMoveTo = "MoveDestinationURL";
constexpr const char* kDisposal = "MoveToDestinationOption";
constexpr const char* kOn = "IsWatching";
constexpr const char* kPreset = "PDFPreset";
constexpr const char* kCompress = "CompressPDF";
constexpr const char* kName = "Name";
constexpr const char* kFolders = "Folders";

// The one place where the stored numbers meet SourceDisposal.
std::optional<SourceDisposal> DisposalFromStored(std::uint64_t value) {
  switch (value) {
    case 1:
      return SourceDisposal::Delete;
    case 2:
      return SourceDisposal::MoveToDestination;
    case 3:
      return SourceDisposal::MoveToFolder;
    default:
      return std::nullopt;
  }
}

std::uint64_t StoredDisposal(SourceDisposal disposal) {
  switch (disposal) {
    case SourceDisposal::Delete:
      return 1;
    case SourceDisposal::MoveToDestination:
      break;
    case SourceDisposal::MoveToFolder:
      return 3;
  }
  return 2;
}

std::chrono::milliseconds Seconds(plist_t dict, const char* key, std::chrono::milliseconds fallback) {
  const auto value = DictionaryUnsigned(dict, key);
  if (!value || *value == 0 || *value > 24 * 3600) return fallback;
  return std::chrono::seconds(*value);
}

// Where a bookmark leads now, else where it led.
std::optional<fs::path> FolderOf(const std::optional<std::vector<char>>& bookmark) {
  if (!bookmark) return std::nullopt;
  if (auto found = ResolveFolderBookmark(*bookmark)) return found;
  return BookmarkedPath(*bookmark);
}

WatchFolderEntry Resolved(StoredWatchFolder stored) {
  WatchFolderEntry entry;
  entry.source = FolderOf(stored.source);
  entry.destination = FolderOf(stored.destination);
  entry.moveTo = FolderOf(stored.moveTo);
  entry.stored = std::move(stored);
  return entry;
}

// Makes the bookmarks a folder's slots lack; false when one cannot be made.
bool MakeBookmarks(WatchFolderEntry& folder) {
  if (!WatchSettingsStore::MakesBookmarks()) return false;
  bool ok = true;
  auto make = [&](const std::optional<fs::path>& path, std::optional<std::vector<char>>& bookmark) {
    if (!path || bookmark) return;
    bookmark = CreateFolderBookmark(*path);
    ok = ok && bookmark.has_value();
  };
  make(folder.source, folder.stored.source);
  make(folder.destination, folder.stored.destination);
  make(folder.moveTo, folder.stored.moveTo);
  return ok;
}

// The first file's folder, also when it names no source folder yet.
StoredWatchFolder FirstFolder(plist_t dict) {
  StoredWatchFolder folder;
  folder.source = DictionaryData(dict, kSource);
  folder.destination = DictionaryData(dict, kDestination);
  folder.moveTo = DictionaryData(dict, kMoveTo);
  if (const auto stored = DictionaryUnsigned(dict, kDisposal)) {
    folder.disposal = DisposalFromStored(*stored).value_or(SourceDisposal::MoveToDestination);
  }
  folder.on = DictionaryBoolean(dict, kOn).value_or(false);
  folder.compress = DictionaryBoolean(dict, kCompress).value_or(false);
  if (const auto preset = DictionaryString(dict, kPreset)) {
    folder.preset = PdfPresetFromName(*preset).value_or(PdfPreset::Faithful);
  }
  folder.name = DictionaryString(dict, kName).value_or("");
  return folder;
}

// A folder from an entry of the second file; empty when it is not one.
std::optional<StoredWatchFolder> Entry(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
  StoredWatchFolder folder;
  folder.source = DictionaryData(node, kSource);
  folder.destination = DictionaryData(node, kDestination);
  folder.moveTo = DictionaryData(node, kMoveTo);
  if (!folder.source || !folder.destination || !BookmarkedPath(*folder.source) ||
      !BookmarkedPath(*folder.destination)) {
    return std::nullopt;
  }
  if (plist_dict_get_item(node, kDisposal)) {
    const auto stored = DictionaryUnsigned(node, kDisposal);
    const auto disposal = stored ? DisposalFromStored(*stored) : std::nullopt;
    if (!disposal) return std::nullopt;
    folder.disposal = *disposal;
  }
  if (folder.disposal == SourceDisposal::MoveToFolder && !folder.moveTo) return std::nullopt;
  folder.on = DictionaryBoolean(node, kOn).value_or(false);
  folder.compress = DictionaryBoolean(node, kCompress).value_or(false);
  if (auto preset = DictionaryString(node, kPreset)) {
    const auto known = PdfPresetFromName(*preset);
    if (!known) return std::nullopt;
    folder.preset = *known;
  }
  folder.name = DictionaryString(node, kName).value_or("");
  return folder;
}

void SetData(plist_t dict, const char* key, const std::optional<std::vector<char>>& value) {
  if (value) plist_dict_set_item(dict, key, plist_new_data(value->data(), value->size()));
}

// Sets or, at its default, takes out the keys kept only when they differ.
void SetOptional(plist_t dict, const StoredWatchFolder& folder) {
  if (!folder.name.empty()) {
    plist_dict_set_item(dict, kName, plist_new_string(folder.name.c_str()));
  } else if (plist_dict_get_item(dict, kName)) {
    plist_dict_remove_item(dict, kName);
  }
  if (folder.preset != PdfPreset::Faithful) {
    plist_dict_set_item(dict, kPreset, plist_new_string(std::string(PdfPresetName(folder.preset)).c_str()));
  } else if (plist_dict_get_item(dict, kPreset)) {
    plist_dict_remove_item(dict, kPreset);
  }
  if (folder.compress) {
    plist_dict_set_item(dict, kCompress, plist_new_bool(1));
  } else if (plist_dict_get_item(dict, kCompress)) {
    plist_dict_remove_item(dict, kCompress);
  }
}

plist_t EntryNode(const StoredWatchFolder& folder) {
  plist_t dict = plist_new_dict();
  SetData(dict, kSource, folder.source);
  SetData(dict, kDestination, folder.destination);
  SetData(dict, kMoveTo, folder.moveTo);
  plist_dict_set_item(dict, kDisposal, plist_new_uint(StoredDisposal(folder.disposal)));
  plist_dict_set_item(dict, kOn, plist_new_bool(folder.on ? 1 : 0));
  SetOptional(dict, folder);
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

PlistPtr FirstOrEmpty(const fs::path& path) {
  PlistPtr dict = ReadDictionaryFile(path);
  if (!dict) dict.reset(plist_new_dict());
  return dict;
}

}  // namespace

WatchFolderChoice WatchFolderEntry::choice() const {
  WatchFolderChoice choice;
  choice.source = source;
  choice.destination = destination;
  choice.moveTo = moveTo;
  choice.disposal = stored.disposal;
  choice.compress = stored.compress;
  choice.preset = stored.preset;
  return choice;
}

std::string WatchFolderEntry::displayName() const {
  if (!stored.name.empty()) return stored.name;
  return source ? source->filename().native() : std::string();
}

fs::path WatchSettingsStore::DefaultPath() {
  return BMTUtil::ApplicationFolder(BMTUtil::UserFolder::Config) / "Preferences" /
         "org.quillpress.Quillpress-WatchFolderPref.plist";
}

bool WatchSettingsStore::MakesBookmarks() { return CompareSystemVersion(10, 7, 3) >= 0; }

WatchSettingsStore::WatchSettingsStore(fs::path firstFile)
    : m_first(std::move(firstFile)),
      m_others(m_first.parent_path() / "org.quillpress.Quillpress-WatchFolders.plist") {}

WatchSettingsSnapshot WatchSettingsStore::Read() const {
  WatchSettingsSnapshot snapshot;
  const PlistPtr first = ReadDictionaryFile(m_first);
  snapshot.firstFileUnreadable = !first;
  std::optional<WatchFolderEntry> firstFolder;
  if (first) {
    firstFolder = Resolved(FirstFolder(first.get()));
    WatchTimings& t = snapshot.tuning.timings;
    t.pollInterval = Seconds(first.get(), "PollInterval", t.pollInterval);
    t.rescanInterval = Seconds(first.get(), "RescanInterval", t.rescanInterval);
    t.stableInterval = Seconds(first.get(), "StableInterval", t.stableInterval);
    snapshot.tuning.alwaysPoll = DictionaryBoolean(first.get(), "AlwaysPoll").value_or(false);
  }
  snapshot.folders.push_back(std::move(firstFolder));
  const PlistPtr others = ReadDictionaryFile(m_others);
  plist_t array = others ? plist_dict_get_item(others.get(), kFolders) : nullptr;
  if (array && plist_get_node_type(array) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
      auto folder = Entry(plist_array_get_item(array, i));
      if (!folder) {
        snapshot.broken.push_back("entry " + std::to_string(i + 1) + " of " + m_others.native() +
                                  " cannot be read");
      }
      snapshot.folders.push_back(folder ? std::optional(Resolved(std::move(*folder))) : std::nullopt);
    }
  }
  return snapshot;
}

bool WatchSettingsStore::WriteDefaults() const {
  PlistPtr dict(plist_new_dict());
  plist_dict_set_item(dict.get(), kDisposal, plist_new_uint(StoredDisposal(SourceDisposal::MoveToDestination)));
  plist_dict_set_item(dict.get(), kOn, plist_new_bool(0));
  return WriteDictionaryFile(m_first, dict.get());
}

bool WatchSettingsStore::WriteFirst(const StoredWatchFolder& folder) const {
  // The keys of the folder set in what the file holds, the rest of it as it
  // was, in one write.
  PlistPtr dict = FirstOrEmpty(m_first);
  SetData(dict.get(), kSource, folder.source);
  SetData(dict.get(), kDestination, folder.destination);
  SetData(dict.get(), kMoveTo, folder.moveTo);
  plist_dict_set_item(dict.get(), kDisposal, plist_new_uint(StoredDisposal(folder.disposal)));
  SetOptional(dict.get(), folder);
  // Off is what a file without the key says.
  if (folder.on || plist_dict_get_item(dict.get(), kOn)) {
    plist_dict_set_item(dict.get(), kOn, plist_new_bool(folder.on ? 1 : 0));
  }
  return WriteDictionaryFile(m_first, dict.get());
}

bool WatchSettingsStore::Write(std::size_t number, WatchFolderEntry& folder) const {
  MakeBookmarks(folder);
  if (number == 0) return WriteFirst(folder.stored);
  // Until it names both its folders a further folder is only shown.
  if (!folder.stored.source || !folder.stored.destination) return true;
  PlistPtr root = Others(m_others);
  plist_t array = plist_dict_get_item(root.get(), kFolders);
  const uint32_t index = static_cast<uint32_t>(number - 1);
  if (index < plist_array_get_size(array)) {
    plist_array_set_item(array, EntryNode(folder.stored), index);
  } else if (index == plist_array_get_size(array)) {
    plist_array_append_item(array, EntryNode(folder.stored));
  } else {
    return false;
  }
  return WriteDictionaryFile(m_others, root.get());
}

std::optional<std::size_t> WatchSettingsStore::Add(WatchFolderEntry& folder) const {
  const auto folders = Read().folders;
  const std::size_t number = folders.front() && folders.front()->isSet() ? folders.size() : 0;
  if (!Write(number, folder)) return std::nullopt;
  return number;
}

bool WatchSettingsStore::Remove(std::size_t number) const {
  if (number == 0) {
    PlistPtr dict = ReadDictionaryFile(m_first);
    if (!dict) return false;
    for (const char* key : {kSource, kDestination, kMoveTo, kPreset, kCompress}) {
      if (plist_dict_get_item(dict.get(), key)) plist_dict_remove_item(dict.get(), key);
    }
    plist_dict_set_item(dict.get(), kOn, plist_new_bool(0));
    return WriteDictionaryFile(m_first, dict.get());
  }
  PlistPtr root = Others(m_others);
  plist_t array = plist_dict_get_item(root.get(), kFolders);
  const uint32_t index = static_cast<uint32_t>(number - 1);
  if (index >= plist_array_get_size(array)) return false;
  plist_array_remove_item(array, index);
  return WriteDictionaryFile(m_others, root.get());
}

bool WatchSettingsStore::SetOn(std::size_t number, bool on) const {
  if (number == 0) {
    PlistPtr dict = FirstOrEmpty(m_first);
    plist_dict_set_item(dict.get(), kOn, plist_new_bool(on ? 1 : 0));
    return WriteDictionaryFile(m_first, dict.get());
  }
  auto folders = Read().folders;
  if (number >= folders.size() || !folders[number]) return false;
  folders[number]->stored.on = on;
  return Write(number, *folders[number]);
}

bool WatchSettingsStore::SetSourceBookmark(std::size_t number, const std::vector<char>& bookmark) const {
  if (number == 0) {
    PlistPtr dict = FirstOrEmpty(m_first);
    SetData(dict.get(), kSource, bookmark);
    return WriteDictionaryFile(m_first, dict.get());
  }
  auto folders = Read().folders;
  if (number >= folders.size() || !folders[number]) return false;
  folders[number]->stored.source = bookmark;
  return Write(number, *folders[number]);
}
