#include "DragAndDropCommonFolderController.h"

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <system_error>

namespace fs = std::filesystem;

namespace {

// The local path of a file URL, byte for byte: the percent-encoded form is
// decoded to bytes rather than to text, so that a name which is not valid
// UTF-8 still names the same folder.
std::optional<fs::path> LocalPathOfUrl(const QUrl& url) {
  if (!url.isValid() || !url.isLocalFile()) return std::nullopt;
  const QString host = url.host();
  if (!host.isEmpty() && host != QLatin1String("localhost")) return std::nullopt;
  const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
  if (bytes.isEmpty() || bytes.front() != '/') return std::nullopt;
  return fs::path(bytes.toStdString());
}

}  // namespace

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
  const QList<QUrl> urls = mime->urls();
  if (urls.size() != 1) return std::nullopt;
  const std::optional<fs::path> path = LocalPathOfUrl(urls.front());
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
