#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the settings file holds. Absent keys stay empty.
struct WatchFolderPreferences {
  std::optional<std::vector<char>> sourceURL;        // "SourceURL", bookmark data
  std::optional<std::vector<char>> destinationURL;   // "DestinationURL"
  std::optional<std::vector<char>> moveDestinationURL;  // "MoveDestinationURL"
  std::optional<std::int64_t> moveToDestinationOption;  // "MoveToDestinationOption", 1 to 3
  std::optional<bool> isWatching;                       // "IsWatching"
  // Written only when they differ from their defaults; a file without them
  // reads as before.
  std::optional<std::string> pdfPreset;  // "PDFPreset", a preset's name
  std::optional<bool> compressPDF;       // "CompressPDF"
  // Seconds: how often shared folders are listed ("PollInterval"), every
  // folder is listed anyway ("RescanInterval"), and how long a file on a
  // shared folder must hold still ("StableInterval"); "AlwaysPoll" lists
  // every folder as if it were shared.
  std::optional<std::int64_t> pollInterval;
  std::optional<std::int64_t> rescanInterval;
  std::optional<std::int64_t> stableInterval;
  std::optional<bool> alwaysPoll;
};

// The watch folder settings file, an XML property list.
class WatchFolderSettings {
 public:
  // The file the window writes: $XDG_CONFIG_HOME/quillpress/Preferences/
  // org.quillpress.Quillpress-WatchFolderPref.plist.
  static std::filesystem::path DefaultPath();

  explicit WatchFolderSettings(std::filesystem::path file = DefaultPath());

  const std::filesystem::path& path() const { return m_path; }

  // The file's content; empty when it is missing or not a readable
  // dictionary. Values of the wrong type are left out.
  std::optional<WatchFolderPreferences> Read() const;

  // Writes a new file with exactly the defaults: "MoveToDestinationOption" 2
  // and "IsWatching" false.
  bool WriteDefaults() const;

  // Reads the file, sets one key and writes the whole dictionary back; when
  // the file cannot be read, writes a dictionary holding only this key.
  bool WriteData(const char* key, const std::vector<char>& value) const;
  bool WriteInteger(const char* key, std::int64_t value) const;
  bool WriteBoolean(const char* key, bool value) const;
  bool WriteString(const char* key, const std::string& value) const;
  // Takes one key out (read, change, write back whole); a missing file
  // stays missing.
  bool RemoveKey(const char* key) const;

 private:
  std::filesystem::path m_path;
};
