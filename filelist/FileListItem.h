#pragma once

#include <filesystem>
#include <memory>
#include <optional>

// One entry of the file list. The list and the batches share items by
// reference, so an item is always handled through FileListItemRef.
struct FileListItem {
  // The PostScript or EPS file (byte-exact path).
  std::filesystem::path filePath;
  // The folder the user added and in which the file was found, at any depth;
  // set only when the folder tree is kept.
  std::optional<std::filesystem::path> parentFolderName;
};

using FileListItemRef = std::shared_ptr<FileListItem>;
