#include "DragAndDropCommonFolderController.h"

#include "platform/FileUri.h"

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>

#include <system_error>

namespace fs = std::filesystem;

DragAndDropCommonFolderController::DragAndDropCommonFolderController(QWidget* parent)
    : QFrame(parent) {
  setAcceptDrops(true);
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
}

std::optional<fs::path> DragAndDropCommonFolderController::DroppableFolder(
    const QMimeData* mime) const {
  if (m_appDelegate == nullptr || !m_appDelegate->allowDragAndDrop()) return std::nullopt;
  if (mime == nullptr || !mime->hasFormat(QStringLiteral("text/uri-list"))) return std::nullopt;
  // Exactly one entry, and that one a local folder.
  const QList<QByteArray> entries = UriListEntries(mime->data(QStringLiteral("text/uri-list")));
  if (entries.size() != 1) return std::nullopt;
  const std::optional<fs::path> path = LocalPathFromFileUri(entries.front(), LocalHostName());
  if (!path) return std::nullopt;
  std::error_code ec;
  if (!fs::is_directory(*path, ec)) return std::nullopt;
  return path;
}

bool DragAndDropCommonFolderController::draggingEnteredOrUpdated(QDropEvent* event) {
  const bool takes = DroppableFolder(event->mimeData()).has_value();
  if (takes) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
  SetHighlighted(takes);
  return takes;
}

void DragAndDropCommonFolderController::dragEnterEvent(QDragEnterEvent* event) {
  draggingEnteredOrUpdated(event);
}

void DragAndDropCommonFolderController::dragMoveEvent(QDragMoveEvent* event) {
  draggingEnteredOrUpdated(event);
}

void DragAndDropCommonFolderController::dragLeaveEvent(QDragLeaveEvent* event) {
  SetHighlighted(false);
  event->accept();
}

void DragAndDropCommonFolderController::dropEvent(QDropEvent* event) {
  SetHighlighted(false);
  // Checked again: the folder may have gone, or drops been refused, since
  // the drag last moved.
  const std::optional<fs::path> folder = DroppableFolder(event->mimeData());
  if (!folder) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  m_appDelegate->WatchFolderPathChangeAction(*folder, m_boxTypeOption);
}

void DragAndDropCommonFolderController::SetHighlighted(bool highlighted) {
  if (m_highlighted == highlighted) return;
  m_highlighted = highlighted;
  // A raised frame while a folder would be taken.
  setFrameShadow(highlighted ? QFrame::Raised : QFrame::Sunken);
  setLineWidth(highlighted ? 2 : 1);
}
