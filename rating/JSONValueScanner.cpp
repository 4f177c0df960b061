#include "rating/JSONValueScanner.h"

#include <QStringView>

namespace {

QString TrimmedValue(const QString& json, qsizetype start, qsizetype end) {
  return QStringView(json).sliced(start, end - start).trimmed().toString();
}

// Whether the quote at index is preceded by an odd number of backslashes,
// which makes it part of the value rather than its end.
bool IsEscapedQuote(const QString& value, qsizetype index) {
  qsizetype backslashes = 0;
  for (qsizetype i = index - 1; i >= 0 && value[i] == u'\\'; --i) {
    ++backslashes;
  }
  return backslashes % 2 == 1;
}

// Whether the value from start up to the comma at end, trimmed, ends with a
// quote that closes the one opening it at openQuote. Looks only at the
// white space and backslashes just before the comma, so that trying comma
// after comma stays linear in the length of the reply.
bool ClosedBefore(const QString& json, qsizetype openQuote, qsizetype end) {
  while (end > openQuote && json[end - 1].isSpace()) {
    --end;
  }
  const qsizetype last = end - 1;
  return last > openQuote && json[last] == u'"' && !IsEscapedQuote(json, last);
}

QString WithoutSurroundingQuotes(QString value) {
  qsizetype start = 0;
  while (start < value.size() && value[start] == u'"') {
    ++start;
  }
  value.remove(0, start);
  while (!value.isEmpty() && value.endsWith(u'"') && !IsEscapedQuote(value, value.size() - 1)) {
    value.chop(1);
  }
  return value;
}

int HexDigitValue(QChar c) {
  if (c >= u'0' && c <= u'9') {
    return c.unicode() - u'0';
  }
  if (c >= u'a' && c <= u'f') {
    return c.unicode() - u'a' + 10;
  }
  if (c >= u'A' && c <= u'F') {
    return c.unicode() - u'A' + 10;
  }
  return -1;
}

// The four characters of a \u escape as a number: leading white space
// skipped, an optional 0x or 0X, then the hexadecimal digits that follow;
// 0 when there are none.
char16_t HexCodeUnit(QStringView digits) {
  qsizetype i = 0;
  while (i < digits.size() && digits[i].isSpace()) {
    ++i;
  }
  if (i + 1 < digits.size() && digits[i] == u'0' && (digits[i + 1] == u'x' || digits[i + 1] == u'X') &&
      i + 2 < digits.size() && HexDigitValue(digits[i + 2]) >= 0) {
    i += 2;
  }
  unsigned value = 0;
  for (; i < digits.size() && HexDigitValue(digits[i]) >= 0; ++i) {
    value = value * 16U + static_cast<unsigned>(HexDigitValue(digits[i]));
  }
  return static_cast<char16_t>(value);
}

// Decodes escapes in one pass from left to right, so that an escaped
// backslash is never read again as the start of another escape ("\\n" is a
// backslash and n, not a line feed). Each \u escape gives one UTF-16 code
// unit, so a surrogate pair written as two escapes becomes one character.
QString DecodeEscapes(const QString& value) {
  QString decoded;
  decoded.reserve(value.size());
  const qsizetype size = value.size();
  for (qsizetype i = 0; i < size;) {
    const QChar c = value[i];
    if (c != u'\\' || i + 1 >= size) {
      decoded.append(c);
      ++i;
      continue;
    }
    const char16_t escape = value[i + 1].unicode();
    char16_t replacement = 0;
    switch (escape) {
      case u'\\': replacement = u'\\'; break;
      case u'/': replacement = u'/'; break;
      case u'"': replacement = u'"'; break;
      case u'n': replacement = u'\n'; break;
      case u'r': replacement = u'\r'; break;
      case u't': replacement = u'\t'; break;
      case u'f': replacement = u'\f'; break;
      case u'b': replacement = u'\b'; break;
      case u'u':
        if (i + 6 <= size) {
          decoded.append(QChar(HexCodeUnit(QStringView(value).sliced(i + 2, 4))));
          i += 6;
        } else {
          decoded.append(QStringView(value).sliced(i, 2));
          i += 2;
        }
        continue;
      default:
        // Not an escape: the backslash stays, and what follows is read as usual.
        decoded.append(c);
        ++i;
        continue;
    }
    decoded.append(QChar(replacement));
    i += 2;
  }
  return decoded;
}

}  // namespace

std::optional<QString> ValueForKeyInJSON(const QString& key, const QString& json) {
  const QString quotedKey = u'"' + key + u'"';
  const qsizetype keyAt = json.indexOf(quotedKey);
  if (keyAt < 0) {
    return std::nullopt;
  }
  const qsizetype colonAt = json.indexOf(u':', keyAt + quotedKey.size());
  if (colonAt < 0) {
    return std::nullopt;
  }
  const qsizetype start = colonAt + 1;
  qsizetype commaAt = json.indexOf(u',', start);
  if (commaAt < 0) {
    return std::nullopt;
  }
  qsizetype valueAt = start;
  while (valueAt < commaAt && json[valueAt].isSpace()) {
    ++valueAt;
  }
  if (valueAt < commaAt && json[valueAt] == u'"') {
    // The commas met so far lie inside the quoted value.
    while (!ClosedBefore(json, valueAt, commaAt)) {
      const qsizetype nextCommaAt = json.indexOf(u',', commaAt + 1);
      if (nextCommaAt < 0) {
        break;
      }
      commaAt = nextCommaAt;
    }
  }
  return DecodeEscapes(WithoutSurroundingQuotes(TrimmedValue(json, start, commaAt)));
}
