#pragma once

#include "filelist/FileListItem.h"

#include <QString>

#include <filesystem>
#include <unordered_map>

// What became of each file of the list in the conversions of this run of the
// program: waiting, converting, converted (into which PDF), failed (and why).
// Files never converted have no entry. Main thread only.
class ItemStatusBoard {
 public:
  enum class State { None, Waiting, Converting, Converted, Failed };
  struct Status {
    State state = State::None;
    std::filesystem::path pdf;  // Converted: the PDF as written
    QString reason;             // Failed: in words, one sentence
    QString details;            // Failed: the converter's own message
  };

  void Set(const FileListItemRef& item, Status status);
  void SetState(const FileListItemRef& item, State state);
  // None for an item without news.
  const Status& StatusOf(const FileListItem* item) const;
  // Items still waiting go back to having no news (a cancelled batch).
  void ClearWaiting();

  // The text of the status column, and its longer form for a tooltip.
  static QString Text(const Status& status);
  static QString ToolTip(const Status& status);

 private:
  struct Entry {
    FileListItemRef item;  // keeps the address from being reused
    Status status;
  };
  std::unordered_map<const FileListItem*, Entry> m_entries;
};
