#pragma once

#include <QString>
#include <QWidgetAction>

class QAbstractButton;

// A toolbar item whose view is a control (a button), known by its
// identifier. The control follows whatever command it stands for; the item
// itself decides nothing.
class BMTValidatedViewToolbarItem : public QWidgetAction {
  Q_OBJECT
 public:
  BMTValidatedViewToolbarItem(const QString& identifier, QAbstractButton* view, QObject* parent);

  QString itemIdentifier() const { return m_identifier; }
  QAbstractButton* view() const { return m_view; }

 private:
  QString m_identifier;
  QAbstractButton* m_view;
};
