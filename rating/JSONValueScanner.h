#pragma once

#include <QString>

#include <optional>

// Reads the value of one key out of a small JSON reply without parsing the
// whole document: the first "key" in double quotes, the text after its colon
// up to the next comma (extended over commas inside a quoted value), trimmed,
// without its quotes and with its escapes decoded. A value that no comma
// follows anywhere in the rest of the text is not found. Non-string values
// are answered as their text ("123456789").
//
// A \u escape with fewer than four characters after it stays as the two
// characters backslash and u; nothing beyond the text is ever read.
std::optional<QString> ValueForKeyInJSON(const QString& key, const QString& json);
