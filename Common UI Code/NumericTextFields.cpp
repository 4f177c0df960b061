#include "NumericTextFields.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QValidator>

#include <algorithm>

namespace {

// The line control asks its validator about every new text before it shows
// it or emits anything, so a correction made here is what every observer
// sees. A corrected text is checked again, which leaves it as it is.
class NumericTextValidator : public QValidator {
 public:
  NumericTextValidator(NumericFieldKind kind, QObject* parent) : QValidator(parent), kind_(kind) {}

  State validate(QString& input, int& position) const override {
    if (auto corrected = NumericFieldRules::TextAfterEdit(kind_, input)) {
      input = *corrected;
      position = std::clamp(position, 0, static_cast<int>(input.size()));
    }
    return Acceptable;
  }

 private:
  NumericFieldKind kind_;
};

bool IsReturnKey(const QKeyEvent* event) {
  return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

}  // namespace

NumericLineEdit::NumericLineEdit(NumericFieldKind kind, QWidget* parent)
    : QLineEdit(parent), kind_(kind) {
  setValidator(new NumericTextValidator(kind, this));
}

void NumericLineEdit::ClampAtEndOfEditing() {
  if (auto clamped = NumericFieldRules::TextAtEndOfEditing(kind_, text())) {
    setText(*clamped);
  }
}

void NumericLineEdit::focusOutEvent(QFocusEvent* event) {
  // The field's own context menu does not end editing.
  if (event->reason() != Qt::PopupFocusReason) {
    ClampAtEndOfEditing();
  }
  QLineEdit::focusOutEvent(event);
}

void NumericLineEdit::keyPressEvent(QKeyEvent* event) {
  if (IsReturnKey(event)) {
    ClampAtEndOfEditing();
  }
  QLineEdit::keyPressEvent(event);
}

NumericComboBox::NumericComboBox(NumericFieldKind kind, QWidget* parent)
    : QComboBox(parent), lineEdit_(new NumericLineEdit(kind, this)) {
  setEditable(true);
  setLineEdit(lineEdit_);
  setInsertPolicy(QComboBox::NoInsert);
}

void NumericComboBox::focusOutEvent(QFocusEvent* event) {
  if (event->reason() != Qt::PopupFocusReason) {
    lineEdit_->ClampAtEndOfEditing();
  }
  QComboBox::focusOutEvent(event);
}

void NumericComboBox::keyPressEvent(QKeyEvent* event) {
  if (IsReturnKey(event)) {
    lineEdit_->ClampAtEndOfEditing();
  }
  QComboBox::keyPressEvent(event);
}
