// Feeds arbitrary texts to the numeric fields' scanners and rules, and checks
// what every field must guarantee: a corrected text stays as it is, a
// clamped value keeps its bound, a clean number reads as the standard
// library reads it, and the page-range filter keeps a prefix of the text.

#include "NumberScanners.h"
#include "NumericFieldRules.h"

#include <QString>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace NumberScanners;

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

std::string TrimmedAscii(const QString& text) {
  const QByteArray ascii = text.trimmed().toLatin1();
  std::string trimmed(ascii.constData(), static_cast<std::size_t>(ascii.size()));
  return trimmed;
}

void CheckAgainstStandardLibrary(const QString& text) {
  if (IsCleanInt64(text)) {
    std::string number = TrimmedAscii(text);
    if (!number.empty() && number[0] == '+') {
      number.erase(0, 1);
    }
    std::int64_t expected = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), expected);
    if (error == std::errc()) {
      Require(end == number.data() + number.size(), "a clean integer is read whole");
      Require(LeadingInt64(text) == expected, "a clean integer reads as from_chars reads it");
      Require(IsCleanInt32(text), "a clean 64-bit integer is a clean 32-bit one");
    } else {
      Require(LeadingInt64(text) == INT64_MAX || LeadingInt64(text) == INT64_MIN,
              "an integer out of range clamps to the limits");
    }
  }
  if (IsCleanDouble(text)) {
    const std::string number = TrimmedAscii(text);
    errno = 0;
    char* end = nullptr;
    const double expected = std::strtod(number.c_str(), &end);
    const double value = LeadingDouble(text);
    Require(std::isfinite(value), "a value read is finite");
    if (errno == 0 && std::isfinite(expected)) {
      Require(value == expected, "a clean real reads as strtod reads it");
    }
    Require(std::isfinite(LeadingFloat(text)), "a float read is finite");
  }
  Require(std::isfinite(LeadingDouble(text)) && std::isfinite(LeadingFloat(text)),
          "a leading number is finite");
}

void CheckRules(NumericFieldKind kind, const QString& text) {
  const auto corrected = NumericFieldRules::TextAfterEdit(kind, text);
  const QString typed = corrected.value_or(text);
  if (corrected && kind != NumericFieldKind::PageRange) {
    Require(!NumericFieldRules::TextAfterEdit(kind, typed), "a corrected text stays as it is");
  }
  if (kind == NumericFieldKind::Scale && IsCleanInt64(typed, Skipped::Percent)) {
    Require(LeadingInt64(typed) <= 6400, "a typed scale is at most 6400");
  }
  const auto clamped = NumericFieldRules::TextAtEndOfEditing(kind, typed);
  const QString left = clamped.value_or(typed);
  Require(!NumericFieldRules::TextAtEndOfEditing(kind, left), "a clamped text stays as it is");
  switch (kind) {
    case NumericFieldKind::WholeNumber:
    case NumericFieldKind::ZeroCount:
    case NumericFieldKind::RotationAngle:
    case NumericFieldKind::ShadowBlur:
      Require(LeadingInt64(left) >= 0, "a count is not negative once left");
      break;
    case NumericFieldKind::PageCount:
    case NumericFieldKind::Resolution:
    case NumericFieldKind::FontSize:
    case NumericFieldKind::PDFScale:
      Require(LeadingInt64(left) >= 1, "a positive quantity is at least 1 once left");
      break;
    case NumericFieldKind::ShadowXOffset:
    case NumericFieldKind::ShadowYOffset:
      Require(LeadingInt64(left) >= -5000, "an offset is at least -5000 once left");
      break;
    case NumericFieldKind::Number:
    case NumericFieldKind::CharSpace:
      Require(LeadingDouble(left) >= 0, "a decimal quantity is not negative once left");
      break;
    case NumericFieldKind::StartDigit:
    case NumericFieldKind::FileSize:
      Require(LeadingFloat(left) >= 0, "a float quantity is not negative once left");
      break;
    case NumericFieldKind::Scale:
    case NumericFieldKind::PageRange:
      break;
  }
}

void CheckPageRange(const QString& text) {
  const QString filtered = NumericFieldRules::FilterPageRange(text);
  qsizetype start = 0;
  while (start < text.size() && text[start].isSpace()) {
    ++start;
  }
  Require(QStringView(text).sliced(start).startsWith(filtered), "the filter keeps a prefix");
  for (const QChar c : filtered) {
    Require((c >= u'0' && c <= u'9') || c == u'-' || c == u',', "the filter keeps range characters");
  }
  Require(filtered != QLatin1String("-") && filtered != QLatin1String(","), "no lone separator");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const QString exact(text.constData(), text.size());
  CheckAgainstStandardLibrary(exact);
  for (int k = 0; k <= static_cast<int>(NumericFieldKind::PageRange); ++k) {
    CheckRules(static_cast<NumericFieldKind>(k), exact);
  }
  CheckPageRange(exact);
  return 0;
}
