#pragma once

#include <QString>

// The user-visible text for a key of the string table, or the empty string
// when the table has no such key.
QString LocalizedString(const char* key);
