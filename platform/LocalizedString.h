#pragma once

#include <QString>

#include <string>

// The user-visible text for a key of the string table, or the empty string
// when the table has no such key.
QString LocalizedString(const char* key);

// The string table's text for key as UTF-8, or empty when it has none: what
// DescribeConversionFailure takes to speak the window's language.
std::string LocalizedText(const char* key, const char* english);
