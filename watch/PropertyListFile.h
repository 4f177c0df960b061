#pragma once

#include <plist/plist.h>

#include <filesystem>
#include <memory>

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
