#pragma once

#include <QList>
#include <QToolBar>

class BMTValidatedViewToolbarItem;

// A toolbar whose items carry controls, found by their identifiers.
class BMTValidatedViewToolbar : public QToolBar {
  Q_OBJECT
 public:
  using QToolBar::QToolBar;

  void addItem(BMTValidatedViewToolbarItem* item);
  QList<BMTValidatedViewToolbarItem*> visibleItems() const;
  BMTValidatedViewToolbarItem* itemWithIdentifier(const QString& identifier) const;


 private:
  QList<BMTValidatedViewToolbarItem*> m_items;
};
