#pragma once

#include "NumericFieldRules.h"

#include <QComboBox>
#include <QLineEdit>

class QFocusEvent;
class QKeyEvent;

// An entry field that keeps its text a plausible number of one kind: every
// edit is corrected before the field reports it (so textChanged, textEdited
// and every observer see the corrected text), and the value is clamped to
// its bound when the user leaves the field (Tab, a click elsewhere, Return),
// before editingFinished and returnPressed are emitted.
class NumericLineEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit NumericLineEdit(NumericFieldKind kind, QWidget* parent = nullptr);

  NumericFieldKind kind() const { return kind_; }

  // The clamp that leaving the field applies.
  void ClampAtEndOfEditing();

 protected:
  void focusOutEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  NumericFieldKind kind_;
};

// An editable combo box whose text follows the same rules; the list offers
// values, typing is corrected like a numeric field. Return does not add the
// typed value to the list.
class NumericComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit NumericComboBox(NumericFieldKind kind, QWidget* parent = nullptr);

  NumericLineEdit* numericLineEdit() const { return lineEdit_; }

 protected:
  void focusOutEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  NumericLineEdit* lineEdit_;
};

// A count, never negative.
class WholeNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit WholeNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::WholeNumber, parent) {}
};

// A positive decimal quantity.
class NumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit NumberField(QWidget* parent = nullptr) : NumericLineEdit(NumericFieldKind::Number, parent) {}
};

// A number of leading zeros.
class ZeroCountNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit ZeroCountNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::ZeroCount, parent) {}
};

// The first number of a numbering.
class StartDigitNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit StartDigitNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::StartDigit, parent) {}
};

// A number of pages, at least 1.
class PageCountNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit PageCountNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::PageCount, parent) {}
};

// A file size; below 0.5 it ends as 0, meaning no limit.
class FileSizeNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit FileSizeNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::FileSize, parent) {}
};

// A resolution, at least 1.
class ResolutionComboBox : public NumericComboBox {
  Q_OBJECT
 public:
  explicit ResolutionComboBox(QWidget* parent = nullptr)
      : NumericComboBox(NumericFieldKind::Resolution, parent) {}
};

// A font size, at least 1.
class FontSizeNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit FontSizeNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::FontSize, parent) {}
};

// An angle in degrees, not negative.
class RotationAngleNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit RotationAngleNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::RotationAngle, parent) {}
};

// A shadow's blur radius, not negative.
class ShadowBlurNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit ShadowBlurNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::ShadowBlur, parent) {}
};

// A signed horizontal shadow offset, at least -5000.
class ShadowXOffsetNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit ShadowXOffsetNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::ShadowXOffset, parent) {}
};

// A signed vertical shadow offset, at least -5000.
class ShadowYOffsetNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit ShadowYOffsetNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::ShadowYOffset, parent) {}
};

// A scale in percent, at least 1; "150%" is clean.
class PDFScaleNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit PDFScaleNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::PDFScale, parent) {}
};

// Extra space between characters, not negative.
class CharSpaceField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit CharSpaceField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::CharSpace, parent) {}
};

// A zoom scale in percent, at most 6400.
class ScaleComboBox : public NumericComboBox {
  Q_OBJECT
 public:
  explicit ScaleComboBox(QWidget* parent = nullptr) : NumericComboBox(NumericFieldKind::Scale, parent) {}
};

// Page ranges such as 1-5,8.
class PageRangeNumberField : public NumericLineEdit {
  Q_OBJECT
 public:
  explicit PageRangeNumberField(QWidget* parent = nullptr)
      : NumericLineEdit(NumericFieldKind::PageRange, parent) {}
};
