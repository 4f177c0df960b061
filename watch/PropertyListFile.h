#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct PlistDeleter {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// The dictionary an XML property list file holds; null when the file is
// missing, too large to be ours, or not a dictionary.
PlistPtr ReadDictionaryFile(const std::filesystem::path& path);

// Writes a dictionary as an XML property list, atomically (a temporary file
// flushed to disk, then renamed over the old one).
bool WriteDictionaryFile(const std::filesystem::path& path, plist_t dict);

// The value under key in dict when it is there with that type; empty when it
// is missing or of another type.
std::optional<std::vector<char>> DictionaryData(plist_t dict, const char* key);
std::optional<bool> DictionaryBoolean(plist_t dict, const char* key);
std::optional<std::uint64_t> DictionaryUnsigned(plist_t dict, const char* key);
std::optional<std::string> DictionaryString(plist_t dict, const char* key);
