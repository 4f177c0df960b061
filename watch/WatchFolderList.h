#pragma once

#include "conversion/PdfPreset.h"
#include "watch/WatchFolderSettings.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One watch folder as it is stored: its folders as bookmarks, the
// delete-or-move choice, the PDF settings and whether it is on.
struct StoredWatchFolder {
  std::string name;  // for people; the source folder's name when not given
  std::optional<std::vector<char>> source;
  std::optional<std::vector<char>> destination;
  std::optional<std::vector<char>> moveTo;
  int tag = 2;
  bool compress = false;
  PdfPreset preset = PdfPreset::Faithful;
  bool on = false;
};

// Every watch folder. The first is the one the watch folder settings file
// has always held, with its keys and their meaning ("SourceURL",
// "DestinationURL", "MoveDestinationURL", "MoveToDestinationOption",
// "IsWatching", and "PDFPreset" and "CompressPDF" only when they differ from
// their defaults), so that a file of an earlier version loads as that one
// folder. Further folders are entries of a second property list beside it
// ("...-WatchFolders.plist", key "Folders"), each a dictionary with the same
// keys and "Name"; it is written whole and atomically. An entry that cannot
// be read costs that folder only, and is written back as it was.
class WatchFolderList {
 public:
  explicit WatchFolderList(WatchFolderSettings first = WatchFolderSettings());

  const WatchFolderSettings& firstFile() const { return m_first; }
  const std::filesystem::path& othersFile() const { return m_others; }

  // The folders by number: 0 is the first file's (empty when it names no
  // source folder); then the entries of the second file, an entry that
  // cannot be read being empty.
  std::vector<std::optional<StoredWatchFolder>> Read() const;
  // Entries of the second file that cannot be read, as reasons.
  std::vector<std::string> Broken() const;

  // Stores a folder under its number (0: the first file's keys, one by one
  // as the window does; others: the second file, whole).
  bool Write(std::size_t number, const StoredWatchFolder& folder) const;
  // Adds a folder: into the first file when that holds none, else at the
  // end of the second. Answers its number.
  std::optional<std::size_t> Add(const StoredWatchFolder& folder) const;
  // Takes a folder out; for the first file its folder keys go and it is
  // switched off, the choice kept.
  bool Remove(std::size_t number) const;
  bool SetOn(std::size_t number, bool on) const;
  bool SetSourceBookmark(std::size_t number, const std::vector<char>& bookmark) const;

  // The folder a bookmark names: where it is now, else where it was.
  static std::optional<std::filesystem::path> FolderOf(const std::optional<std::vector<char>>& bookmark);
  // The name shown for a folder: its own, else its source folder's.
  static std::string DisplayName(const StoredWatchFolder& folder);

 private:
  WatchFolderSettings m_first;
  std::filesystem::path m_others;
};
