#include "BMTValidatedViewToolbar.h"

#include "BMTValidatedViewToolbarItem.h"

void BMTValidatedViewToolbar::addItem(BMTValidatedViewToolbarItem* item) {
  m_items.append(item);
  addAction(item);
}

QList<BMTValidatedViewToolbarItem*> BMTValidatedViewToolbar::visibleItems() const {
  QList<BMTValidatedViewToolbarItem*> items;
  for (BMTValidatedViewToolbarItem* item : m_items)
    if (item->isVisible()) items.append(item);
  return items;
}

BMTValidatedViewToolbarItem* BMTValidatedViewToolbar::itemWithIdentifier(
    const QString& identifier) const {
  for (BMTValidatedViewToolbarItem* item : m_items)
    if (item->itemIdentifier() == identifier) return item;
  return nullptr;
}
