#pragma once

#include <filesystem>
#include <optional>

// A paper size in PostScript points.
struct PaperSize {
  int width = 0;
  int height = 0;
};

// The user's paper: the locale's (LC_ALL, LC_PAPER or LANG, when one names a
// locale other than C or POSIX), else the system's (/etc/papersize), else A4.
PaperSize UserPaperSize();

// The paper a papersize file names ("a4", "letter", ...), or nothing.
std::optional<PaperSize> PaperSizeFromFile(const std::filesystem::path& file);
