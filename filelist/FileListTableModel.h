#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

class FileList;
class ItemStatusBoard;


// The table's view of the file list: the "Index", "FilePath" and "Status"
// columns. The
// row count is the one last announced, so rows that an adding run inserts
// appear when its coalesced notice arrives on the main thread.
class FileListTableModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  // Column identifiers, in display order.
  static constexpr int kIndexColumn = 0;
  static constexpr int kFilePathColumn = 1;
  static constexpr int kStatusColumn = 2;
  static QString ColumnIdentifier(int column);

  explicit FileListTableModel(const FileList& list, QObject* parent = nullptr);
  // Where the status column reads each file's news; none leaves it empty.
  void setStatusBoard(const ItemStatusBoard* board) { m_statusBoard = board; }
  // The status of some rows changed.
  void noteStatusChanged();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // No cell is editable; rows may be dragged out, files dropped in.
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override;
  Qt::DropActions supportedDropActions() const override;
  Qt::DropActions supportedDragActions() const override;
  bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                       const QModelIndex& parent) const override;
  // A drop on a row or above it inserts at that row; one below the last row,
  // at the end.
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;

  // Takes dropped files and the list position for them; false refuses.
  using DropHandler =
      std::function<bool(std::vector<std::filesystem::path> paths, std::int64_t row)>;
  void setDropHandler(DropHandler handler) { m_dropHandler = std::move(handler); }
  // Describes dragged rows (ascending, distinct); null offers nothing.
  using DragDataFactory = std::function<QMimeData*(const std::vector<std::int64_t>& rows)>;
  void setDragDataFactory(DragDataFactory factory) { m_dragDataFactory = std::move(factory); }

  // The list has grown or shrunk: announce the new row count.
  void noteNumberOfRowsChanged();
  // Re-read every row; the selection stays on the same row numbers.
  void reloadData();

 private:
  const FileList& m_list;
  int m_rows = 0;
  const ItemStatusBoard* m_statusBoard = nullptr;
  DropHandler m_dropHandler;
  DragDataFactory m_dragDataFactory;
};
