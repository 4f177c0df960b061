#pragma once

#include <QAbstractTableModel>

class FileList;

// The table's view of the file list: the "Index" and "FilePath" columns. The
// row count is the one last announced, so rows that an adding run inserts
// appear when its coalesced notice arrives on the main thread.
class FileListTableModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  // Column identifiers, in display order.
  static constexpr int kIndexColumn = 0;
  static constexpr int kFilePathColumn = 1;
  static QString ColumnIdentifier(int column);

  explicit FileListTableModel(const FileList& list, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // The list has grown or shrunk: announce the new row count.
  void noteNumberOfRowsChanged();
  // Re-read every row; the selection stays on the same row numbers.
  void reloadData();

 private:
  const FileList& m_list;
  int m_rows = 0;
};
