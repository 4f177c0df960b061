#include "filelist/ItemStatusBoard.h"

#include "platform/DisplayPath.h"
#include "platform/LocalizedString.h"


void ItemStatusBoard::Set(const FileListItemRef& item, Status status) {
  if (!item) return;
  if (status.state == State::None) {
    m_entries.erase(item.get());
    return;
  }
  m_entries[item.get()] = Entry{item, std::move(status)};
}

void ItemStatusBoard::SetState(const FileListItemRef& item, State state) {
  Status status;
  status.state = state;
  Set(item, std::move(status));
}

const ItemStatusBoard::Status& ItemStatusBoard::StatusOf(const FileListItem* item) const {
  static const Status none;
  const auto found = m_entries.find(item);
  return found == m_entries.end() ? none : found->second.status;
}

void ItemStatusBoard::ClearWaiting() {
  std::erase_if(m_entries, [](const auto& entry) {
    return entry.second.status.state == State::Waiting ||
           entry.second.status.state == State::Converting;
  });
}

QString ItemStatusBoard::Text(const Status& status) {
  switch (status.state) {
    case State::None: return {};
    case State::Waiting: return LocalizedString("StatusWaiting");
    case State::Converting: return LocalizedString("StatusConverting");
    case State::Converted:
      return LocalizedString("StatusConverted").arg(DisplayPath(status.pdf.filename()));
    case State::Failed: return LocalizedString("StatusFailed").arg(status.reason);
  }
  return {};
}

QString ItemStatusBoard::ToolTip(const Status& status) {
  switch (status.state) {
    case State::Converted:
      return LocalizedString("StatusConvertedToolTip").arg(DisplayPath(status.pdf));
    case State::Failed:
      if (status.details.isEmpty()) return status.reason;
      return status.reason + QLatin1Char('\n') + status.details;
    default: return Text(status);
  }
}
