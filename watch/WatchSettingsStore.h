#pragma once

#include "conversion/PdfPreset.h"
#include "watch/WatchEngine.h"
#include "watch/WatchRules.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One watch folder as it is stored: its folders as bookmarks, what happens to
// a converted source, the PDF settings and whether it is on.
struct StoredWatchFolder {
  std::string name;  // for people; the source folder's name when not given
  std::optional<std::vector<char>> source;
  std::optional<std::vector<char>> destination;
  std::optional<std::vector<char>> moveTo;
  SourceDisposal disposal = SourceDisposal::MoveToDestination;
  bool compress = false;
  PdfPreset preset = PdfPreset::Faithful;
  bool on = false;
};

// A stored folder with the folders its bookmarks lead to, as read; where a
// bookmark leads nowhere now, where it led.
struct WatchFolderEntry {
  StoredWatchFolder stored;
  std::optional<std::filesystem::path> source;
  std::optional<std::filesystem::path> destination;
  std::optional<std::filesystem::path> moveTo;

  // The folder as the rules and the service take it.
  WatchFolderChoice choice() const;
  // Whether it names its source folder; the first file may hold only the
  // choices made before any folder was.
  bool isSet() const { return source.has_value() || stored.source.has_value(); }
  // The name shown: its own, else its source folder's.
  std::string displayName() const;
};

// How the engine looks, as the settings file may tune it.
struct WatchTuning {
  WatchTimings timings;
  bool alwaysPoll = false;
};

// Everything the settings hold, read at one time.
struct WatchSettingsSnapshot {
  // By number: 0 is the first file's (empty when the file cannot be read;
  // not set when it names no source folder), then the second file's
  // entries, one that cannot be read empty.
  std::vector<std::optional<WatchFolderEntry>> folders;
  // The entries of the second file that cannot be read, as reasons.
  std::vector<std::string> broken;
  WatchTuning tuning;
  // The first file was missing or not a readable dictionary.
  bool firstFileUnreadable = false;
};

// The watch folder settings: the one owner of both files and of every key.
//
// The first file ("org.quillpress.Quillpress-WatchFolderPref.plist" in
// $XDG_CONFIG_HOME/quillpress/Preferences) holds the first folder with the
// keys earlier versions wrote ("SourceURL", "DestinationURL",
// "MoveDestinationURL", "MoveToDestinationOption", "IsWatching"; "PDFPreset"
// and "CompressPDF" only when they differ from their defaults) and the
// engine's timings ("PollInterval", "RescanInterval", "StableInterval",
// "AlwaysPoll"); it is changed key by key so that nothing else in it
// changes. Further folders are entries of the second file beside it
// ("org.quillpress.Quillpress-WatchFolders.plist", key "Folders"), each a
// dictionary with the same keys and "Name", written whole. An entry that
// cannot be read costs that folder only and is written back as it was.
//
// What happens to a converted source is stored as the numbers files on disk
// have always held (1 delete, 2 move into the destination, 3 move into the
// move-to folder) and is a SourceDisposal everywhere else.
//
// Every call reads or writes the files, which may be on a network mount that
// hangs: the window makes them off its thread.
class WatchSettingsStore {
 public:
  static std::filesystem::path DefaultPath();
  // Whether the platform makes lasting references to folders; without
  // them no folder is stored.
  static bool MakesBookmarks();

  explicit WatchSettingsStore(std::filesystem::path firstFile = DefaultPath());

  const std::filesystem::path& firstFile() const { return m_first; }
  const std::filesystem::path& othersFile() const { return m_others; }

  WatchSettingsSnapshot Read() const;
  // Writes a new first file with only the defaults (move into the
  // destination, not watching).
  bool WriteDefaults() const;

  // Stores a folder under its number. A folder's slot with a folder and no
  // bookmark gets one made first; a slot whose bookmark cannot be made is
  // not stored (its folder is still used for this run). A further folder is
  // stored only once it has both its folders.
  bool Write(std::size_t number, WatchFolderEntry& folder) const;
  // Adds a folder: into the first file when that holds none, else at the
  // end of the second. Answers its number.
  std::optional<std::size_t> Add(WatchFolderEntry& folder) const;
  // Takes a folder out; for the first its folder keys go and it is switched
  // off, its choices kept.
  bool Remove(std::size_t number) const;
  bool SetOn(std::size_t number, bool on) const;
  bool SetSourceBookmark(std::size_t number, const std::vector<char>& bookmark) const;

 private:
  bool WriteFirst(const StoredWatchFolder& folder) const;

  std::filesystem::path m_first;
  std::filesystem::path m_others;
};
