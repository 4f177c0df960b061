#pragma once

#include "BMTUtil.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <filesystem>

// A path as the window shows it: control characters escaped, as in every
// name we show, and its bytes decoded as the file system's names are, so a
// name that is not valid UTF-8 still shows what it can.
inline QString DisplayPath(const std::filesystem::path& path) {
  return QFile::decodeName(QByteArray::fromStdString(BMTUtil::EscapedForDisplay(path.native())));
}
