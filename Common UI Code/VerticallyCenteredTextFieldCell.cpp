#include "VerticallyCenteredTextFieldCell.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

#include <cmath>

QRect VerticallyCenteredTextFieldCell::CenteredInteriorRect(const QRect& frame, int naturalHeight) {
  const double y = frame.y() + (frame.height() - naturalHeight) * 0.5;
  const QRect centred(frame.x(), static_cast<int>(std::floor(y)), frame.width(), naturalHeight);
  return centred.intersected(frame);
}

void VerticallyCenteredTextFieldCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                            const QModelIndex& index) const {
  QStyleOptionViewItem full = option;
  initStyleOption(&full, index);
  const QWidget* widget = option.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  // The row's background and selection cover the whole cell.
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &full, painter, widget);

  const int natural = sizeHint(option, index).height();
  QStyleOptionViewItem centred = option;
  centred.rect = CenteredInteriorRect(option.rect, natural);
  painter->save();
  painter->setClipRect(option.rect);
  QStyledItemDelegate::paint(painter, centred, index);
  painter->restore();
}
