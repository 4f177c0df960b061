#pragma once

#include <QFrame>

#include <cstdint>
#include <filesystem>
#include <optional>

class QMimeData;

// What a folder drop box asks of its owner.
class FolderDropDelegate {
 public:
  virtual ~FolderDropDelegate() = default;
  // Whether folders may be dropped at the moment.
  virtual bool allowDragAndDrop() const = 0;
  // A folder was dropped on a box of the given type.
  virtual void WatchFolderPathChangeAction(const std::filesystem::path& folder,
                                           std::int32_t boxType) = 0;
};

// A box that takes exactly one local folder dropped on it (text/uri-list)
// and hands it to its delegate together with its box type, which names the
// slot the folder is meant for (0 source, 1 destination, 2 move-to).
class DragAndDropCommonFolderController : public QFrame {
  Q_OBJECT
 public:
  explicit DragAndDropCommonFolderController(QWidget* parent = nullptr);

  FolderDropDelegate* appDelegate() const { return m_appDelegate; }
  void setAppDelegate(FolderDropDelegate* delegate) { m_appDelegate = delegate; }
  std::int32_t boxTypeOption() const { return m_boxTypeOption; }
  void setBoxTypeOption(std::int32_t option) { m_boxTypeOption = option; }

  // The one folder a drag carries when the box would take it: the delegate
  // allows drops, the data lists exactly one local path and that path is an
  // existing folder.
  std::optional<std::filesystem::path> DroppableFolder(const QMimeData* mime) const;

  // Whether a drag is hovering over the box and would be taken.
  bool isDropHighlighted() const { return m_highlighted; }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  bool draggingEnteredOrUpdated(QDropEvent* event);
  void SetHighlighted(bool highlighted);

  FolderDropDelegate* m_appDelegate = nullptr;
  std::int32_t m_boxTypeOption = 0;
  bool m_highlighted = false;
};
