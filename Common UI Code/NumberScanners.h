#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>

// Reading numbers out of the text of an entry field, the way the numeric
// fields need it: a clean-text test over the whole text, and the leading
// number of a text (0 when there is none). Numbers are plain ASCII decimal,
// with '.' as the only decimal separator whatever the locale, so that a value
// written back by WriteFloat/WriteDouble is read again as the same number.
// A number out of its type's range clamps to the type's limits.
namespace NumberScanners {

// What a clean-text test skips around the number.
enum class Skipped {
  WhiteSpace,  // white space and line breaks
  Percent,     // the character '%' only (white space is then not skipped)
};

// True when exactly one number of the kind can be read from text and nothing
// but skipped characters surrounds it. Integers: optional sign and digits.
// Floats: optional sign, digits with an optional fraction, and an optional
// exponent.
bool IsCleanInt32(QStringView text, Skipped skipped = Skipped::WhiteSpace);
bool IsCleanInt64(QStringView text, Skipped skipped = Skipped::WhiteSpace);
bool IsCleanFloat(QStringView text, Skipped skipped = Skipped::WhiteSpace);
bool IsCleanDouble(QStringView text, Skipped skipped = Skipped::WhiteSpace);

// The leading number of text: white space skipped, then as much of a number
// as follows; 0 when no digit can be read. "12a" reads 12, "abc" and "" 0.
std::int32_t LeadingInt32(QStringView text);
std::int64_t LeadingInt64(QStringView text);
float LeadingFloat(QStringView text);
double LeadingDouble(QStringView text);

// A value written out as the text of a field. Floats use the shortest text
// that reads back as the same value ("0.5", "12", "1e+20").
QString WriteInt64(std::int64_t value);
QString WriteFloat(float value);
QString WriteDouble(double value);

}  // namespace NumberScanners
