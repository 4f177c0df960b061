#pragma once

#include "filelist/FileListItem.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

// The ordered list of files gathered for conversion. An adding run inserts
// from its own thread while the table reads rows on the main thread, so
// every access goes through the list's own mutex.
class FileList {
 public:
  std::size_t Count() const;

  // The item at row, or null when there is none.
  FileListItemRef ItemAt(std::int64_t row) const;

  // Inserts the block at index (clamped to the end) and answers the position
  // of its first item.
  std::size_t Insert(std::size_t index, const std::vector<FileListItemRef>& block);

  // Removes the items at the given rows (any order, duplicates and rows past
  // the end ignored). Answers how many were removed.
  std::size_t RemoveRows(std::vector<std::int64_t> rows);
  void RemoveAll();

  // Reorders by the items' path strings, compared byte by byte (case
  // sensitive, not locale aware). Items with equal paths keep their order.
  void SortByPath(bool ascending);

  // The list's own items (not copies), in the order asked.
  std::vector<FileListItemRef> AllItems() const;
  // Items at the rows in ascending row order; rows past the end are skipped.
  std::vector<FileListItemRef> ItemsAtRows(std::vector<std::int64_t> rows) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<FileListItemRef> m_items;
};
