#pragma once

#include <QList>
#include <QToolBar>

class BMTValidatedViewToolbarItem;

// A toolbar whose items carry controls; validating it validates the
// controls of the items that are placed in the window.
class BMTValidatedViewToolbar : public QToolBar {
  Q_OBJECT
 public:
  using QToolBar::QToolBar;

  void addItem(BMTValidatedViewToolbarItem* item);
  QList<BMTValidatedViewToolbarItem*> visibleItems() const;
  BMTValidatedViewToolbarItem* itemWithIdentifier(const QString& identifier) const;

  void validateVisibleItems();

 private:
  QList<BMTValidatedViewToolbarItem*> m_items;
};
