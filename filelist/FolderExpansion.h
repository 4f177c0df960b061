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
// yields the PostScript files inside it (first level, or any depth), hidden
// entries and folder symlinks are not followed; a file is taken as it is.
// Each accepted file becomes a new item passed to sink in the order found.
// Stops early when cancel is set. Runs on any thread, touches no shared state.
void ExpandUrlsIntoItems(const std::vector<std::filesystem::path>& urls,
                         const ExpansionOptions& options,
                         const std::function<void(FileListItemRef)>& sink,
                         const std::atomic<bool>* cancel = nullptr);

// Convenience: collects the items into a vector.
std::vector<FileListItemRef> ExpandUrls(const std::vector<std::filesystem::path>& urls,
                                        const ExpansionOptions& options);
