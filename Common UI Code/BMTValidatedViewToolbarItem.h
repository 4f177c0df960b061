#pragma once

#include <QString>
#include <QWidgetAction>

class QAbstractButton;

// A toolbar item whose view is a control (a button). Validation asks the
// control's target: when the target has the control's action, the item is
// enabled, or as the target answers validateToolbarItem when it has that.
class BMTValidatedViewToolbarItem : public QWidgetAction {
  Q_OBJECT
 public:
  BMTValidatedViewToolbarItem(const QString& identifier, QAbstractButton* view, QObject* parent);

  QString itemIdentifier() const { return m_identifier; }
  QAbstractButton* view() const { return m_view; }

  // The object and the name of its slot that the control triggers; clicking
  // the control invokes it.
  void setTarget(QObject* target, const char* action);
  QObject* target() const { return m_target; }
  QByteArray action() const { return m_action; }

  void validate();
  // The control part of validate(), also run by the toolbar.
  void validateControl();

 private:
  QString m_identifier;
  QAbstractButton* m_view;
  QObject* m_target = nullptr;
  QByteArray m_action;
};
