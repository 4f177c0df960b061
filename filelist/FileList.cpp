#include "filelist/FileList.h"

#include <algorithm>

namespace {

void SortUnique(std::vector<std::int64_t>& rows) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
}

}  // namespace

std::size_t FileList::Count() const {
  std::lock_guard lock(m_mutex);
  return m_items.size();
}

FileListItemRef FileList::ItemAt(std::int64_t row) const {
  std::lock_guard lock(m_mutex);
  if (row < 0 || static_cast<std::uint64_t>(row) >= m_items.size()) return nullptr;
  return m_items[static_cast<std::size_t>(row)];
}

std::size_t FileList::Insert(std::size_t index, const std::vector<FileListItemRef>& block) {
  std::lock_guard lock(m_mutex);
  index = std::min(index, m_items.size());
  m_items.insert(m_items.begin() + static_cast<std::ptrdiff_t>(index), block.begin(), block.end());
  return index;
}

std::size_t FileList::RemoveRows(std::vector<std::int64_t> rows) {
  SortUnique(rows);
  std::lock_guard lock(m_mutex);
  std::size_t removed = 0;
  std::size_t next = 0;
  std::vector<FileListItemRef> kept;
  kept.reserve(m_items.size());
  for (std::size_t i = 0; i < m_items.size(); ++i) {
    while (next < rows.size() && rows[next] < static_cast<std::int64_t>(i)) ++next;
    if (next < rows.size() && rows[next] == static_cast<std::int64_t>(i)) {
      ++removed;
      continue;
    }
    kept.push_back(std::move(m_items[i]));
  }
  m_items = std::move(kept);
  return removed;
}

void FileList::RemoveAll() {
  std::lock_guard lock(m_mutex);
  m_items.clear();
}

void FileList::SortByPath(bool ascending) {
  std::lock_guard lock(m_mutex);
  std::stable_sort(m_items.begin(), m_items.end(),
                   [ascending](const FileListItemRef& a, const FileListItemRef& b) {
                     const int order = a->filePathBytes().compare(b->filePathBytes());
                     return ascending ? order < 0 : order > 0;
                   });
}

std::vector<FileListItemRef> FileList::AllItems() const {
  std::lock_guard lock(m_mutex);
  return m_items;
}

std::vector<FileListItemRef> FileList::ItemsAtRows(std::vector<std::int64_t> rows) const {
  SortUnique(rows);
  std::lock_guard lock(m_mutex);
  std::vector<FileListItemRef> items;
  items.reserve(rows.size());
  for (std::int64_t row : rows) {
    if (row >= 0 && static_cast<std::uint64_t>(row) < m_items.size())
      items.push_back(m_items[static_cast<std::size_t>(row)]);
  }
  return items;
}
