#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

// One entry of the file list. The list and the batches share items by
// reference, so an item is always handled through FileListItemRef.
//
// A folder scan makes one item per file, up to hundreds of thousands, so the
// item keeps its path as plain bytes: a std::filesystem::path takes itself
// apart into components when made, which costs more than the scan. The
// folder a file was found in is shared by all the items found there.
class FileListItem {
 public:
  explicit FileListItem(std::string filePath,
                        std::shared_ptr<const std::filesystem::path> parentFolder = nullptr)
      : m_filePath(std::move(filePath)), m_parentFolder(std::move(parentFolder)) {}
  explicit FileListItem(const std::filesystem::path& filePath,
                        std::optional<std::filesystem::path> parentFolder = std::nullopt)
      : m_filePath(filePath.native()),
        m_parentFolder(parentFolder ? std::make_shared<const std::filesystem::path>(
                                          std::move(*parentFolder))
                                    : nullptr) {}

  // The PostScript or EPS file (byte-exact path).
  std::filesystem::path filePath() const { return std::filesystem::path(m_filePath); }
  // The same path's bytes, for reading without making a path of them.
  const std::string& filePathBytes() const { return m_filePath; }

  // The folder the user added and in which the file was found, at any depth;
  // set only when the folder tree is kept.
  std::optional<std::filesystem::path> parentFolderName() const {
    if (!m_parentFolder) return std::nullopt;
    return *m_parentFolder;
  }

 private:
  std::string m_filePath;
  std::shared_ptr<const std::filesystem::path> m_parentFolder;
};

using FileListItemRef = std::shared_ptr<FileListItem>;
