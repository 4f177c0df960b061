#include "BMTValidatedViewToolbarItem.h"

#include <QAbstractButton>

BMTValidatedViewToolbarItem::BMTValidatedViewToolbarItem(const QString& identifier, QAbstractButton* view,
                                                         QObject* parent)
    : QWidgetAction(parent), m_identifier(identifier), m_view(view) {
  setObjectName(identifier);
  setDefaultWidget(view);
}
