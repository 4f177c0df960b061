#include "UserPaper.h"

#include "BMTUtil.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr PaperSize kA4{595, 842};

struct NamedPaper {
  std::string_view name;
  int widthMm;
  int heightMm;
  PaperSize points;
};

// Locales give paper in whole millimetres; the usual sizes get their exact
// points rather than a rounding of those.
constexpr NamedPaper kPapers[] = {
    {"a4", 210, 297, kA4},
    {"letter", 216, 279, {612, 792}},
    {"legal", 216, 356, {612, 1008}},
    {"a3", 297, 420, {842, 1191}},
    {"a5", 148, 210, {420, 595}},
    {"b5", 176, 250, {499, 709}},
    {"executive", 184, 267, {522, 756}},
    {"tabloid", 279, 432, {792, 1224}},
    {"ledger", 432, 279, {1224, 792}},
    {"11x17", 279, 432, {792, 1224}},
    {"note", 216, 279, {612, 792}},
};

std::optional<PaperSize> FromMillimetres(unsigned width, unsigned height) {
  if (width == 0 || height == 0 || width > 5000 || height > 5000) return std::nullopt;
  for (const NamedPaper& paper : kPapers) {
    if (static_cast<int>(width) == paper.widthMm && static_cast<int>(height) == paper.heightMm) {
      return paper.points;
    }
  }
  // 72 points to 25.4 millimetres, to the nearest point, in whole numbers: no
  // size lies halfway (127, a prime, divides no whole number of points).
  auto points = [](unsigned mm) { return static_cast<int>((mm * 1440U + 254U) / 508U); };
  return PaperSize{points(width), points(height)};
}

// The locale the environment names for paper, as setlocale would pick it.
std::string PaperLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_PAPER", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return value;
  }
  return {};
}

bool IsPlainLocale(std::string_view name) {
  return name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

std::optional<PaperSize> LocalePaper() {
  const std::string name = PaperLocaleName();
  if (IsPlainLocale(name)) return std::nullopt;
  const locale_t locale = newlocale(LC_PAPER_MASK, name.c_str(), static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) return std::nullopt;  // not installed
  // These two items are numbers, handed back in the pointer's place.
  const auto number = [&](nl_item item) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(nl_langinfo_l(item, locale)));
  };
  const unsigned width = number(_NL_PAPER_WIDTH);
  const unsigned height = number(_NL_PAPER_HEIGHT);
  freelocale(locale);
  return FromMillimetres(width, height);
}

}  // namespace

// The first word that is not a comment names the paper. Read without a
// stream: this is read for every file converted.
std::optional<PaperSize> PaperSizeFromFile(const std::filesystem::path& file) {
  const std::string text = BMTUtil::ReadSmallFile(file);
  auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  std::size_t at = 0;
  while (at < text.size()) {
    if (space(text[at])) {
      ++at;
    } else if (text[at] == '#') {
      at = text.find('\n', at);
    } else {
      std::string word;
      for (; at < text.size() && !space(text[at]); ++at) {
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
      }
      for (const NamedPaper& paper : kPapers) {
        if (paper.name == word) return paper.points;
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

PaperSize UserPaperSize() {
  if (const auto paper = LocalePaper()) return *paper;
  if (const auto paper = PaperSizeFromFile("/etc/papersize")) return *paper;
  return kA4;
}
