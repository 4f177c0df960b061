#pragma once

#include <QString>

#include <optional>

// The rules of the validated numeric entry fields, without any widget: what
// a field makes of its text after an edit, and when the user leaves it.
// Each field class of NumericTextFields.h applies the rules of its kind.
enum class NumericFieldKind {
  WholeNumber,
  Number,
  ZeroCount,
  StartDigit,
  PageCount,
  FileSize,
  Resolution,
  FontSize,
  RotationAngle,
  ShadowBlur,
  ShadowXOffset,
  ShadowYOffset,
  PDFScale,
  CharSpace,
  Scale,
  PageRange,
};

namespace NumericFieldRules {

// The text a field of the kind shows after an edit left it as text, or
// nothing when the text stays as typed. A clean number stays even when out of
// range (bounds apply when editing ends), except the scale's upper bound;
// an empty text stays empty; any other text is replaced by its corrected
// leading number.
std::optional<QString> TextAfterEdit(NumericFieldKind kind, const QString& text);

// The text a field of the kind shows once the user leaves it, or nothing when
// the text stays: the value is clamped to the kind's lower bound.
std::optional<QString> TextAtEndOfEditing(NumericFieldKind kind, const QString& text);

// The page-range filter: leading white space dropped, then the longest run of
// "1234567890-," kept; a run ending in two separators loses its last one,
// and a lone "-" or "," gives the empty text.
QString FilterPageRange(const QString& text);

}  // namespace NumericFieldRules
