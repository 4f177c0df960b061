#pragma once

#include <QRect>
#include <QStyledItemDelegate>

// Draws a table cell's text centred vertically in the cell instead of at the
// top; a text taller than the cell is clipped to it.
class VerticallyCenteredTextFieldCell : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // The rectangle the text is drawn into: the frame's x and width, the
  // natural height, centred, and clipped to the frame.
  static QRect CenteredInteriorRect(const QRect& frame, int naturalHeight);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};
