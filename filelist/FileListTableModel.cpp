#include "filelist/FileListTableModel.h"

#include "filelist/FileList.h"
#include "filelist/ItemStatusBoard.h"
#include "platform/DisplayPath.h"
#include "platform/FileUri.h"
#include "platform/LocalizedString.h"

#include <QColor>
#include <QMimeData>

#include <algorithm>
#include <climits>

namespace {

int ClampedCount(std::size_t count) {
  return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

const QString kUriListType = QStringLiteral("text/uri-list");

}  // namespace

QString FileListTableModel::ColumnIdentifier(int column) {
  switch (column) {
    case kIndexColumn: return QStringLiteral("Index");
    case kFilePathColumn: return QStringLiteral("FilePath");
    case kStatusColumn: return QStringLiteral("Status");
    default: return {};
  }
}

FileListTableModel::FileListTableModel(const FileList& list, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_rows(ClampedCount(list.Count())) {}

int FileListTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_rows;
}

int FileListTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 3;
}

QVariant FileListTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= m_rows) return {};
  if (role == Qt::TextAlignmentRole && index.column() == kIndexColumn)
    return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  if (role == Qt::ForegroundRole && index.column() == kStatusColumn && m_statusBoard != nullptr) {
    // A failure stands out from the rows around it.
    const FileListItemRef item = m_list.ItemAt(index.row());
    if (item && m_statusBoard->StatusOf(item.get()).state == ItemStatusBoard::State::Failed)
      return QColor(0xb0, 0x1c, 0x1c);
    return {};
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  const QString identifier = ColumnIdentifier(index.column());
  if (identifier == QLatin1String("Index")) {
    if (role == Qt::ToolTipRole) return {};
    return QString::number(index.row() + 1);
  }
  if (identifier == QLatin1String("FilePath")) {
    const FileListItemRef item = m_list.ItemAt(index.row());
    if (!item) return {};
    return DisplayPath(item->filePathBytes());
  }
  if (identifier == QLatin1String("Status")) {
    if (m_statusBoard == nullptr) return {};
    const FileListItemRef item = m_list.ItemAt(index.row());
    if (!item) return {};
    const ItemStatusBoard::Status& status = m_statusBoard->StatusOf(item.get());
    return role == Qt::ToolTipRole ? ItemStatusBoard::ToolTip(status)
                                   : ItemStatusBoard::Text(status);
  }
  return {};
}

QVariant FileListTableModel::headerData(int section, Qt::Orientation orientation,
                                        int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == kIndexColumn) return LocalizedString("IndexColumnTitle");
  if (section == kFilePathColumn) return LocalizedString("FilePathColumnTitle");
  if (section == kStatusColumn) return LocalizedString("StatusColumnTitle");
  return {};
}

void FileListTableModel::noteStatusChanged() {
  if (m_rows == 0) return;
  Q_EMIT dataChanged(index(0, kStatusColumn), index(m_rows - 1, kStatusColumn));
}

void FileListTableModel::noteNumberOfRowsChanged() {
  const int count = ClampedCount(m_list.Count());
  if (count > m_rows) {
    beginInsertRows({}, m_rows, count - 1);
    m_rows = count;
    endInsertRows();
  } else if (count < m_rows) {
    beginRemoveRows({}, count, m_rows - 1);
    m_rows = count;
    endRemoveRows();
  }
}

void FileListTableModel::reloadData() {
  // Not a model reset: the table keeps the selected row numbers, whatever
  // items they now show.
  noteNumberOfRowsChanged();
  if (m_rows > 0) Q_EMIT dataChanged(index(0, 0), index(m_rows - 1, columnCount() - 1));
}

Qt::ItemFlags FileListTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return QAbstractTableModel::flags(index) | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

QStringList FileListTableModel::mimeTypes() const { return {kUriListType}; }

Qt::DropActions FileListTableModel::supportedDropActions() const { return Qt::CopyAction; }

Qt::DropActions FileListTableModel::supportedDragActions() const {
  // Whatever the destination outside the application asks for.
  return Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
}

bool FileListTableModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int,
                                         const QModelIndex&) const {
  return data != nullptr && data->hasFormat(kUriListType) && m_dropHandler != nullptr;
}

bool FileListTableModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row,
                                      int column, const QModelIndex& parent) {
  if (!canDropMimeData(data, action, row, column, parent)) return false;
  std::vector<std::filesystem::path> paths = LocalPathsFromUriList(data->data(kUriListType));
  if (paths.empty()) return false;
  std::int64_t at = row;
  if (row < 0) at = parent.isValid() ? parent.row() : m_rows;
  return m_dropHandler(std::move(paths), at);
}

QMimeData* FileListTableModel::mimeData(const QModelIndexList& indexes) const {
  if (!m_dragDataFactory) return nullptr;
  std::vector<std::int64_t> rows;
  rows.reserve(static_cast<std::size_t>(indexes.size()));
  for (const QModelIndex& index : indexes)
    if (index.isValid() && index.row() < m_rows) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (rows.empty()) return nullptr;
  return m_dragDataFactory(rows);
}
