#include "BMTValidatedViewToolbarItem.h"

#include <QAbstractButton>
#include <QMetaMethod>
#include <QMetaObject>
#include <QPointer>

BMTValidatedViewToolbarItem::BMTValidatedViewToolbarItem(const QString& identifier,
                                                         QAbstractButton* view, QObject* parent)
    : QWidgetAction(parent), m_identifier(identifier), m_view(view) {
  setObjectName(identifier);
  setDefaultWidget(view);
  connect(view, &QAbstractButton::clicked, this, [this] {
    if (m_target != nullptr && !m_action.isEmpty())
      QMetaObject::invokeMethod(m_target, m_action.constData(), Qt::DirectConnection);
  });
}

void BMTValidatedViewToolbarItem::setTarget(QObject* target, const char* action) {
  m_target = target;
  m_action = action != nullptr ? QByteArray(action) : QByteArray();
}

void BMTValidatedViewToolbarItem::validate() {
  // A widget action has no validation of its own; the control's is all.
  validateControl();
}

void BMTValidatedViewToolbarItem::validateControl() {
  if (m_view == nullptr || m_target == nullptr || m_action.isEmpty()) return;
  const QMetaObject* meta = m_target->metaObject();
  const QByteArray signature = m_action + "()";
  if (meta->indexOfMethod(QMetaObject::normalizedSignature(signature.constData())) < 0) return;
  bool enabled = true;
  const int validator = meta->indexOfMethod(
      QMetaObject::normalizedSignature("validateToolbarItem(BMTValidatedViewToolbarItem*)"));
  if (validator >= 0) {
    bool answer = true;
    meta->method(validator).invoke(m_target, Qt::DirectConnection, Q_RETURN_ARG(bool, answer),
                                   Q_ARG(BMTValidatedViewToolbarItem*, this));
    enabled = answer;
  }
  setEnabled(enabled);
  m_view->setEnabled(enabled);
}
