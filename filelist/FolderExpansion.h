#pragma once

#include "filelist/FileListItem.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <vector>

struct ExpansionOptions {
  // Record the added folder in every item found inside it (only counts
  // together with addRecursive for the Add panel; callers decide).
  bool maintainDirTree = false;
  // Expand folders to any depth instead of their first level.
  bool addRecursive = false;
};

// Expands the given files and folders the way the Add panel does: a folder
// yields the PostScript files inside it (first level, or any depth); hidden
// entries are passed over, and a symbolic link inside a folder is not
// followed, whatever it points to: it is passed to linkSkipped (a link to a
// file the user may read but did not choose must not be converted, nor its
// contents shown in a failure). A file or folder named directly is taken as
// it is, link or not: that is the user's choice. Each accepted file becomes
// a new item passed to sink in the order found. Stops early when cancel is
// set. Runs on any thread, touches no shared state.
void ExpandUrlsIntoItems(const std::vector<std::filesystem::path>& urls,
                         const ExpansionOptions& options,
                         const std::function<void(FileListItemRef)>& sink,
                         const std::atomic<bool>* cancel = nullptr,
                         const std::function<void(const std::filesystem::path&)>& linkSkipped = {});

// Convenience: collects the items into a vector.
std::vector<FileListItemRef> ExpandUrls(const std::vector<std::filesystem::path>& urls,
                                        const ExpansionOptions& options);
