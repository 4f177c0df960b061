#include "NumericFieldRules.h"

#include "NumberScanners.h"

#include <cstdint>

namespace NumericFieldRules {
namespace {

using NumberScanners::Skipped;

constexpr std::int64_t kLargestScale = 6400;
constexpr std::int64_t kLowestShadowOffset = -5000;

enum class NumberKind { Int32, Int64, Float, Double };

NumberKind NumberKindOf(NumericFieldKind kind) {
  switch (kind) {
    case NumericFieldKind::WholeNumber:
      return NumberKind::Int32;
    case NumericFieldKind::Number:
    case NumericFieldKind::CharSpace:
      return NumberKind::Double;
    case NumericFieldKind::StartDigit:
    case NumericFieldKind::FileSize:
      return NumberKind::Float;
    default:
      return NumberKind::Int64;
  }
}

Skipped SkippedBy(NumericFieldKind kind) {
  return kind == NumericFieldKind::PDFScale || kind == NumericFieldKind::Scale ? Skipped::Percent
                                                                               : Skipped::WhiteSpace;
}

bool IsClean(NumericFieldKind kind, const QString& text) {
  const Skipped skipped = SkippedBy(kind);
  switch (NumberKindOf(kind)) {
    case NumberKind::Int32:
      return NumberScanners::IsCleanInt32(text, skipped);
    case NumberKind::Int64:
      return NumberScanners::IsCleanInt64(text, skipped);
    case NumberKind::Float:
      return NumberScanners::IsCleanFloat(text, skipped);
    case NumberKind::Double:
      return NumberScanners::IsCleanDouble(text, skipped);
  }
  return false;
}

// The corrected text for a text that is neither clean nor empty.
QString Corrected(NumericFieldKind kind, const QString& text) {
  using namespace NumberScanners;
  switch (kind) {
    case NumericFieldKind::WholeNumber: {
      const std::int32_t value = LeadingInt32(text);
      return WriteInt64(value < 0 ? 0 : value);
    }
    case NumericFieldKind::Number:
    case NumericFieldKind::CharSpace: {
      const double value = LeadingDouble(text);
      return WriteDouble(value > 0 ? value : 0.0);
    }
    case NumericFieldKind::StartDigit: {
      const float value = LeadingFloat(text);
      return WriteFloat(value >= 0 ? value : 0.0F);
    }
    case NumericFieldKind::FileSize: {
      const float value = LeadingFloat(text);
      return WriteFloat(value >= 0.5F ? value : 0.5F);
    }
    case NumericFieldKind::ZeroCount:
    case NumericFieldKind::RotationAngle:
    case NumericFieldKind::ShadowBlur: {
      const std::int64_t value = LeadingInt64(text);
      return WriteInt64(value < 0 ? 0 : value);
    }
    case NumericFieldKind::PageCount:
    case NumericFieldKind::Resolution:
    case NumericFieldKind::FontSize:
    case NumericFieldKind::PDFScale: {
      const std::int64_t value = LeadingInt64(text);
      return WriteInt64(value <= 0 ? 1 : value);
    }
    case NumericFieldKind::ShadowXOffset:
    case NumericFieldKind::ShadowYOffset: {
      const std::int64_t value = LeadingInt64(text);
      return WriteInt64(value < kLowestShadowOffset ? kLowestShadowOffset : value);
    }
    case NumericFieldKind::Scale: {
      const std::int64_t value = LeadingInt64(text);
      if (value <= 0) {
        return WriteInt64(1);
      }
      return WriteInt64(value > kLargestScale ? kLargestScale : value);
    }
    case NumericFieldKind::PageRange:
      return FilterPageRange(text);
  }
  return text;
}

std::optional<QString> IfChanged(const QString& result, const QString& text) {
  if (result == text) {
    return std::nullopt;
  }
  return result;
}

bool IsRangeCharacter(QChar c) { return (c >= u'0' && c <= u'9') || c == u'-' || c == u','; }

bool IsSeparator(QChar c) { return c == u'-' || c == u','; }

}  // namespace

std::optional<QString> TextAfterEdit(NumericFieldKind kind, const QString& text) {
  if (kind == NumericFieldKind::PageRange) {
    return IfChanged(FilterPageRange(text), text);
  }
  if (IsClean(kind, text)) {
    // The percent kinds' clean test passes a sign before the number too
    // ("%150"), which no reading of the value skips: written as its number,
    // the text means to the bounds and to whoever reads it what it showed.
    if (SkippedBy(kind) == Skipped::Percent && text.startsWith(u'%')) {
      qsizetype digits = 0;
      while (digits < text.size() && text[digits] == u'%') {
        ++digits;
      }
      const QString number = text.mid(digits);
      return IfChanged(TextAfterEdit(kind, number).value_or(number), text);
    }
    if (kind == NumericFieldKind::Scale && NumberScanners::LeadingInt64(text) > kLargestScale) {
      return IfChanged(NumberScanners::WriteInt64(kLargestScale), text);
    }
    return std::nullopt;
  }
  if (text.isEmpty()) {
    return std::nullopt;
  }
  // A lone sign is how a negative offset starts to be typed.
  if ((kind == NumericFieldKind::ShadowXOffset || kind == NumericFieldKind::ShadowYOffset) &&
      text == QLatin1String("-")) {
    return std::nullopt;
  }
  return IfChanged(Corrected(kind, text), text);
}

std::optional<QString> TextAtEndOfEditing(NumericFieldKind kind, const QString& text) {
  using namespace NumberScanners;
  switch (kind) {
    case NumericFieldKind::WholeNumber:
    case NumericFieldKind::ZeroCount:
      if (LeadingInt64(text) < 0) {
        return IfChanged(WriteInt64(0), text);
      }
      break;
    case NumericFieldKind::Number:
    case NumericFieldKind::CharSpace:
      if (LeadingDouble(text) < 0) {
        return IfChanged(WriteDouble(0), text);
      }
      break;
    case NumericFieldKind::StartDigit:
      if (LeadingFloat(text) < 0) {
        return IfChanged(WriteInt64(0), text);
      }
      break;
    case NumericFieldKind::FileSize:
      // Below the smallest size means no limit, written as 0.
      if (LeadingFloat(text) < 0.5F) {
        return IfChanged(WriteInt64(0), text);
      }
      break;
    case NumericFieldKind::PageCount:
    case NumericFieldKind::Resolution:
    case NumericFieldKind::FontSize:
      if (LeadingInt64(text) <= 0) {
        return IfChanged(WriteInt64(1), text);
      }
      break;
    case NumericFieldKind::RotationAngle:
    case NumericFieldKind::ShadowBlur:
      if (LeadingInt64(text) <= 0) {
        return IfChanged(WriteInt64(0), text);
      }
      break;
    case NumericFieldKind::ShadowXOffset:
    case NumericFieldKind::ShadowYOffset:
      if (LeadingInt64(text) <= kLowestShadowOffset) {
        return IfChanged(WriteInt64(kLowestShadowOffset), text);
      }
      break;
    case NumericFieldKind::PDFScale:
      if (LeadingInt64(text) <= 1) {
        return IfChanged(WriteInt64(1), text);
      }
      break;
    case NumericFieldKind::Scale:
    case NumericFieldKind::PageRange:
      break;
  }
  return std::nullopt;
}

QString FilterPageRange(const QString& text) {
  qsizetype start = 0;
  while (start < text.size() && text[start].isSpace()) {
    ++start;
  }
  qsizetype end = start;
  while (end < text.size() && IsRangeCharacter(text[end])) {
    ++end;
  }
  QString run = text.mid(start, end - start);
  if (run.size() >= 2 && IsSeparator(run[run.size() - 1]) && IsSeparator(run[run.size() - 2])) {
    run.chop(1);
  }
  // Also after the chop: a pasted ",-" must not leave a lone ",".
  if (run.size() == 1 && IsSeparator(run[0])) {
    return QString();
  }
  return run;
}

}  // namespace NumericFieldRules
