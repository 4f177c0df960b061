#include "NumberScanners.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace NumberScanners {
namespace {

bool IsSkipped(QChar c, Skipped skipped) {
  return skipped == Skipped::Percent ? c == u'%' : c.isSpace();
}

qsizetype SkipFrom(QStringView text, qsizetype pos, Skipped skipped) {
  while (pos < text.size() && IsSkipped(text[pos], skipped)) {
    ++pos;
  }
  return pos;
}

bool IsDigit(QChar c) { return c >= u'0' && c <= u'9'; }

unsigned DigitValue(QChar c) { return static_cast<unsigned>(c.unicode() - u'0'); }

template <typename Number>
struct Scan {
  bool ok = false;
  qsizetype end = 0;
  Number value = 0;
};

template <typename Int>
Scan<Int> ScanInteger(QStringView text, qsizetype pos) {
  using Limits = std::numeric_limits<Int>;
  qsizetype i = pos;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  if (i >= text.size() || !IsDigit(text[i])) {
    return {};
  }
  const auto limit = static_cast<std::uint64_t>(Limits::max()) + (negative ? 1U : 0U);
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const unsigned digit = DigitValue(text[i]);
    if (!overflow && magnitude > (limit - digit) / 10U) {
      overflow = true;
    }
    if (!overflow) {
      magnitude = magnitude * 10U + digit;
    }
  }
  Int value = 0;
  if (overflow) {
    value = negative ? Limits::min() : Limits::max();
  } else if (negative && magnitude > 0) {
    // magnitude may be max + 1, which only fits once it is negative.
    value = static_cast<Int>(-static_cast<Int>(magnitude - 1U) - 1);
  } else {
    value = static_cast<Int>(magnitude);
  }
  return {true, i, value};
}

// The decimal exponent of the first non-zero digit of a mantissa with the
// given exponent, to tell an overflow from an underflow; a large exponent
// saturates, which is enough for that.
long long DecimalMagnitude(const std::string& mantissa, long long exponent) {
  const auto point = mantissa.find('.');
  const auto integerDigits =
      static_cast<long long>(point == std::string::npos ? mantissa.size() : point);
  long long position = 0;  // digits seen before the first non-zero one
  bool inFraction = false;
  long long fractionIndex = 0;
  for (const char c : mantissa) {
    if (c == '.') {
      inFraction = true;
      continue;
    }
    if (c != '0') {
      break;
    }
    if (inFraction) {
      ++fractionIndex;
    } else {
      ++position;
    }
  }
  const long long magnitude = inFraction ? -(fractionIndex + 1) : integerDigits - position - 1;
  return magnitude + exponent;
}

template <typename Real>
Scan<Real> ScanReal(QStringView text, qsizetype pos) {
  qsizetype i = pos;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  std::string mantissa;
  bool anyDigit = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    mantissa.push_back(static_cast<char>(text[i].unicode()));
    anyDigit = true;
  }
  if (i < text.size() && text[i] == u'.') {
    qsizetype j = i + 1;
    std::string fraction = ".";
    for (; j < text.size() && IsDigit(text[j]); ++j) {
      fraction.push_back(static_cast<char>(text[j].unicode()));
    }
    if (anyDigit || fraction.size() > 1) {
      mantissa += fraction;
      anyDigit = true;
      i = j;
    }
  }
  if (!anyDigit) {
    return {};
  }
  std::string exponentText;
  long long exponent = 0;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    qsizetype j = i + 1;
    bool exponentNegative = false;
    if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) {
      exponentNegative = text[j] == u'-';
      ++j;
    }
    if (j < text.size() && IsDigit(text[j])) {
      exponentText = exponentNegative ? "e-" : "e";
      for (; j < text.size() && IsDigit(text[j]); ++j) {
        exponentText.push_back(static_cast<char>(text[j].unicode()));
        if (exponent < 1'000'000'000) {
          exponent = exponent * 10 + static_cast<long long>(DigitValue(text[j]));
        }
      }
      if (exponentNegative) {
        exponent = -exponent;
      }
      i = j;
    }
  }
  const std::string number = mantissa + exponentText;
  Real value = 0;
  const auto [end, error] =
      std::from_chars(number.data(), number.data() + number.size(), value, std::chars_format::general);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    value = DecimalMagnitude(mantissa, exponent) > 0 ? std::numeric_limits<Real>::max() : Real(0);
  } else if (error != std::errc()) {
    value = 0;
  }
  if (negative) {
    value = -value;
  }
  return {true, i, value};
}

template <typename Number>
bool IsClean(Scan<Number> (*scan)(QStringView, qsizetype), QStringView text, Skipped skipped) {
  const auto scanned = scan(text, SkipFrom(text, 0, skipped));
  return scanned.ok && SkipFrom(text, scanned.end, skipped) == text.size();
}

template <typename Number>
Number Leading(Scan<Number> (*scan)(QStringView, qsizetype), QStringView text) {
  const auto scanned = scan(text, SkipFrom(text, 0, Skipped::WhiteSpace));
  return scanned.ok ? scanned.value : Number(0);
}

template <typename Real>
QString WriteReal(Real value) {
  if (std::isnan(value) || value == 0) {
    return QStringLiteral("0");  // never "-0"
  }
  if (std::isinf(value)) {
    value = value > 0 ? std::numeric_limits<Real>::max() : std::numeric_limits<Real>::lowest();
  }
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) {
    return QStringLiteral("0");
  }
  return QString::fromLatin1(buffer, static_cast<qsizetype>(end - buffer));
}

}  // namespace

bool IsCleanInt32(QStringView text, Skipped skipped) {
  return IsClean(&ScanInteger<std::int32_t>, text, skipped);
}
bool IsCleanInt64(QStringView text, Skipped skipped) {
  return IsClean(&ScanInteger<std::int64_t>, text, skipped);
}
bool IsCleanFloat(QStringView text, Skipped skipped) {
  return IsClean(&ScanReal<float>, text, skipped);
}
bool IsCleanDouble(QStringView text, Skipped skipped) {
  return IsClean(&ScanReal<double>, text, skipped);
}

std::int32_t LeadingInt32(QStringView text) { return Leading(&ScanInteger<std::int32_t>, text); }
std::int64_t LeadingInt64(QStringView text) { return Leading(&ScanInteger<std::int64_t>, text); }
float LeadingFloat(QStringView text) { return Leading(&ScanReal<float>, text); }
double LeadingDouble(QStringView text) { return Leading(&ScanReal<double>, text); }

QString WriteInt64(std::int64_t value) { return QString::number(static_cast<qlonglong>(value)); }
QString WriteFloat(float value) { return WriteReal(value); }
QString WriteDouble(double value) { return WriteReal(value); }

}  // namespace NumberScanners
